// The Windows side of ServerTestSupport.h, for the tests against a file-input
// recorder. The device simulator is Linux-only and not built here.
#include "ServerTestSupport.h"

#include <filesystem>
#include <stdexcept>

namespace fs = std::filesystem;

// Made by the test fixture server_make_sample before these tests run.
const std::string& sampleMpts()
{
    static const std::string path = std::string(SERVER_TEST_BINARY_DIR) + "/sample-6s.ts";
    if (!fs::exists(path))
        throw std::runtime_error("the sample stream is missing: " + path);
    return path;
}
