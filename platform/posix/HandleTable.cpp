#include "platform/posix/KernelObjects.h"

#include <cerrno>
#include <chrono>
#include <thread>
#include <unistd.h>
#include <unordered_map>

namespace vexar::platform
{
namespace
{

struct HandleTable
{
    std::mutex mutex;
    std::unordered_map<std::uintptr_t, KernelObject> objects;
    std::uintptr_t next = 0x40;
};

HandleTable& table()
{
    static HandleTable* t = new HandleTable; // never destroyed: threads may outlive static destruction
    return *t;
}

thread_local DWORD t_lastError = 0;

} // namespace

HANDLE insertHandle(KernelObject object)
{
    HandleTable& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    std::uintptr_t id = t.next;
    t.next += 4; // values are never reused, so a stale handle is always refused
    t.objects.emplace(id, std::move(object));
    return reinterpret_cast<HANDLE>(id);
}

KernelObject lookupHandle(HANDLE h)
{
    HandleTable& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.objects.find(reinterpret_cast<std::uintptr_t>(h));
    return it == t.objects.end() ? KernelObject{} : it->second;
}

KernelObject removeHandle(HANDLE h)
{
    HandleTable& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.objects.find(reinterpret_cast<std::uintptr_t>(h));
    if (it == t.objects.end())
        return {};
    KernelObject object = std::move(it->second);
    t.objects.erase(it);
    return object;
}

DWORD winErrorFromErrno(int err)
{
    switch (err)
    {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ENAMETOOLONG:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
        return ERROR_ACCESS_DENIED;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EEXIST:
        return ERROR_FILE_EXISTS;
    case ENOSPC:
    case EFBIG:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case ECONNREFUSED:
    case ECONNRESET:
    case EPIPE:
    case ENOTCONN:
        return ERROR_DEVICE_NOT_CONNECTED;
    default:
        return ERROR_GEN_FAILURE;
    }
}

} // namespace vexar::platform

using namespace vexar::platform;

DWORD GetLastError()
{
    return t_lastError;
}
void SetLastError(DWORD code)
{
    t_lastError = code;
}

void Sleep(DWORD milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

DWORD GetCurrentProcessId()
{
    return static_cast<DWORD>(getpid());
}

ULONGLONG GetTickCount64()
{
    return static_cast<ULONGLONG>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now().time_since_epoch())
                                      .count());
}

BOOL CloseHandle(HANDLE h)
{
    KernelObject object = removeHandle(h);
    if (object.file)
        closeFile(*object.file);
    else if (object.device)
        closeDevice(*object.device);
    else if (!object.thread && !object.timer && !object.event && !object.infoSet)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL GetOverlappedResultEx(HANDLE h, LPOVERLAPPED ov, LPDWORD transferred, DWORD milliseconds, BOOL)
{
    KernelObject object = lookupHandle(h);
    IoSync* sync = object.file     ? &fileIoSync(*object.file)
                   : object.device ? &deviceIoSync(*object.device)
                                   : nullptr;
    if (!sync || !ov)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!HasOverlappedIoCompleted(ov))
    {
        if (milliseconds == 0)
        {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        // As on Windows, a record without an event is waited for on the
        // handle, which the completion of any of its requests signals: the
        // wait can end while this record is still pending, and the record
        // is then reported as it stands, pending status read as success.
        std::unique_lock<std::mutex> lock(sync->mutex);
        const auto done = [ov, sync] { return HasOverlappedIoCompleted(ov) || sync->signaled; };
        if (!waitWithin(sync->completed, lock, milliseconds, done))
        {
            SetLastError(WAIT_TIMEOUT);
            return FALSE;
        }
    }
    ULONG_PTR status = ov->Internal.load(std::memory_order_acquire);
    if (transferred)
        *transferred = static_cast<DWORD>(ov->InternalHigh.load(std::memory_order_relaxed));
    if (status != 0 && status != STATUS_PENDING)
    {
        SetLastError(static_cast<DWORD>(status & ~kFailedStatus));
        return FALSE;
    }
    return TRUE;
}

BOOL GetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD transferred, BOOL wait)
{
    return GetOverlappedResultEx(h, ov, transferred, wait ? INFINITE : 0, FALSE);
}

BOOL CancelIoEx(HANDLE h, LPOVERLAPPED ov)
{
    KernelObject object = lookupHandle(h);
    bool found;
    if (object.file)
        found = cancelFileIo(*object.file, ov);
    else if (object.device)
        found = cancelDeviceIo(*object.device, ov);
    else
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!found)
    {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}

// Unlike CancelIoEx, it succeeds when there is nothing to cancel.
BOOL CancelIo(HANDLE h)
{
    return CancelIoEx(h, nullptr) || GetLastError() == ERROR_NOT_FOUND;
}

DWORD WaitForSingleObject(HANDLE h, DWORD milliseconds)
{
    KernelObject object = lookupHandle(h);
    if (object.thread)
        return waitForThread(*object.thread, milliseconds);
    if (object.timer)
        return waitForTimer(*object.timer, milliseconds);
    if (object.event)
        return waitForEvent(*object.event, milliseconds);
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}
