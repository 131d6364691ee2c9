// The entry point: start-up, then one run mode, with the top-level error
// report. Exit codes: 1 after the help, 0 after a normal run, -1 (255) after
// an error, reported on standard error as "Exception occurred: " and its text.
// On Windows the program also installs, removes and runs as a service.
#include "app/Program.h"
#include "app/StopSignals.h"

#ifdef _WIN32
#include "app/WindowsService.h"
#else
#include <csignal>
#endif

using namespace vexar;

int main(int argc, char* argv[])
{
#ifndef _WIN32
    // A write past the file-size limit (RLIMIT_FSIZE) then fails with EFBIG
    // and ends the recording with a write error, as a full disk does, instead
    // of the signal killing the process without a word.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    StopSignals stopSignals; // before any thread: they inherit its blocked signals
#ifdef _WIN32
    return windowsMain(argc, argv, stopSignals);
#else
    return runFromCommandLine(argc, argv, stopSignals);
#endif
}
