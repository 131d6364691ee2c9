// Test equipment, internal to the stand-in platform: a disk that stalls, for
// the tests and benchmarks of a slow or hung output disk, with no change to
// the callers. VEXARHD_STALL_WRITES=SUFFIX:AFTER:MS makes the writes to a
// file whose path ends with SUFFIX stop for MS milliseconds, once, when AFTER
// bytes have been written to it. Without the variable no file has a fault
// and the file I/O pays one null check per write.
#pragma once

#include "platform/Windows.h"

#include <cstdint>
#include <memory>
#include <mutex>

namespace vexar::platform
{

class WriteStallFault
{
public:
    // The fault of a file opened for writing at path: null unless
    // VEXARHD_STALL_WRITES names it.
    static std::unique_ptr<WriteStallFault> forFile(const char* path);

    // The hook of every write to the file, synchronous or overlapped, called
    // before the write on the thread that carries it out: sleeps when the
    // stall is due, and counts the bytes the write hands over.
    void beforeWrite(DWORD size);

private:
    WriteStallFault(std::uint64_t after, DWORD milliseconds) : m_after(after), m_milliseconds(milliseconds) {}

    std::mutex m_mutex;
    const std::uint64_t m_after;
    DWORD m_milliseconds;        // 0 once the stall has happened
    std::uint64_t m_written = 0; // bytes handed to writes so far
};

} // namespace vexar::platform
