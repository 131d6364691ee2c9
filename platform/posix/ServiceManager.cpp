#include "platform/ServiceManager.h"

namespace vexar::platform
{

const bool kHasServiceManager = false;

} // namespace vexar::platform
