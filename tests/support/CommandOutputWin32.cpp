// The Windows side of CommandOutput.h, under wine: wine starts a Unix
// program named by its Unix path, but gives no handle to wait on and no exit
// status, so the shell writes its status to a file last, and that file ends
// the wait.
#include "platform/Windows.h"
#include "tests/support/CommandOutput.h"
#include "tests/support/TempDir.h"
#include "tests/support/WindowsProcess.h"

#include <filesystem>
#include <thread>
#include <vector>

namespace vexar
{

std::string hostPath(const std::string& path)
{
    // wine's own export; a real Windows has none.
    using UnixFileName = char*(CDECL*)(const wchar_t*);
    const HMODULE kernel = GetModuleHandleA("kernel32.dll");
    const auto unixFileName = kernel ? reinterpret_cast<UnixFileName>(reinterpret_cast<void*>(
                                           GetProcAddress(kernel, "wine_get_unix_file_name")))
                                     : nullptr;
    if (!unixFileName)
        return "";
    const int size = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
    std::vector<wchar_t> wide(static_cast<std::size_t>(size > 0 ? size : 1));
    MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide.data(), size);
    char* unix = unixFileName(wide.data());
    if (!unix)
        return "";
    std::string result(unix);
    HeapFree(GetProcessHeap(), 0, unix);
    return result;
}

CommandOutput commandOutput(const std::string& command, std::chrono::milliseconds timeout)
{
    TempDir dir;
    const std::string out = hostPath(dir.file("out"));
    const std::string status = hostPath(dir.file("status"));
    CommandOutput result;
    if (out.empty() || status.empty())
    {
        result.text = "no host shell: not under wine\n";
        return result;
    }
    // The status file appears whole (renamed into place) once the command ended.
    const std::string script = "{ " + command + "\n} >'" + out + "' 2>&1; echo $? >'" + status +
                               ".part'; mv '" + status + ".part' '" + status + "'";
    std::string line = commandLine("/bin/sh", {"-c", script});
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
    {
        result.text = "cannot start /bin/sh: error " + std::to_string(GetLastError()) + "\n";
        return result;
    }
    for (HANDLE h : {process.hProcess, process.hThread})
        if (h != nullptr && h != INVALID_HANDLE_VALUE)
            CloseHandle(h);

    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!std::filesystem::exists(dir.file("status")) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const std::string code = readText(dir.file("status"));
    if (!code.empty())
        result.exitCode = std::stoi(code);
    result.text = readText(dir.file("out"));
    return result;
}

} // namespace vexar
