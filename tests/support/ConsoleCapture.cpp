#include "tests/support/ConsoleCapture.h"

#include <cstdio>
#include <iostream>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace vexar
{

namespace
{

#ifdef _WIN32
int openForWriting(const std::string& path)
{
    return _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
}
int duplicate(int fd)
{
    return _dup(fd);
}
void replace(int from, int fd)
{
    _dup2(from, fd);
}
void closeFd(int fd)
{
    _close(fd);
}
#else
int openForWriting(const std::string& path)
{
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
}
int duplicate(int fd)
{
    return ::dup(fd);
}
void replace(int from, int fd)
{
    ::dup2(from, fd);
}
void closeFd(int fd)
{
    ::close(fd);
}
#endif

void flushAll()
{
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
}

// Points the descriptor at a new file; the descriptor it had before.
int redirect(int fd, const std::string& path)
{
    flushAll();
    const int saved = duplicate(fd);
    const int file = openForWriting(path);
    replace(file, fd);
    closeFd(file);
    return saved;
}

} // namespace

ConsoleCapture::ConsoleCapture()
    : m_savedOut(redirect(1, m_dir.file("out"))), m_savedErr(redirect(2, m_dir.file("err")))
{
}

ConsoleCapture::~ConsoleCapture()
{
    finish();
}

void ConsoleCapture::finish()
{
    if (m_savedOut < 0)
        return;
    flushAll();
    replace(m_savedOut, 1);
    replace(m_savedErr, 2);
    closeFd(m_savedOut);
    closeFd(m_savedErr);
    m_savedOut = m_savedErr = -1;
}

std::string ConsoleCapture::out() const
{
    flushAll();
    return readText(m_dir.file("out"));
}

std::string ConsoleCapture::err() const
{
    flushAll();
    return readText(m_dir.file("err"));
}

} // namespace vexar
