// A log file for a program without a console (a Windows service) or with a
// record of its console: whole lines, each with a local time stamp in front
// ("2026-12-08 15:12:27.123 "), rotated when it grows too big.
#pragma once

#include <cstdint>
#include <fstream>
#include <iostream>
#include <mutex>
#include <streambuf>
#include <string>

namespace vexar
{

class LogFile
{
public:
    static constexpr std::uint64_t kDefaultMaxBytes = 10u * 1024u * 1024u;
    static constexpr int kDefaultKeep = 5;

    // Appends to the file at path. Before a line would take the file past
    // maxBytes, the file becomes path.1 (path.1 becomes path.2, and so on;
    // the oldest beyond path.keep is removed) and a new file is begun.
    // Throws std::runtime_error "Cannot write log file " and the path.
    explicit LogFile(std::string path, std::uint64_t maxBytes = kDefaultMaxBytes, int keep = kDefaultKeep);
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Writes the time stamp, the text and a line end, and flushes; from any
    // thread.
    void writeLine(const std::string& text);
    const std::string& path() const { return m_path; }

private:
    void open();
    void rotate();

    std::mutex m_mutex;
    std::string m_path;
    std::uint64_t m_maxBytes;
    int m_keep;
    std::ofstream m_file;
    std::uint64_t m_size = 0;
};

// A stream buffer that hands what a stream writes to a log in whole lines
// (a line longer than kMaxLine is cut into several) and, when echo is not
// null, passes every byte on to echo at once, as the console had it before.
class LogStreamBuf : public std::streambuf
{
public:
    static constexpr std::size_t kMaxLine = 65536;

    LogStreamBuf(LogFile& log, std::streambuf* echo);
    // Writes a line begun but not ended.
    ~LogStreamBuf() override;
    LogStreamBuf(const LogStreamBuf&) = delete;
    LogStreamBuf& operator=(const LogStreamBuf&) = delete;

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    int sync() override;

private:
    void takeLine();

    std::mutex m_mutex;
    LogFile& m_log;
    std::streambuf* m_echo;
    std::string m_line;
};

// For its lifetime, std::cout, std::cerr and std::clog write to the log file
// at path (standard output and standard error each in whole lines), and to
// the console as well when echo is true.
class LogRedirect
{
public:
    LogRedirect(const std::string& path, bool echo);
    ~LogRedirect();
    LogRedirect(const LogRedirect&) = delete;
    LogRedirect& operator=(const LogRedirect&) = delete;

private:
    LogFile m_log;
    std::streambuf* m_coutBuf;
    std::streambuf* m_cerrBuf;
    std::streambuf* m_clogBuf;
    LogStreamBuf m_out;
    LogStreamBuf m_err;
};

} // namespace vexar
