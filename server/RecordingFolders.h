// Where SageTV may have the encoder write and look: the folders of
// --recordingdirs.
//
// Without a list any path the program may write is taken, which lets anyone
// who reaches the port create or overwrite files anywhere. With one, a path
// is taken only when it lies under one of the folders once made absolute and
// normal: "." and ".." resolved as the system resolves them when the file is
// opened (on Linux symbolic links included, those of the folders as well as a
// link in the file's own place), whole folder names compared (/rec is not
// under /recordings); on Windows both separators, drive letters and UNC paths
// are understood and names compare without regard to case.
#pragma once

#include "platform/UniqueHandle.h"

#include <filesystem>
#include <string>
#include <vector>

namespace vexar
{

class RecordingFolders
{
public:
    // The platform's separator of path lists: ';' on Windows, ':' elsewhere.
    static const char kListSeparator;

    // Takes every path.
    RecordingFolders() = default;

    // list: folders separated by kListSeparator. Throws std::runtime_error
    // naming the first one that is not an existing folder.
    static RecordingFolders parse(const std::string& list);

    bool allowsAll() const { return m_folders.empty(); }
    // Throws std::runtime_error naming the path when it lies outside the
    // folders (an empty path always does).
    void check(const std::string& path) const;
    // Creates (or empties) a recording's file, opened where it was checked:
    // a regular file, its folder the one resolved, not a link itself, and
    // below the folders where it was really opened (see
    // platform::createFileIn). The caller has checked the path; a path
    // outside the folders is refused here all the same. Throws "could not
    // open file '<path>'". Without folders it still takes regular files only.
    UniqueHandle createFile(const std::string& path, DWORD shareMode) const;
    bool contains(const std::string& path) const;
    // "any", or the folders as they are compared, separated by ", ".
    std::string describe() const;
    // The folders as they are compared, separated by kListSeparator: a list
    // that parse() takes in any working folder. Empty without folders.
    std::string list() const;

private:
    std::vector<std::filesystem::path> m_folders;
};

} // namespace vexar
