// Whether the program registers itself with the system's service manager
// (Windows): only there does the command line offer the service options.
// Elsewhere a service manager such as systemd runs the plain program.
#pragma once

namespace vexar::platform
{

extern const bool kHasServiceManager;

} // namespace vexar::platform
