#include "server/RequestReader.h"

namespace vexar
{

namespace
{

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void dropTrailingSpaces(std::string& text)
{
    const std::size_t last = text.find_last_not_of(' ');
    text.erase(last == std::string::npos ? 0 : last + 1);
}

} // namespace

void RequestReader::skip()
{
    while (m_position < m_line.size() && isSpace(m_line[m_position]))
        ++m_position;
    if (m_position == m_line.size())
        m_atEnd = true;
}

std::string RequestReader::take(std::size_t stop)
{
    std::string value(m_line.substr(m_position, stop - m_position));
    m_position = stop;
    if (m_position == m_line.size())
        m_atEnd = true;
    return value;
}

bool RequestReader::word(std::string& target)
{
    if (m_atEnd)
        return false;
    skip();
    if (m_atEnd)
        return false;
    std::size_t stop = m_position;
    while (stop < m_line.size() && !isSpace(m_line[stop]))
        ++stop;
    target = take(stop);
    return true;
}

bool RequestReader::field(std::string& target)
{
    if (m_atEnd)
        return false;
    skip();
    if (m_atEnd)
        return false;
    const std::size_t bar = m_line.find('|', m_position);
    if (bar == std::string_view::npos)
    {
        target = take(m_line.size());
    }
    else
    {
        target = take(bar);
        ++m_position; // the "|" ends the field and is not part of it
    }
    dropTrailingSpaces(target);
    return true;
}

bool RequestReader::rest(std::string& target)
{
    if (m_atEnd)
        return false;
    skip();
    if (m_atEnd)
        return false;
    target = take(m_line.size());
    dropTrailingSpaces(target);
    return true;
}

} // namespace vexar
