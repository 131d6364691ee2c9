#include "server/Request.h"

#include "server/RequestReader.h"

#include <algorithm>
#include <utility>

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

RequestForm requestForm(std::string_view command)
{
    static constexpr std::pair<std::string_view, RequestForm> kForms[] = {
        {"START", RequestForm::recording},        {"BUFFER", RequestForm::recording},
        {"SWITCH", RequestForm::switching},       {"BUFFER_SWITCH", RequestForm::bufferSwitch},
        {"GET_FILE_SIZE", RequestForm::fileName}, {"TUNE", RequestForm::channel},
        {"AUTOTUNE", RequestForm::channel},       {"AUTOSCAN", RequestForm::channel},
        {"AUTOINFOSCAN", RequestForm::channel},   {"STOP", RequestForm::stop},
    };
    for (const auto& [name, form] : kForms)
        if (name == command)
            return form;
    return RequestForm::plain;
}

Request parseRequest(std::string_view line)
{
    line = line.substr(0, line.find_first_of("\r\n"));
    RequestReader reader(line);
    Request request;
    reader.word(request.command);
    reader.skip();
    request.form = requestForm(request.command);
    const std::size_t bars = countBars(reader.remaining());
    switch (request.form)
    {
    case RequestForm::recording:
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
        break;
    }
    case RequestForm::switching:
    case RequestForm::bufferSwitch:
    {
        // Fields before the file name: CH (SWITCH) or CH|SIZE, and in
        // version 3 the name and perhaps an upload id in front.
        const bool hasSize = request.form == RequestForm::bufferSwitch;
        const std::size_t version2Bars = hasSize ? 2 : 1;
        if (bars > version2Bars)
        {
            request.namesDevice = true;
            reader.field(request.device);
            if (bars > version2Bars + 1)
                readUploadId(reader, request);
        }
        reader.field(request.channel);
        if (hasSize)
            reader.field(request.size);
        std::string fileName;
        reader.rest(fileName);
        request.fileName = fileName;
        break;
    }
    case RequestForm::fileName:
    {
        std::string fileName;
        reader.rest(fileName);
        request.fileName = fileName;
        break;
    }
    case RequestForm::channel:
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
        break;
    case RequestForm::stop:
        request.namesDevice = reader.rest(request.device) && !request.device.empty();
        break;
    case RequestForm::plain:
        break;
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
    if (request.namesDevice && request.form != RequestForm::recording)
        prefix = request.device + '|';
    if (!request.uploadId.empty())
        prefix += request.uploadId + '|';
    switch (request.form)
    {
    case RequestForm::recording:
        return command + ' ' + request.device + '|' + prefix + request.channel + '|' + request.size + '|' +
               fileName + '|' + request.quality;
    case RequestForm::switching:
        return command + ' ' + prefix + request.channel + '|' + fileName;
    case RequestForm::bufferSwitch:
        return command + ' ' + prefix + request.channel + '|' + request.size + '|' + fileName;
    case RequestForm::channel:
        return command + ' ' + prefix + request.channel;
    case RequestForm::stop:
        return request.namesDevice ? command + ' ' + request.device : command;
    case RequestForm::fileName:
    case RequestForm::plain:
        break;
    }
    return command;
}

} // namespace vexar
