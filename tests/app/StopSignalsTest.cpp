// Stops as the Windows service manager delivers them to a service's run.
#include "app/StopSignals.h"

#include <gtest/gtest.h>

namespace vexar
{

// A service must end through its run, reporting STOPPED, or the service
// manager restarts it a minute later: no stop ends the process at once. One
// that comes before the run mode has its action waits for it; a further one
// (a second stop control, a shutdown during the stop) changes nothing.
TEST(StopSignals, AsAServiceNoStopEndsTheProcess)
{
    StopSignals signals;
    signals.serviceMode();
    int actions = 0;
    signals.stop();
    signals.stop();
    EXPECT_EQ(actions, 0);
    signals.setAction([&] { ++actions; });
    EXPECT_EQ(actions, 1);
    signals.stop();
    signals.setAction(nullptr); // the run mode is over
    signals.stop();
    EXPECT_EQ(actions, 1);
    EXPECT_TRUE(signals.stopRequested());
}

} // namespace vexar
