#include "app/Program.h"

#include "app/RunModes.h"
#include "app/Startup.h"

#include <exception>
#include <iostream>

namespace vexar
{

int runFromCommandLine(int argc, const char* const argv[], StopSignals& stopSignals)
{
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

} // namespace vexar
