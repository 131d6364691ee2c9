// Counting in console output and logs, for tests and benchmarks.
#pragma once

#include <cstddef>
#include <string>

namespace vexar
{

// How often what occurs in text, occurrences not overlapping.
inline std::size_t countOccurrences(const std::string& text, const std::string& what)
{
    std::size_t count = 0;
    for (std::size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size())
        ++count;
    return count;
}

// The lines of text that hold what (every line when what is empty).
inline std::size_t countLinesWith(const std::string& text, const std::string& what)
{
    std::size_t count = 0;
    for (std::size_t start = 0; start < text.size();)
    {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        if (text.substr(start, end - start).find(what) != std::string::npos)
            ++count;
        start = end + 1;
    }
    return count;
}

} // namespace vexar
