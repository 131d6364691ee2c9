// The Windows primitives the recorder is written against.
//
// On Windows this is the real API. Elsewhere it is a small stand-in with the
// same names and the semantics the recorder relies on, built on POSIX files,
// sockets and threads:
//  - handles are small integers in a process-wide table (like kernel handles),
//    so they print as eight hexadecimal digits and a stale handle is refused;
//  - overlapped file reads and writes run on a worker thread per file handle
//    and complete in issue order; CancelIoEx ends the request issued with the
//    record (every request, without one) if it has not started and lets a
//    running one finish, so callers must still collect each cancelled request
//    before they reuse its buffer, as on Windows;
//  - an open of a file is refused (ERROR_SHARING_VIOLATION) when it conflicts
//    with the share mode of another open of the file in this process, or its
//    own share mode does not allow another open's access;
//  - a device path is a Unix-domain socket in the device namespace directory
//    (VEXARHD_DEVICE_DIR, default /run/vexarhd), one sub-folder per interface
//    class; DeviceIoControl sends each request as one message (DeviceWire.h);
//  - waitable timers, threads and the SetupAPI enumeration behave as their
//    Windows namesakes for the calls used here.
#pragma once

#ifdef _WIN32

#ifndef NOMINMAX
#define NOMINMAX
#endif
// Winsock 2 before windows.h, which would otherwise bring in the old winsock.h.
#include <winsock2.h>

#include <windows.h>

#include <setupapi.h>

#else

#include <atomic>
#include <cstddef>
#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using BOOL = int;
using CHAR = char;
using ULONG_PTR = std::uintptr_t;
using ULONGLONG = std::uint64_t;
using LPVOID = void*;
using LPCVOID = const void*;
using LPCSTR = const char*;
using LPDWORD = DWORD*;
using HANDLE = void*;
using HDEVINFO = void*;
using HWND = void*;

#define WINAPI
#define TRUE 1
#define FALSE 0

inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~std::uintptr_t(0));

// Error codes, as Windows numbers them.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_HANDLE_EOF = 38;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_FILE_EXISTS = 80;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_DISK_FULL = 112;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_IO_INCOMPLETE = 996;
constexpr DWORD ERROR_IO_PENDING = 997;
constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;
constexpr DWORD ERROR_NOT_FOUND = 1168;

constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD STILL_ACTIVE = 259;
constexpr DWORD STATUS_PENDING = 0x103;

constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
constexpr DWORD FILE_SHARE_DELETE = 0x4;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000;

constexpr DWORD DIGCF_PRESENT = 0x2;
constexpr DWORD DIGCF_DEVICEINTERFACE = 0x10;

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

union LARGE_INTEGER
{
    struct
    {
        DWORD LowPart;
        LONG HighPart;
    } u;
    std::int64_t QuadPart;
};

// The record of one overlapped request. Internal holds STATUS_PENDING while the
// request runs and is set last, with release ordering, when it completes, so a
// thread that sees it changed also sees InternalHigh (the byte count) and the
// data. Copying or assigning a record (e.g. `ov = OVERLAPPED{}` to zero it) is
// only meant for records with no request outstanding.
struct OVERLAPPED
{
    std::atomic<ULONG_PTR> Internal{0};
    std::atomic<ULONG_PTR> InternalHigh{0};
    DWORD Offset = 0;
    DWORD OffsetHigh = 0;
    HANDLE hEvent = nullptr;

    OVERLAPPED() = default;
    OVERLAPPED(const OVERLAPPED& o)
        : Internal(o.Internal.load()), InternalHigh(o.InternalHigh.load()), Offset(o.Offset),
          OffsetHigh(o.OffsetHigh), hEvent(o.hEvent)
    {
    }
    OVERLAPPED& operator=(const OVERLAPPED& o)
    {
        Internal.store(o.Internal.load());
        InternalHigh.store(o.InternalHigh.load());
        Offset = o.Offset;
        OffsetHigh = o.OffsetHigh;
        hEvent = o.hEvent;
        return *this;
    }
};
using LPOVERLAPPED = OVERLAPPED*;

inline bool HasOverlappedIoCompleted(const OVERLAPPED* ov)
{
    return ov->Internal.load(std::memory_order_acquire) != STATUS_PENDING;
}

struct GUID
{
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};

struct SP_DEVICE_INTERFACE_DATA
{
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
};

struct SP_DEVINFO_DATA
{
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
};

struct SP_DEVICE_INTERFACE_DETAIL_DATA_A
{
    DWORD cbSize;
    CHAR DevicePath[1];
};

using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID);
using PTIMERAPCROUTINE = void (*)(LPVOID, DWORD, DWORD);

// Handles, errors, process.
BOOL CloseHandle(HANDLE h);
DWORD GetLastError();
void SetLastError(DWORD code);
void Sleep(DWORD milliseconds);
ULONGLONG GetTickCount64();
DWORD GetCurrentProcessId();

// Files and devices.
HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security, DWORD creation,
                   DWORD flagsAndAttributes, HANDLE templateFile);
BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED ov);
BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED ov);
BOOL DeviceIoControl(HANDLE h, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                     LPDWORD returned, LPOVERLAPPED ov);
BOOL GetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD transferred, BOOL wait);
// As GetOverlappedResult, waiting at most milliseconds (INFINITE: no limit);
// a wait that runs out fails with WAIT_TIMEOUT. Not alertable here. As on
// Windows, the wait is on the handle: it may end because another request
// completed, and a record still pending is then reported as a success
// (check HasOverlappedIoCompleted when several requests are in flight).
BOOL GetOverlappedResultEx(HANDLE h, LPOVERLAPPED ov, LPDWORD transferred, DWORD milliseconds,
                           BOOL alertable);
BOOL CancelIoEx(HANDLE h, LPOVERLAPPED ov);
BOOL CancelIo(HANDLE h);

// Threads.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, std::size_t stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD flags, LPDWORD threadId);
DWORD WaitForSingleObject(HANDLE h, DWORD milliseconds);
BOOL GetExitCodeThread(HANDLE h, LPDWORD exitCode);

// Events.
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState, LPCSTR name);
BOOL SetEvent(HANDLE h);
BOOL ResetEvent(HANDLE h);

// Waitable timers.
HANDLE CreateWaitableTimerA(LPSECURITY_ATTRIBUTES security, BOOL manualReset, LPCSTR name);
BOOL SetWaitableTimer(HANDLE h, const LARGE_INTEGER* dueTime, LONG period, PTIMERAPCROUTINE completion,
                      LPVOID argument, BOOL resume);
BOOL CancelWaitableTimer(HANDLE h);

// Device-interface enumeration.
HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, LPCSTR enumerator, HWND parent, DWORD flags);
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* info, const GUID* classGuid, DWORD index,
                                 SP_DEVICE_INTERFACE_DATA* data);
BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                      SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailSize,
                                      LPDWORD requiredSize, SP_DEVINFO_DATA* info);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set);

#endif // _WIN32
