// One SageTV request line split into its values, before anything is done.
//
// SageTV speaks two forms. Version 2 (the encoder answered VERSION with 2.x):
//   VERSION, NOOP, STOP, GET_SIZE
//   START DEV|CH|T2|FILE|QUAL        BUFFER DEV|CH|SIZE|FILE|QUAL
//   SWITCH CH|FILE                   BUFFER_SWITCH CH|SIZE|FILE
//   TUNE CH, AUTOTUNE CH             GET_FILE_SIZE FILE
// Version 3 names the device first (NAME: the encoder's name, a space and
// SageTV's name of the input) and adds SageTV's upload id (ID, a positive
// number) when SageTV's media server is to take the stream:
//   START NAME|[ID|]CH|T2|FILE|QUAL  BUFFER NAME|[ID|]CH|SIZE|FILE|QUAL
//   SWITCH NAME|[ID|]CH|FILE         BUFFER_SWITCH NAME|[ID|]CH|SIZE|FILE
//   STOP NAME                        TUNE, AUTOTUNE, AUTOSCAN, AUTOINFOSCAN NAME|CH
// and, once SageTV has discovered the encoder, PROPERTIES and QUIT. The two
// forms are told apart by the number of fields; a START or BUFFER without an
// upload id has the same five fields in both, its first one being the name
// only in version 3. DEV, NAME and FILE may contain spaces.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vexar
{

// The shape of a command's values: the request is read and echoed by it,
// and the server goes by it where commands of one shape are handled alike.
enum class RequestForm
{
    plain,        // no values: VERSION, NOOP, GET_SIZE, PROPERTIES, QUIT, unknown words
    recording,    // START, BUFFER
    switching,    // SWITCH
    bufferSwitch, // BUFFER_SWITCH
    fileName,     // GET_FILE_SIZE
    channel,      // TUNE, AUTOTUNE, AUTOSCAN, AUTOINFOSCAN
    stop,         // STOP
};

// The form of the command word; plain for a word that is no command.
RequestForm requestForm(std::string_view command);

struct Request
{
    std::string command;
    RequestForm form = RequestForm::plain;
    // START, BUFFER: the first field (in version 3 the device name); the
    // version 3 forms of the other commands: the device name.
    std::string device;
    // The request has a form only version 3 has, so device names the device
    // the request is meant for.
    bool namesDevice = false;
    std::string uploadId; // version 3: SageTV's media-server upload id, if any
    std::string channel;  // START, BUFFER, SWITCH, BUFFER_SWITCH, TUNE, AUTOTUNE, AUTOSCAN, AUTOINFOSCAN
    std::string size;     // BUFFER, BUFFER_SWITCH: ring size text; START: unused
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

// True when the text holds a control character (below 0x20, or 0x7F).
bool hasControlCharacter(const std::string& text);

// True when a value of the request holds a control character (a NUL, say),
// which no channel, name or path of SageTV's has.
bool hasControlCharacter(const Request& request);

// The text with control characters shown as \xNN, for the console, the log
// file and answers.
std::string printable(const std::string& text);

} // namespace vexar
