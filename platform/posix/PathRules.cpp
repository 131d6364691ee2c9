#include "platform/PathRules.h"

#include "platform/posix/KernelObjects.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace vexar::platform
{

namespace fs = std::filesystem;

const char kPathListSeparator = ':';

fs::path resolvedPath(const fs::path& path)
{
    // A link in the file's own place that leads nowhere yet would be
    // followed on creation by a plain open: its target counts.
    fs::path full = fs::weakly_canonical(fs::absolute(path));
    for (int links = 0; fs::is_symlink(fs::symlink_status(full)); ++links)
    {
        if (links == 40)
            throw fs::filesystem_error("too many links", path,
                                       std::make_error_code(std::errc::too_many_links));
        full = fs::weakly_canonical(full.parent_path() / fs::read_symlink(full));
    }
    if (!full.has_filename() && full.has_relative_path())
        full = full.parent_path(); // "/rec/" is "/rec"
    return full;
}

bool sameFileName(const fs::path& a, const fs::path& b)
{
    return a == b;
}

HANDLE createFileIn(const fs::path& folder, const std::string& name, DWORD shareMode,
                    const std::vector<fs::path>& roots)
{
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
        name.find('\0') != std::string::npos)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const int directory = ::open(folder.c_str(), O_DIRECTORY | O_PATH | O_CLOEXEC);
    if (directory < 0)
    {
        SetLastError(winErrorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    // What was opened is the folder named, below a root: no link has been
    // swapped in on the way since the name was resolved and checked.
    char opened[4096];
    const std::string self = "/proc/self/fd/" + std::to_string(directory);
    const ssize_t length = ::readlink(self.c_str(), opened, sizeof opened);
    const fs::path openedFolder(std::string(opened, static_cast<std::size_t>(length > 0 ? length : 0)));
    const bool inRoots = roots.empty() || isBelowAny(openedFolder / name, roots);
    if (length <= 0 || openedFolder != folder || !inRoots)
    {
        ::close(directory);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    // No link as the file itself, and no waiting for a pipe's reader.
    const int fd =
        ::openat(directory, name.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    const int openError = errno;
    ::close(directory);
    if (fd < 0)
    {
        SetLastError(openError == ELOOP || openError == ENXIO ? ERROR_ACCESS_DENIED
                                                              : winErrorFromErrno(openError));
        return INVALID_HANDLE_VALUE;
    }
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
    {
        ::close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return adoptFile(fd, (folder / name).c_str(), GENERIC_WRITE, shareMode, CREATE_ALWAYS, 0);
}

} // namespace vexar::platform
