// The entry point: start-up, then one run mode, with the top-level error
// report. Exit codes: 1 after the help, 0 after a normal run, -1 (255) after
// an error, reported on standard error as "Exception occurred: " and its text.
#include "app/RunModes.h"
#include "app/Startup.h"
#include "app/StopSignals.h"

#include <exception>
#include <iostream>

using namespace vexar;

int main(int argc, char* argv[])
{
    StopSignals stopSignals; // before any thread: they inherit its blocked signals
    try
    {
        std::optional<StartupValues> values = startUp(argc, argv);
        if (!values)
            return 1;
        return runModes(std::move(*values), stopSignals);
    }
    catch (const std::exception& e)
    {
        std::cerr << "Exception occurred: " << e.what() << std::endl;
        return -1;
    }
}
