// Collecting one overlapped request among several in flight. A record
// without an event is waited for on its handle, which any completion
// signals (on Windows and in the stand-in alike), so the wait is repeated
// until the record itself has completed.
#pragma once

#include "platform/Windows.h"

namespace vexar
{

// As GetOverlappedResult(h, ov, bytes, TRUE), but never returns while the
// record is still pending (bounded: about 10 s, then it reports as it stands).
inline BOOL collect(HANDLE h, OVERLAPPED* ov, DWORD* bytes)
{
    for (int i = 0; i < 10000 && !HasOverlappedIoCompleted(ov); ++i)
    {
        DWORD ignored = 0;
        if (!GetOverlappedResultEx(h, ov, &ignored, 1, FALSE) && GetLastError() != WAIT_TIMEOUT &&
            GetLastError() != ERROR_IO_INCOMPLETE)
            break;
        if (!HasOverlappedIoCompleted(ov))
            Sleep(1);
    }
    return GetOverlappedResult(h, ov, bytes, FALSE);
}

} // namespace vexar
