// The path rules both platforms share, built on the names each one compares.
#include "platform/PathRules.h"

namespace fs = std::filesystem;

namespace vexar::platform
{

bool isBelow(const fs::path& path, const fs::path& folder)
{
    auto p = path.begin();
    for (auto f = folder.begin(); f != folder.end(); ++f, ++p)
        if (p == path.end() || !sameFileName(*p, *f))
            return false;
    return p != path.end();
}

} // namespace vexar::platform
