#include "config/ChannelMap.h"

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

namespace vexar
{

std::map<std::string, std::int32_t> readChannelMap(const std::string& fileName)
{
    std::map<std::string, std::int32_t> map;
    if (fileName.empty())
        return map;
    // A directory opens as a stream here (unlike on Windows) and would read as
    // an empty map without a word.
    std::error_code ignored;
    std::ifstream file(fileName);
    if (!file.good() || std::filesystem::is_directory(fileName, ignored))
        throw std::runtime_error("Could not open " + fileName);

    std::string channel;
    std::int32_t program = 0;
    // A number that ends the file sets eofbit but has still been read, so
    // only a failed extraction ends the loop; testing good() here would drop
    // the last pair of every file without a final line end.
    while (file >> channel >> program)
        map[channel] = program;
    return map;
}

} // namespace vexar
