// Files: synchronous or overlapped reads and writes. Overlapped requests of a
// handle go to one worker thread in issue order, so the caller keeps working
// (or issues more) while earlier requests are served. Opens are checked
// against the share modes of the file's other opens, as Windows does.
#include "platform/posix/KernelObjects.h"
#include "platform/posix/WriteStallFault.h"

#include <cerrno>
#include <deque>
#include <fcntl.h>
#include <map>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace vexar::platform
{

// What one open of a file may do, and what it lets other opens do.
struct OpenMode
{
    DWORD access;
    DWORD shareMode;
};
using OpenFiles = std::multimap<std::pair<dev_t, ino_t>, OpenMode>;

struct FileRequest
{
    OVERLAPPED* ov;
    bool write;
    char* buffer;
    DWORD size;
    std::uint64_t offset;
    bool append; // both offset fields 0xFFFFFFFF on a write: at the current end
};

struct FileObject
{
    int fd = -1;
    bool overlapped = false;
    IoSync io;
    std::condition_variable work;
    std::deque<FileRequest> queue;       // not yet started
    const OVERLAPPED* running = nullptr; // the record of the request the worker runs
    bool closing = false;
    std::thread worker;                           // started with the first overlapped request
    std::optional<OpenFiles::iterator> openEntry; // until the handle is closed
    std::unique_ptr<WriteStallFault> stallFault;  // test equipment; null but in stalled-disk tests

    ~FileObject()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

namespace
{

// Every open file of the process, so that a new open can be checked against
// the share modes of the others.
struct OpenFileTable
{
    std::mutex mutex;
    OpenFiles files;
};

OpenFileTable& openFiles()
{
    static OpenFileTable* t = new OpenFileTable; // never destroyed: threads may outlive static destruction
    return *t;
}

// Whether `holder` lets `other` have the access it asks for.
bool allows(const OpenMode& holder, const OpenMode& other)
{
    return (!(other.access & GENERIC_READ) || (holder.shareMode & FILE_SHARE_READ)) &&
           (!(other.access & GENERIC_WRITE) || (holder.shareMode & FILE_SHARE_WRITE));
}

// Enters an open of the file into the table, unless it conflicts with one
// that is there.
std::optional<OpenFiles::iterator> enterOpen(const struct stat& st, const OpenMode& mode)
{
    OpenFileTable& t = openFiles();
    std::lock_guard<std::mutex> lock(t.mutex);
    const auto key = std::make_pair(st.st_dev, st.st_ino);
    const auto range = t.files.equal_range(key);
    for (auto it = range.first; it != range.second; ++it)
    {
        if (!allows(it->second, mode) || !allows(mode, it->second))
            return std::nullopt;
    }
    return t.files.emplace(key, mode);
}

void leaveOpen(OpenFiles::iterator entry)
{
    OpenFileTable& t = openFiles();
    std::lock_guard<std::mutex> lock(t.mutex);
    t.files.erase(entry);
}

// Runs one request to its end; returns the error code (0 on success) and the
// bytes moved. A read at the end of the file reports ERROR_HANDLE_EOF.
DWORD perform(int fd, const FileRequest& r, DWORD& moved)
{
    moved = 0;
    std::uint64_t offset = r.offset;
    if (r.write && r.append)
    {
        off_t end = ::lseek(fd, 0, SEEK_END);
        if (end < 0)
            return winErrorFromErrno(errno);
        offset = static_cast<std::uint64_t>(end);
    }
    while (moved < r.size)
    {
        ssize_t n = r.write
                        ? ::pwrite(fd, r.buffer + moved, r.size - moved, static_cast<off_t>(offset + moved))
                        : ::pread(fd, r.buffer + moved, r.size - moved, static_cast<off_t>(offset + moved));
        if (n < 0)
        {
            if (errno == EINTR)
                continue;
            return winErrorFromErrno(errno);
        }
        if (n == 0)
            break; // end of file on a read
        moved += static_cast<DWORD>(n);
    }
    if (!r.write && moved == 0 && r.size > 0)
        return ERROR_HANDLE_EOF;
    return 0;
}

void workerLoop(FileObject* file)
{
    std::unique_lock<std::mutex> lock(file->io.mutex);
    for (;;)
    {
        file->work.wait(lock, [file] { return file->closing || !file->queue.empty(); });
        if (file->queue.empty())
            return; // closing, nothing left
        FileRequest r = file->queue.front();
        file->queue.pop_front();
        file->running = r.ov;
        lock.unlock();
        if (r.write && file->stallFault)
            file->stallFault->beforeWrite(r.size);
        DWORD moved = 0;
        DWORD error = perform(file->fd, r, moved);
        lock.lock();
        file->running = nullptr;
        markCompleted(r.ov, error, moved);
        file->io.signaled = true;
        file->io.completed.notify_all();
    }
}

BOOL transfer(FileObject& file, bool write, void* buffer, DWORD size, LPDWORD done, LPOVERLAPPED ov)
{
    if (!ov || !file.overlapped)
    {
        std::uint64_t offset = ov ? (std::uint64_t(ov->OffsetHigh) << 32 | ov->Offset) : 0;
        FileRequest r{nullptr, write, static_cast<char*>(buffer), size, offset, true};
        if (ov)
        {
            r.append = write && ov->Offset == 0xFFFFFFFF && ov->OffsetHigh == 0xFFFFFFFF;
        }
        else
        {
            // Synchronous I/O without a record works at the file position.
            r.offset = static_cast<std::uint64_t>(::lseek(file.fd, 0, SEEK_CUR));
            r.append = false;
        }
        if (write && file.stallFault)
            file.stallFault->beforeWrite(size);
        DWORD moved = 0;
        DWORD error = perform(file.fd, r, moved);
        if (!ov && !error)
            ::lseek(file.fd, static_cast<off_t>(r.offset + moved), SEEK_SET);
        if (done)
            *done = moved;
        if (error == ERROR_HANDLE_EOF && !ov)
            return TRUE; // a synchronous read at the end returns 0 bytes
        if (error)
        {
            SetLastError(error);
            return FALSE;
        }
        return TRUE;
    }
    FileRequest r{ov,
                  write,
                  static_cast<char*>(buffer),
                  size,
                  std::uint64_t(ov->OffsetHigh) << 32 | ov->Offset,
                  write && ov->Offset == 0xFFFFFFFF && ov->OffsetHigh == 0xFFFFFFFF};
    {
        std::lock_guard<std::mutex> lock(file.io.mutex);
        if (file.closing)
        {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        markPending(ov);
        file.io.signaled = false;
        file.queue.push_back(r);
        if (!file.worker.joinable())
            file.worker = std::thread(workerLoop, &file);
    }
    file.work.notify_one();
    if (done)
        *done = 0;
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

} // namespace

BOOL readFile(FileObject& file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED ov)
{
    return transfer(file, false, buffer, toRead, read, ov);
}

BOOL writeFile(FileObject& file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED ov)
{
    return transfer(file, true, const_cast<void*>(buffer), toWrite, written, ov);
}

// A request the worker has started runs to its end and completes normally.
bool cancelFileIo(FileObject& file, const OVERLAPPED* ov)
{
    std::lock_guard<std::mutex> lock(file.io.mutex);
    bool found = file.running && (!ov || file.running == ov);
    for (auto it = file.queue.begin(); it != file.queue.end();)
    {
        if (ov && it->ov != ov)
        {
            ++it;
            continue;
        }
        markCompleted(it->ov, ERROR_OPERATION_ABORTED, 0);
        file.io.signaled = true;
        it = file.queue.erase(it);
        found = true;
    }
    file.io.completed.notify_all();
    return found;
}

void closeFile(FileObject& file)
{
    {
        std::lock_guard<std::mutex> lock(file.io.mutex);
        file.closing = true;
    }
    cancelFileIo(file, nullptr);
    file.work.notify_all();
    if (file.worker.joinable())
        file.worker.join();
    if (file.openEntry)
    {
        leaveOpen(*file.openEntry);
        file.openEntry.reset();
    }
}

HANDLE openFile(const char* path, DWORD access, DWORD shareMode, DWORD creation, DWORD flags)
{
    int mode = 0;
    if ((access & GENERIC_READ) && (access & GENERIC_WRITE))
        mode = O_RDWR;
    else if (access & GENERIC_WRITE)
        mode = O_WRONLY;
    else
        mode = O_RDONLY;
    // CREATE_ALWAYS truncates only once the open is allowed: a refused one
    // leaves the file as it was.
    if (creation == CREATE_ALWAYS)
        mode |= O_CREAT;
    else if (creation != OPEN_EXISTING)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    // As on Windows, an open never waits: a named pipe without a reader is
    // refused instead of blocking until one comes.
    int fd = ::open(path, mode | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0)
    {
        SetLastError(errno == ENXIO ? ERROR_ACCESS_DENIED : winErrorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return adoptFile(fd, path, access, shareMode, creation, flags);
}

HANDLE adoptFile(int fd, const char* path, DWORD access, DWORD shareMode, DWORD creation, DWORD flags)
{
    auto file = std::make_shared<FileObject>();
    file->fd = fd;
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0)
    {
        SetLastError(winErrorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    if (S_ISDIR(st.st_mode))
    {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    file->openEntry = enterOpen(st, OpenMode{access, shareMode});
    if (!file->openEntry)
    {
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    // Devices such as /dev/full have no length to cut, as with O_TRUNC; an
    // empty file is not cut either (a cut makes the system write the file
    // out when it is closed).
    if (creation == CREATE_ALWAYS && S_ISREG(st.st_mode) && st.st_size > 0 && ::ftruncate(fd, 0) != 0)
    {
        const DWORD error = winErrorFromErrno(errno);
        closeFile(*file);
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    file->overlapped = (flags & FILE_FLAG_OVERLAPPED) != 0;
    if (access & GENERIC_WRITE)
        file->stallFault = WriteStallFault::forFile(path);
    KernelObject object;
    object.file = std::move(file);
    return insertHandle(std::move(object));
}

IoSync& fileIoSync(FileObject& file)
{
    return file.io;
}

} // namespace vexar::platform

using namespace vexar::platform;

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES, DWORD creation,
                   DWORD flagsAndAttributes, HANDLE)
{
    if (!name)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    struct stat st
    {
    };
    if (creation == OPEN_EXISTING && ::stat(name, &st) == 0 && S_ISSOCK(st.st_mode))
        return openDeviceSocket(name);
    return openFile(name, access, shareMode, creation, flagsAndAttributes);
}

BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED ov)
{
    KernelObject object = lookupHandle(h);
    if (!object.file)
    {
        SetLastError(object.device ? ERROR_INVALID_FUNCTION : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return readFile(*object.file, buffer, toRead, read, ov);
}

BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED ov)
{
    KernelObject object = lookupHandle(h);
    if (!object.file)
    {
        SetLastError(object.device ? ERROR_INVALID_FUNCTION : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return writeFile(*object.file, buffer, toWrite, written, ov);
}
