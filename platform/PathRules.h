// How the system names and opens files, as far as the recording folders
// depend on it: one implementation per platform (posix/, win32/).
#pragma once

#include "platform/Windows.h"

#include <filesystem>
#include <string>
#include <vector>

namespace vexar::platform
{

// What separates the folders of a list: ';' on Windows, ':' elsewhere.
extern const char kPathListSeparator;

// The path as the system opens it: absolute, "." and ".." resolved; on
// Linux every link on the way is followed before a ".." after it applies.
// The part that does not exist yet is taken as written. Throws
// std::filesystem::filesystem_error when it cannot be made out.
std::filesystem::path resolvedPath(const std::filesystem::path& path);

// True when two names of a path are the same to the system (on Windows
// without regard to case).
bool sameFileName(const std::filesystem::path& a, const std::filesystem::path& b);

// True when path lies strictly below folder: every name of the folder, then
// at least one more (/rec does not hold /recordings).
bool isBelow(const std::filesystem::path& path, const std::filesystem::path& folder);

// True when path lies strictly below one of folders; with no folders, false.
bool isBelowAny(const std::filesystem::path& path, const std::vector<std::filesystem::path>& folders);

// Creates (or empties) the regular file name inside folder (a resolved
// path) for synchronous writing at given offsets, and checks where it was
// really opened: below one of roots (none: anywhere), with no link swapped
// in on the way since the folder was resolved (Windows: the handle's final
// path against the roots' final paths), and not through a symbolic link as
// the file itself. A named pipe, a device or a link is refused, and nothing
// outside the roots is emptied or left created. Never waits: a pipe without
// a reader is refused at once. INVALID_HANDLE_VALUE and GetLastError() when
// the file cannot be made (ERROR_ACCESS_DENIED for a place refused).
HANDLE createFileIn(const std::filesystem::path& folder, const std::string& name, DWORD shareMode,
                    const std::vector<std::filesystem::path>& roots);

} // namespace vexar::platform
