#include "app/LogFile.h"

#include <chrono>
#include <ctime>
#include <filesystem>
#include <iomanip>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace vexar
{

namespace
{

// Local time with milliseconds: "2026-12-08 15:12:27.123 ". Called under the
// log's lock, the only user of std::localtime in the program.
std::string timeStamp()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::ostringstream stamp;
    stamp << std::put_time(std::localtime(&seconds), "%Y-%m-%d %H:%M:%S") << '.' << std::setw(3)
          << std::setfill('0') << millis << ' ';
    return stamp.str();
}

} // namespace

LogFile::LogFile(std::string path, std::uint64_t maxBytes, int keep)
    : m_path(std::move(path)), m_maxBytes(maxBytes), m_keep(keep)
{
    open();
}

void LogFile::open()
{
    m_file.open(m_path, std::ios::binary | std::ios::app);
    if (!m_file)
        throw std::runtime_error("Cannot write log file " + m_path);
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(m_path, error);
    m_size = error ? 0 : size;
}

void LogFile::rotate()
{
    m_file.close();
    std::error_code ignored;
    const auto numbered = [this](int n) { return m_path + "." + std::to_string(n); };
    std::filesystem::remove(numbered(m_keep), ignored);
    for (int n = m_keep - 1; n >= 1; --n)
        std::filesystem::rename(numbered(n), numbered(n + 1), ignored);
    if (m_keep >= 1)
        std::filesystem::rename(m_path, numbered(1), ignored);
    else
        std::filesystem::remove(m_path, ignored);
    open();
}

void LogFile::writeLine(const std::string& text)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::string line = timeStamp() + text + "\n";
    if (m_size > 0 && m_size + line.size() > m_maxBytes)
        rotate();
    m_file << line << std::flush;
    m_size += line.size();
}

LogStreamBuf::LogStreamBuf(LogFile& log, std::streambuf* echo) : m_log(log), m_echo(echo) {}

LogStreamBuf::~LogStreamBuf()
{
    if (!m_line.empty())
        m_log.writeLine(m_line);
}

void LogStreamBuf::takeLine()
{
    if (!m_line.empty() && m_line.back() == '\r')
        m_line.pop_back();
    m_log.writeLine(m_line);
    m_line.clear();
}

std::streamsize LogStreamBuf::xsputn(const char* s, std::streamsize n)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_echo)
        m_echo->sputn(s, n);
    for (std::streamsize i = 0; i < n; ++i)
    {
        if (s[i] == '\n')
            takeLine();
        else
        {
            m_line.push_back(s[i]);
            if (m_line.size() >= kMaxLine)
                takeLine();
        }
    }
    return n;
}

LogStreamBuf::int_type LogStreamBuf::overflow(int_type c)
{
    if (traits_type::eq_int_type(c, traits_type::eof()))
        return traits_type::not_eof(c);
    const char ch = traits_type::to_char_type(c);
    xsputn(&ch, 1);
    return c;
}

int LogStreamBuf::sync()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_echo ? m_echo->pubsync() : 0;
}

LogRedirect::LogRedirect(const std::string& path, bool echo)
    : m_log(path), m_coutBuf(std::cout.rdbuf()), m_cerrBuf(std::cerr.rdbuf()), m_clogBuf(std::clog.rdbuf()),
      m_out(m_log, echo ? m_coutBuf : nullptr), m_err(m_log, echo ? m_cerrBuf : nullptr)
{
    std::cout.flush();
    std::cout.rdbuf(&m_out);
    std::cerr.rdbuf(&m_err);
    std::clog.rdbuf(&m_err);
}

LogRedirect::~LogRedirect()
{
    std::cout.rdbuf(m_coutBuf);
    std::cerr.rdbuf(m_cerrBuf);
    std::clog.rdbuf(m_clogBuf);
}

} // namespace vexar
