#include "platform/ServiceManager.h"

namespace vexar::platform
{

const bool kHasServiceManager = true;

} // namespace vexar::platform
