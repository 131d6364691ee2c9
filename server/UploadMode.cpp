#include "server/UploadMode.h"

#include <stdexcept>

namespace vexar
{

UploadMode parseUploadMode(const std::string& text)
{
    if (text == "auto")
        return UploadMode::automatic;
    if (text == "always")
        return UploadMode::always;
    if (text == "never")
        return UploadMode::never;
    throw std::runtime_error("--upload must be auto, always or never, not '" + text + "'");
}

} // namespace vexar
