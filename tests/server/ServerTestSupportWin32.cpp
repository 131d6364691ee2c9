// The Windows side of ServerTestSupport.h, for the tests against a file-input
// recorder. The device simulator is Linux-only and not built here.
#include "ServerTestSupport.h"

#include <filesystem>
#include <stdexcept>

namespace vexar
{

// Made by the test fixture sample_mpts before these tests run.
const std::string& sampleMpts()
{
    static const std::string path = VEXARHD_SAMPLE_MPTS;
    if (!std::filesystem::exists(path))
        throw std::runtime_error("the sample stream is missing: " + path);
    return path;
}

} // namespace vexar
