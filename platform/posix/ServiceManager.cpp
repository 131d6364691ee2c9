#include "platform/ServiceManager.h"

namespace vexar::platform
{

const bool hasServiceManager = false;

} // namespace vexar::platform
