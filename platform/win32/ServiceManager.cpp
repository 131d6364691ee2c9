#include "platform/ServiceManager.h"

namespace vexar::platform
{

const bool hasServiceManager = true;

} // namespace vexar::platform
