// When a recording goes to SageTV's media server instead of a local file.
#pragma once

#include <string>

namespace vexar
{

enum class UploadMode
{
    automatic, // whenever SageTV gives an upload id
    always,    // only through the media server: a request without an id is refused
    never,     // always the local path, as SageTV names it
};

// "auto", "always" or "never"; throws std::runtime_error for anything else.
UploadMode parseUploadMode(const std::string& text);

} // namespace vexar
