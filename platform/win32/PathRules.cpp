#include "platform/PathRules.h"

#include <algorithm>
#include <cwctype>
#include <vector>

namespace vexar::platform
{

namespace fs = std::filesystem;

const char kPathListSeparator = ';';

fs::path resolvedPath(const fs::path& path)
{
    // GetFullPathName: the current drive and folder, "." and "..", both
    // separators.
    fs::path full = fs::absolute(path).lexically_normal();
    if (!full.has_filename() && full.has_relative_path())
        full = full.parent_path(); // "D:\rec\" is "D:\rec"
    return full;
}

bool sameFileName(const fs::path& a, const fs::path& b)
{
    const std::wstring x = a.wstring(), y = b.wstring();
    return std::equal(x.begin(), x.end(), y.begin(), y.end(),
                      [](wchar_t p, wchar_t q) { return std::towlower(p) == std::towlower(q); });
}

namespace
{

// The path the system gives the opened file, in the usual form (without the
// \\?\ prefix; \\?\UNC\server\share as \\server\share).
fs::path finalPath(HANDLE file)
{
    std::vector<wchar_t> buffer(32768);
    const DWORD length = GetFinalPathNameByHandleW(file, buffer.data(), static_cast<DWORD>(buffer.size()),
                                                   FILE_NAME_NORMALIZED);
    if (length == 0 || length >= buffer.size())
        return {};
    std::wstring path(buffer.data(), length);
    if (path.rfind(L"\\\\?\\UNC\\", 0) == 0)
        path = L"\\\\" + path.substr(8);
    else if (path.rfind(L"\\\\?\\", 0) == 0)
        path = path.substr(4);
    return fs::path(path);
}

// The final path of a folder, empty when it cannot be opened.
fs::path finalFolderPath(const fs::path& folder)
{
    HANDLE directory = CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (directory == INVALID_HANDLE_VALUE)
        return {};
    fs::path path = finalPath(directory);
    CloseHandle(directory);
    return path;
}

} // namespace

HANDLE createFileIn(const fs::path& folder, const std::string& name, DWORD shareMode,
                    const std::vector<fs::path>& roots)
{
    if (name.empty() || name == "." || name == ".." || name.find_first_of("\\/:") != std::string::npos)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const fs::path full = folder / fs::path(name);
    // Opened, not yet emptied, and a link as the file itself is opened as
    // the link: nothing outside the folder is changed before the check.
    HANDLE file = CreateFileW(full.c_str(), GENERIC_WRITE, shareMode, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return INVALID_HANDLE_VALUE;
    const bool created = GetLastError() != ERROR_ALREADY_EXISTS;
    BY_HANDLE_FILE_INFORMATION information{};
    const bool regular =
        GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &information) &&
        (information.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0;
    // Where the file really lies, against the roots as the system names them
    // (a mapped drive as its share, a junction as its target): a link
    // swapped in on the way shows. A root that cannot be opened holds
    // nothing.
    const fs::path opened = finalPath(file);
    std::vector<fs::path> rootPaths;
    for (const fs::path& root : roots)
    {
        fs::path rootPath = finalFolderPath(root);
        if (!rootPath.empty())
            rootPaths.push_back(std::move(rootPath));
    }
    const bool inRoots = roots.empty() || isBelowAny(opened, rootPaths);
    if (!regular || opened.empty() || !inRoots)
    {
        CloseHandle(file);
        if (created && !opened.empty())
            DeleteFileW(opened.c_str());
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN) || !SetEndOfFile(file))
    {
        const DWORD error = GetLastError();
        CloseHandle(file);
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

} // namespace vexar::platform
