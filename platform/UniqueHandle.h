// Sole owner of a handle of the system: closes it when it goes, moves but
// never copies. What a handle is, which values count as "no handle" and how
// it is closed come from the traits; UniqueHandle is the owner of a kernel
// handle (file, device, thread, event, timer).
#pragma once

#include "platform/Windows.h"

#include <utility>

namespace vexar
{

// Traits: Handle, the type; empty(), the value an owner holds without a
// handle; valid(h), whether h needs closing; close(h).
template <typename Traits> class BasicUniqueHandle
{
public:
    using Handle = typename Traits::Handle;

    BasicUniqueHandle() = default;
    explicit BasicUniqueHandle(Handle handle) : m_handle(handle) {}
    ~BasicUniqueHandle() { reset(); }
    BasicUniqueHandle(BasicUniqueHandle&& other) noexcept : m_handle(other.release()) {}
    BasicUniqueHandle& operator=(BasicUniqueHandle&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    BasicUniqueHandle(const BasicUniqueHandle&) = delete;
    BasicUniqueHandle& operator=(const BasicUniqueHandle&) = delete;

    Handle get() const { return m_handle; }
    bool valid() const { return Traits::valid(m_handle); }
    explicit operator bool() const { return valid(); }

    // Gives the handle up without closing it.
    Handle release() { return std::exchange(m_handle, Traits::empty()); }
    // Closes the handle held, if any, and takes the new one.
    void reset(Handle handle = Traits::empty())
    {
        const Handle old = std::exchange(m_handle, handle);
        if (Traits::valid(old))
            Traits::close(old);
    }

private:
    Handle m_handle = Traits::empty();
};

// A kernel handle. Both "no handle" values of the API, null (threads,
// events, timers) and INVALID_HANDLE_VALUE (files, devices), count as empty.
struct KernelHandleTraits
{
    using Handle = HANDLE;
    static Handle empty() { return INVALID_HANDLE_VALUE; }
    static bool valid(Handle handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
    static void close(Handle handle) { CloseHandle(handle); }
};

using UniqueHandle = BasicUniqueHandle<KernelHandleTraits>;

} // namespace vexar
