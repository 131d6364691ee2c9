#include "server/RecordingFolders.h"

#include <algorithm>
#include <cwctype>
#include <stdexcept>
#include <system_error>

namespace vexar
{

namespace fs = std::filesystem;

#ifdef _WIN32
const char RecordingFolders::listSeparator = ';';
#else
const char RecordingFolders::listSeparator = ':';
#endif

namespace
{

// The path as the system will open it. Throws std::filesystem_error when it
// cannot be made out (a loop of links, say).
fs::path resolved(const fs::path& path)
{
#ifdef _WIN32
    // GetFullPathName: the current drive and folder, "." and "..", both
    // separators.
    fs::path full = fs::absolute(path).lexically_normal();
#else
    // Every link on the way is followed before a ".." after it applies, as
    // when the file is opened; the part that does not exist yet is taken as
    // written. A link in the file's own place that leads nowhere yet would be
    // followed on creation: its target counts.
    fs::path full = fs::weakly_canonical(fs::absolute(path));
    for (int links = 0; fs::is_symlink(fs::symlink_status(full)); ++links)
    {
        if (links == 40)
            throw fs::filesystem_error("too many links", path,
                                       std::make_error_code(std::errc::too_many_links));
        full = fs::weakly_canonical(full.parent_path() / fs::read_symlink(full));
    }
#endif
    if (!full.has_filename() && full.has_relative_path())
        full = full.parent_path(); // "/rec/" is "/rec"
    return full;
}

bool sameName(const fs::path& a, const fs::path& b)
{
#ifdef _WIN32
    const std::wstring x = a.wstring(), y = b.wstring();
    return std::equal(x.begin(), x.end(), y.begin(), y.end(),
                      [](wchar_t p, wchar_t q) { return std::towlower(p) == std::towlower(q); });
#else
    return a == b;
#endif
}

// True when path lies strictly below folder: every name of the folder, then
// at least one more.
bool isUnder(const fs::path& path, const fs::path& folder)
{
    auto p = path.begin();
    for (auto f = folder.begin(); f != folder.end(); ++f, ++p)
        if (p == path.end() || !sameName(*p, *f))
            return false;
    return p != path.end();
}

} // namespace

RecordingFolders RecordingFolders::parse(const std::string& list)
{
    RecordingFolders folders;
    std::size_t start = 0;
    while (true)
    {
        const std::size_t end = list.find(listSeparator, start);
        const std::string folder =
            list.substr(start, end == std::string::npos ? std::string::npos : end - start);
        std::error_code error;
        if (folder.empty() || !fs::is_directory(fs::path(folder), error))
            throw std::runtime_error("Recording folder does not exist: '" + folder + "'");
        folders.m_folders.push_back(resolved(fs::path(folder)));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return folders;
}

bool RecordingFolders::contains(const std::string& path) const
{
    if (m_folders.empty())
        return true;
    if (path.empty())
        return false;
    try
    {
        const fs::path full = resolved(fs::path(path));
        return std::any_of(m_folders.begin(), m_folders.end(),
                           [&](const fs::path& folder) { return isUnder(full, folder); });
    }
    catch (const std::exception&)
    {
        return false;
    }
}

void RecordingFolders::check(const std::string& path) const
{
    if (!contains(path))
        throw std::runtime_error("Path outside the recording folders: " + path);
}

std::string RecordingFolders::describe() const
{
    if (m_folders.empty())
        return "any";
    std::string text;
    for (const fs::path& folder : m_folders)
        text += (text.empty() ? "" : ", ") + folder.string();
    return text;
}

} // namespace vexar
