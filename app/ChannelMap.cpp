#include "app/ChannelMap.h"

#include <fstream>
#include <stdexcept>

std::map<std::string, std::int32_t> readChannelMap(const std::string& fileName)
{
    std::map<std::string, std::int32_t> map;
    if (fileName.empty())
        return map;
    std::ifstream file(fileName);
    if (!file.good())
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
