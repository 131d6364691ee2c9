#include "server/Request.h"

#include "server/RequestReader.h"

namespace vexar
{

Request parseRequest(std::string_view line)
{
    line = line.substr(0, line.find_first_of("\r\n"));
    RequestReader reader(line);
    Request request;
    reader.word(request.command);
    reader.skip();
    const std::string& command = request.command;
    if (command == "START" || command == "BUFFER")
    {
        reader.field(request.device);
        reader.field(request.channel);
        reader.field(request.size);
        std::string fileName;
        if (reader.field(fileName))
            request.fileName = fileName;
        reader.word(request.quality);
    }
    else if (command == "SWITCH" || command == "BUFFER_SWITCH")
    {
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
    else if (command == "TUNE" || command == "AUTOTUNE")
    {
        reader.word(request.channel);
    }
    return request;
}

std::string requestEcho(const Request& request, const std::string& fileName)
{
    const std::string& command = request.command;
    if (command == "START" || command == "BUFFER")
        return command + ' ' + request.device + '|' + request.channel + '|' + request.size + '|' + fileName +
               '|' + request.quality;
    if (command == "SWITCH")
        return command + ' ' + request.channel + '|' + fileName;
    if (command == "BUFFER_SWITCH")
        return command + ' ' + request.channel + '|' + request.size + '|' + fileName;
    if (command == "TUNE" || command == "AUTOTUNE")
        return command + ' ' + request.channel;
    return command;
}

} // namespace vexar
