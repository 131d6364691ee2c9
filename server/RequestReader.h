// Reads the values of one request line the way SageTV lays them out: a
// command word, then "|"-separated fields, words or the rest of the line.
//
// The reader sees only the line itself (the bytes before the line end), so no
// value can take in a CR, an LF or bytes that arrived after the line. Once a
// read has reached the end of the line, every later read fails and leaves its
// target as it was: a request that stops early keeps the caller's earlier
// value for the fields it did not reach.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vexar
{

class RequestReader
{
public:
    explicit RequestReader(std::string_view line) : m_line(line) {}

    // Skips white space, then takes the characters up to the next white space.
    bool word(std::string& target);
    // Skips white space, then takes the characters up to the next "|" (which
    // is consumed) or the end of the line; trailing spaces are dropped.
    bool field(std::string& target);
    // Skips white space, then takes everything up to the end of the line;
    // trailing spaces are dropped. For file names, which may contain spaces.
    bool rest(std::string& target);
    // Passes over white space.
    void skip();
    // What is left to read.
    std::string_view remaining() const { return m_line.substr(m_position); }

private:
    // Takes the characters from the current position up to stop (exclusive).
    std::string take(std::size_t stop);

    std::string_view m_line;
    std::size_t m_position = 0;
    bool m_atEnd = false;
};

} // namespace vexar
