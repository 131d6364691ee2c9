#include "server/RecordingFolders.h"

#include "platform/PathRules.h"

#include <stdexcept>
#include <system_error>

namespace vexar
{

namespace fs = std::filesystem;

const char RecordingFolders::kListSeparator = platform::kPathListSeparator;

namespace
{

// The path as the system will open it, "/rec/" as "/rec".
fs::path resolved(const fs::path& path)
{
    return platform::resolvedPath(path);
}

} // namespace

RecordingFolders RecordingFolders::parse(const std::string& list)
{
    RecordingFolders folders;
    std::size_t start = 0;
    while (true)
    {
        const std::size_t end = list.find(kListSeparator, start);
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
        return platform::isBelowAny(resolved(fs::path(path)), m_folders);
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

UniqueHandle RecordingFolders::createFile(const std::string& path, DWORD shareMode) const
{
    fs::path folder;
    std::string name;
    try
    {
        const fs::path absolute = fs::absolute(fs::path(path));
        name = absolute.filename().string();
        folder = resolved(absolute.parent_path());
    }
    catch (const std::exception&)
    {
        throw std::runtime_error("could not open file '" + path + "'");
    }
    UniqueHandle file(platform::createFileIn(folder, name, shareMode, m_folders));
    if (!file)
        throw std::runtime_error("could not open file '" + path + "'");
    return file;
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

std::string RecordingFolders::list() const
{
    std::string text;
    for (const fs::path& folder : m_folders)
        text += (text.empty() ? "" : std::string(1, kListSeparator)) + folder.string();
    return text;
}

} // namespace vexar
