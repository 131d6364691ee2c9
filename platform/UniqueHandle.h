// Sole owner of a kernel handle (file, device, thread, timer): closes it when
// it goes, moves but never copies. Both "no handle" values of the API, null
// (threads, timers) and INVALID_HANDLE_VALUE (files, devices), count as empty.
#pragma once

#include "platform/Windows.h"

#include <utility>

namespace vexar
{

class UniqueHandle
{
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : m_handle(handle) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(UniqueHandle&& other) noexcept : m_handle(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    HANDLE get() const { return m_handle; }
    bool valid() const { return m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE; }
    explicit operator bool() const { return valid(); }

    // Gives the handle up without closing it.
    HANDLE release() { return std::exchange(m_handle, INVALID_HANDLE_VALUE); }
    // Closes the handle held, if any, and takes the new one.
    void reset(HANDLE handle = INVALID_HANDLE_VALUE)
    {
        const HANDLE old = std::exchange(m_handle, handle);
        if (old != nullptr && old != INVALID_HANDLE_VALUE)
            CloseHandle(old);
    }

private:
    HANDLE m_handle = INVALID_HANDLE_VALUE;
};

} // namespace vexar
