// One SageTV request line split into its values, before anything is done.
//
// The forms SageTV sends:
//   VERSION, NOOP, STOP, GET_SIZE
//   START DEV|CH|T2|FILE|QUAL        BUFFER DEV|CH|SIZE|FILE|QUAL
//   SWITCH CH|FILE                   BUFFER_SWITCH CH|SIZE|FILE
//   TUNE CH, AUTOTUNE CH             GET_FILE_SIZE FILE
//   PROPERTIES, QUIT                 (when SageTV has discovered the encoder)
// DEV (its device name) and FILE may contain spaces.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vexar
{

struct Request
{
    std::string command;
    std::string device;  // START, BUFFER: shown in the log only
    std::string channel; // START, BUFFER, SWITCH, BUFFER_SWITCH, TUNE, AUTOTUNE
    std::string size;    // BUFFER, BUFFER_SWITCH: ring size text; START: unused
    // START and BUFFER keep the server's earlier file name when the request
    // ends before its file-name field; every other command reads its own.
    std::optional<std::string> fileName;
    std::string quality; // START, BUFFER: shown in the log only
};

// line: the received bytes before the request's CR LF. A stray CR or LF
// inside it ends the values as the line end would.
Request parseRequest(std::string_view line);

// The request as the console log shows it. fileName: the file name the
// command works with (for START and BUFFER the one kept by the server).
std::string requestEcho(const Request& request, const std::string& fileName);

} // namespace vexar
