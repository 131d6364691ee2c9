#include "server/Request.h"

#include "server/RequestReader.h"

#include <algorithm>

namespace vexar
{

namespace
{

std::size_t countBars(std::string_view text)
{
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '|'));
}

// Reads an upload id when the next field is one: digits only. Anything else
// is left to the reads that follow.
void readUploadId(RequestReader& reader, Request& request)
{
    RequestReader ahead = reader;
    std::string id;
    if (ahead.field(id) && !id.empty() &&
        std::all_of(id.begin(), id.end(), [](char c) { return c >= '0' && c <= '9'; }))
    {
        reader = ahead;
        request.uploadId = id;
    }
}

} // namespace

Request parseRequest(std::string_view line)
{
    line = line.substr(0, line.find_first_of("\r\n"));
    RequestReader reader(line);
    Request request;
    reader.word(request.command);
    reader.skip();
    const std::size_t bars = countBars(reader.remaining());
    const std::string& command = request.command;
    if (command == "START" || command == "BUFFER")
    {
        reader.field(request.device);
        if (bars >= 5)
        {
            readUploadId(reader, request);
            request.namesDevice = !request.uploadId.empty();
        }
        reader.field(request.channel);
        reader.field(request.size);
        std::string fileName;
        if (reader.field(fileName))
            request.fileName = fileName;
        reader.word(request.quality);
    }
    else if (command == "SWITCH" || command == "BUFFER_SWITCH")
    {
        // Fields before the file name: CH (SWITCH) or CH|SIZE, and in
        // version 3 the name and perhaps an upload id in front.
        const std::size_t version2Bars = command == "SWITCH" ? 1 : 2;
        if (bars > version2Bars)
        {
            request.namesDevice = true;
            reader.field(request.device);
            if (bars > version2Bars + 1)
                readUploadId(reader, request);
        }
        reader.field(request.channel);
        if (command == "BUFFER_SWITCH")
            reader.field(request.size);
        std::string fileName;
        reader.rest(fileName);
        request.fileName = fileName;
    }
    else if (command == "GET_FILE_SIZE")
    {
        std::string fileName;
        reader.rest(fileName);
        request.fileName = fileName;
    }
    else if (command == "TUNE" || command == "AUTOTUNE" || command == "AUTOSCAN" || command == "AUTOINFOSCAN")
    {
        if (bars > 0)
        {
            request.namesDevice = true;
            reader.field(request.device);
            reader.field(request.channel);
        }
        else
        {
            reader.word(request.channel);
        }
    }
    else if (command == "STOP")
    {
        request.namesDevice = reader.rest(request.device) && !request.device.empty();
    }
    return request;
}

namespace
{

bool isControl(char c)
{
    const auto b = static_cast<unsigned char>(c);
    return b < 0x20 || b == 0x7F;
}

} // namespace

bool hasControlCharacter(const std::string& text)
{
    return std::any_of(text.begin(), text.end(), isControl);
}

bool hasControlCharacter(const Request& request)
{
    return hasControlCharacter(request.command) || hasControlCharacter(request.device) ||
           hasControlCharacter(request.uploadId) || hasControlCharacter(request.channel) ||
           hasControlCharacter(request.size) || hasControlCharacter(request.fileName.value_or("")) ||
           hasControlCharacter(request.quality);
}

std::string printable(const std::string& text)
{
    if (!hasControlCharacter(text))
        return text;
    std::string shown;
    for (const char c : text)
    {
        if (!isControl(c))
        {
            shown += c;
            continue;
        }
        static const char kDigits[] = "0123456789abcdef";
        const auto b = static_cast<unsigned char>(c);
        shown += "\\x";
        shown += kDigits[b >> 4];
        shown += kDigits[b & 15];
    }
    return shown;
}

std::string requestEcho(const Request& request, const std::string& fileName)
{
    const std::string& command = request.command;
    // The version 3 name and upload id, as they came.
    std::string prefix;
    if (request.namesDevice && command != "START" && command != "BUFFER")
        prefix = request.device + '|';
    if (!request.uploadId.empty())
        prefix += request.uploadId + '|';
    if (command == "START" || command == "BUFFER")
        return command + ' ' + request.device + '|' + prefix + request.channel + '|' + request.size + '|' +
               fileName + '|' + request.quality;
    if (command == "SWITCH")
        return command + ' ' + prefix + request.channel + '|' + fileName;
    if (command == "BUFFER_SWITCH")
        return command + ' ' + prefix + request.channel + '|' + request.size + '|' + fileName;
    if (command == "TUNE" || command == "AUTOTUNE" || command == "AUTOSCAN" || command == "AUTOINFOSCAN")
        return command + ' ' + prefix + request.channel;
    if (command == "STOP" && request.namesDevice)
        return command + ' ' + request.device;
    return command;
}

} // namespace vexar
