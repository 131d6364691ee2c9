// Windows only: how a command line is written so that the C runtime's parser
// reads each argument back unchanged.
#pragma once

#include <string>

namespace vexar::platform
{

// One argument, quoted, with backslashes doubled only where they precede a
// quote (and before the closing quote).
std::string quoteArgument(const std::string& arg);

} // namespace vexar::platform
