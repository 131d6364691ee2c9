// The path rules both platforms share, built on the names each one compares.
#include "platform/PathRules.h"

#include <algorithm>

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

bool isBelowAny(const fs::path& path, const std::vector<fs::path>& folders)
{
    return std::any_of(folders.begin(), folders.end(),
                       [&](const fs::path& folder) { return isBelow(path, folder); });
}

} // namespace vexar::platform
