// Internal to the stand-in platform: the objects behind handles and the
// process-wide handle table.
#pragma once

#include "platform/Windows.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace vexar::platform
{

struct FileObject;
struct DeviceObject;
struct ThreadObject;
struct TimerObject;
struct EventObject;
struct DeviceInfoSet;

// What a handle refers to: exactly one of the members is set.
struct KernelObject
{
    std::shared_ptr<FileObject> file;
    std::shared_ptr<DeviceObject> device;
    std::shared_ptr<ThreadObject> thread;
    std::shared_ptr<TimerObject> timer;
    std::shared_ptr<EventObject> event;
    std::shared_ptr<DeviceInfoSet> infoSet;
};

HANDLE insertHandle(KernelObject object);
// A copy of the object, empty (all members null) for an unknown handle.
KernelObject lookupHandle(HANDLE h);
// Removes the handle from the table and returns what it referred to.
KernelObject removeHandle(HANDLE h);

// Completion of overlapped requests: Internal holds 0 for success,
// STATUS_PENDING while running, or kFailedStatus | error code.
constexpr ULONG_PTR kFailedStatus = 0xE0000000u;
inline void markPending(OVERLAPPED* ov)
{
    ov->InternalHigh.store(0, std::memory_order_relaxed);
    ov->Internal.store(STATUS_PENDING, std::memory_order_release);
}
inline void markCompleted(OVERLAPPED* ov, DWORD error, DWORD bytes)
{
    ov->InternalHigh.store(bytes, std::memory_order_relaxed);
    ov->Internal.store(error == 0 ? 0 : (kFailedStatus | error), std::memory_order_release);
}

// Waits on cv, with lock held, as a Windows wait does: for ever on INFINITE,
// else at most milliseconds. True once ready() holds, false on time-out.
template <class Ready>
bool waitWithin(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, DWORD milliseconds,
                Ready ready)
{
    if (milliseconds != INFINITE)
        return cv.wait_for(lock, std::chrono::milliseconds(milliseconds), ready);
    cv.wait(lock, ready);
    return true;
}

// Lock and condition variable that requests of one handle complete under.
struct IoSync
{
    std::mutex mutex;
    std::condition_variable completed;
    // The handle's own signal, as Windows keeps one per file object: set
    // when any request on the handle completes, cleared when a new one is
    // issued. A wait for a record without an event waits on this.
    bool signaled = false;
};
IoSync& fileIoSync(FileObject& file);
IoSync& deviceIoSync(DeviceObject& device);

void closeFile(FileObject& file);
void closeDevice(DeviceObject& device);
BOOL readFile(FileObject& file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED ov);
BOOL writeFile(FileObject& file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED ov);
BOOL deviceIoControl(DeviceObject& device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                     LPDWORD returned, LPOVERLAPPED ov);
// End the overlapped requests issued with the record `ov`, or all of them
// when it is null; false when there is none.
bool cancelFileIo(FileObject& file, const OVERLAPPED* ov);
bool cancelDeviceIo(DeviceObject& device, const OVERLAPPED* ov);
HANDLE openDeviceSocket(const char* path);
HANDLE openFile(const char* path, DWORD access, DWORD shareMode, DWORD creation, DWORD flags);
// Takes an open descriptor of the file at path as a file handle, as an open
// of it with these arguments would make it (share modes checked, emptied for
// CREATE_ALWAYS); closes it and fails as that open would.
HANDLE adoptFile(int fd, const char* path, DWORD access, DWORD shareMode, DWORD creation, DWORD flags);

DWORD waitForThread(ThreadObject& thread, DWORD milliseconds);
DWORD waitForTimer(TimerObject& timer, DWORD milliseconds);
DWORD waitForEvent(EventObject& event, DWORD milliseconds);

DWORD winErrorFromErrno(int err);

} // namespace vexar::platform
