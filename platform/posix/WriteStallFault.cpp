#include "platform/posix/WriteStallFault.h"

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>

namespace vexar::platform
{

std::unique_ptr<WriteStallFault> WriteStallFault::forFile(const char* path)
{
    const char* spec = std::getenv("VEXARHD_STALL_WRITES");
    if (!spec)
        return nullptr;
    const std::string text = spec;
    const std::size_t second = text.rfind(':');
    const std::size_t first =
        second == std::string::npos || second == 0 ? std::string::npos : text.rfind(':', second - 1);
    if (first == std::string::npos)
        return nullptr;
    const std::string suffix = text.substr(0, first);
    const std::string name = path;
    if (suffix.empty() || name.size() < suffix.size() ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
        return nullptr;
    const std::uint64_t after = std::strtoull(text.c_str() + first + 1, nullptr, 10);
    const DWORD milliseconds = static_cast<DWORD>(std::strtoul(text.c_str() + second + 1, nullptr, 10));
    return std::unique_ptr<WriteStallFault>(new WriteStallFault(after, milliseconds));
}

void WriteStallFault::beforeWrite(DWORD size)
{
    DWORD stall = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_milliseconds != 0 && m_written >= m_after)
            stall = std::exchange(m_milliseconds, 0);
        m_written += size;
    }
    if (stall != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(stall));
}

} // namespace vexar::platform
