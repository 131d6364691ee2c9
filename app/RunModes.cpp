#include "app/RunModes.h"

void runModes(const StartupValues& values)
{
    // Temporary until the recorder exists: it will own the input handle and
    // close it; for now nothing runs, so the handle is closed here.
    if (values.input != INVALID_HANDLE_VALUE)
        CloseHandle(values.input);
}
