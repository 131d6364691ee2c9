// The command side of the network encoder: what each request does to the
// recorder, its response and its console log.
#include "server/NetworkEncoderServer.h"

#include "recorder/VexarHDRecorder.h"
#include "server/CircularBufferSize.h"
#include "server/EncoderProperties.h"
#include "server/Request.h"

#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace vexar
{

// A logged command's line is made whole before it is written, in one call,
// so that the recording thread's output cannot split it.
void NetworkEncoderServer::logReceived(const std::string& echo)
{
    m_logLine = "Received command: " + printable(echo);
}

void NetworkEncoderServer::logResponded(const std::string& response)
{
    std::cout << std::exchange(m_logLine, {}) + ". Responded: " + printable(response) + "\n" << std::flush;
}

namespace
{

// The smallest ring a BUFFER may ask for: SageTV asks for hundreds of MB, and
// a tiny ring would only churn chunks.
constexpr std::int64_t kMinimumRingSize = 1 << 20;

// The ring size of a BUFFER or BUFFER_SWITCH; throws when it is too small
// or no number.
std::int64_t ringSize(const Request& request)
{
    const std::int64_t size = parseCircularBufferSize(request.size);
    if (size < kMinimumRingSize)
        throw std::runtime_error("circularBufferSize " + request.size + " invalid");
    return size;
}

} // namespace

const std::map<std::string, NetworkEncoderServer::Handler, std::less<>>& NetworkEncoderServer::commands()
{
    static const std::map<std::string, Handler, std::less<>> table = {
        {"NOOP", &NetworkEncoderServer::noop},
        {"VERSION", &NetworkEncoderServer::version},
        {"START", &NetworkEncoderServer::startRecording},
        {"BUFFER", &NetworkEncoderServer::startRecording},
        {"STOP", &NetworkEncoderServer::stopRecording},
        {"SWITCH", &NetworkEncoderServer::switchRecording},
        {"BUFFER_SWITCH", &NetworkEncoderServer::switchRecording},
        {"GET_SIZE", &NetworkEncoderServer::recordingSize},
        {"GET_FILE_SIZE", &NetworkEncoderServer::fileSize},
        {"TUNE", &NetworkEncoderServer::tune},
        {"AUTOTUNE", &NetworkEncoderServer::tune},
        {"AUTOSCAN", &NetworkEncoderServer::scanChannel},
        {"AUTOINFOSCAN", &NetworkEncoderServer::scanChannelInfo},
        {"PROPERTIES", &NetworkEncoderServer::properties},
        {"QUIT", &NetworkEncoderServer::quit},
    };
    return table;
}

std::string NetworkEncoderServer::handleRequest(const std::string& requestLine)
{
    Peer peer;
    return handleRequest(requestLine, peer);
}

std::string NetworkEncoderServer::handleRequest(const std::string& requestLine, Peer& peer)
{
    Request request;
    m_logLine.clear();
    try
    {
        request = parseRequest(requestLine);
        // Refused before anything is done: a NUL would end a path where the
        // system reads it, after the folders were checked on all of it.
        if (hasControlCharacter(request))
        {
            logReceived(requestEcho(request, request.fileName.value_or("")));
            throw std::runtime_error("Control character in request");
        }
        const auto found = commands().find(request.command);
        if (found == commands().end())
            throw std::runtime_error("Unknown command '" + request.command + "'");
        return (this->*found->second)(request, peer);
    }
    catch (const std::exception& error)
    {
        // A message may hold the request's own bytes (an unknown command
        // word): shown escaped, and never a line end in the answer.
        const std::string response = printable(std::string("Error: ") + error.what());
        const std::string command = printable(request.command);
        std::cout << std::exchange(m_logLine, {}) + ". Exception response (" + command + "): " + response +
                         "\n"
                  << std::flush;
        std::cerr << "Exception response (" + command + "): " + response + "\n" << std::flush;
        return response;
    }
}

void NetworkEncoderServer::checkDevice(const Request& request, const Peer& peer) const
{
    const bool named = request.namesDevice || (peer.speaksVersion3 && request.form == RequestForm::recording);
    if (!named)
        return;
    const std::string& name = request.device;
    if (name == m_encoderName || name.compare(0, m_encoderName.size() + 1, m_encoderName + " ") == 0)
        return;
    throw std::runtime_error("Unknown device '" + name + "'");
}

std::optional<UploadTarget> NetworkEncoderServer::uploadTarget(const Request& request, const Peer& peer) const
{
    if (request.uploadId.empty() || m_uploadMode == UploadMode::never)
    {
        if (m_uploadMode == UploadMode::always)
            throw std::runtime_error("No upload id: recordings go through SageTV's media server only");
        return std::nullopt;
    }
    // Only to the machine that sent the command.
    return UploadTarget{peer.remoteAddress.to_string(), m_mediaServerPort, request.uploadId};
}

void NetworkEncoderServer::checkFolder(const std::string& fileName,
                                       const std::optional<UploadTarget>& upload) const
{
    if (!upload)
        m_recordingFolders.check(fileName);
}

bool NetworkEncoderServer::isKnownChannel(const std::string& channel) const
{
    return m_program > 0 || m_recorder.channelMap().count(channel) != 0;
}

std::string NetworkEncoderServer::noop(const Request&, Peer&)
{
    return "OK";
}

std::string NetworkEncoderServer::version(const Request& request, Peer& peer)
{
    // Version 3: requests name the device, and SageTV keeps the connection.
    const std::string response = "3.0";
    peer.speaksVersion3 = true;
    logReceived(requestEcho(request, ""));
    logResponded(response);
    return response;
}

std::string NetworkEncoderServer::startRecording(const Request& request, Peer& peer)
{
    // Nothing is kept until the request is carried out: a refused one
    // leaves the file name and ring size as they were.
    const std::string fileName = request.fileName.value_or(m_fileName);
    logReceived(requestEcho(request, fileName));
    checkDevice(request, peer);
    std::int64_t circularBufferSize = 0;
    if (request.command == "BUFFER")
        circularBufferSize = ringSize(request);
    if (fileName.empty())
        throw std::runtime_error("fileName blank");
    const std::optional<UploadTarget> upload = uploadTarget(request, peer);
    checkFolder(fileName, upload); // before a running recording is stopped
    m_recorder.start(request.channel, fileName, "", m_program, static_cast<std::uint64_t>(circularBufferSize),
                     upload);
    m_fileName = fileName;
    m_circularBufferSize = circularBufferSize;
    logResponded("OK");
    return "OK";
}

std::string NetworkEncoderServer::stopRecording(const Request& request, Peer& peer)
{
    logReceived(requestEcho(request, ""));
    checkDevice(request, peer);
    m_recorder.setDefaultChannelTimer();
    m_circularBufferSize = 0;
    m_fileName.clear();
    logResponded("OK");
    return "OK";
}

std::string NetworkEncoderServer::switchRecording(const Request& request, Peer& peer)
{
    const std::string fileName = request.fileName.value_or("");
    // A request that is refused is logged before its error; one that is
    // carried out is logged after the stop, whose own lines come first.
    if (!m_recorder.isRecording())
        throw std::runtime_error("Not recording");
    std::int64_t circularBufferSize = m_circularBufferSize;
    std::optional<UploadTarget> upload;
    try
    {
        checkDevice(request, peer);
        if (request.form == RequestForm::bufferSwitch)
            circularBufferSize = ringSize(request);
        // Tested before the running recording is stopped: a request without
        // a target must not end it.
        if (fileName.empty())
            throw std::runtime_error("fileName blank");
        upload = uploadTarget(request, peer);
        checkFolder(fileName, upload);
    }
    catch (const std::exception&)
    {
        logReceived(requestEcho(request, fileName));
        throw;
    }
    if (request.channel == m_recorder.channel())
    {
        // The same channel: the stream goes on, into the new file from the
        // next picture on.
        logReceived(requestEcho(request, fileName));
        m_recorder.switchFile(fileName, static_cast<std::uint64_t>(circularBufferSize), upload);
    }
    else
    {
        m_recorder.setDefaultChannelTimer();
        logReceived(requestEcho(request, fileName));
        m_recorder.start(request.channel, fileName, "", m_program,
                         static_cast<std::uint64_t>(circularBufferSize), upload);
    }
    m_circularBufferSize = circularBufferSize;
    logResponded("OK");
    return "OK";
}

std::string NetworkEncoderServer::recordingSize(const Request&, Peer&)
{
    if (!m_recorder.isRecording())
        throw std::runtime_error("Not Recording");
    return std::to_string(m_recorder.bytesWritten());
}

std::string NetworkEncoderServer::fileSize(const Request& request, Peer&)
{
    const std::string fileName = request.fileName.value_or("");
    if (fileName.empty())
        throw std::runtime_error("Invalid filename");
    // A file being recorded or still being written out: the bytes written
    // so far, which for a ring file go on growing past its size on disk. An
    // upload's file lies on SageTV's machine: the recorder keeps its size.
    if (const std::optional<std::uint64_t> written = m_recorder.bytesWrittenTo(fileName))
        return std::to_string(*written);
    m_recordingFolders.check(fileName);
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(std::filesystem::path(fileName), error);
    if (error)
        throw std::runtime_error("stat returned error code for " + fileName);
    return std::to_string(size);
}

std::string NetworkEncoderServer::tune(const Request& request, Peer& peer)
{
    logReceived(requestEcho(request, ""));
    if (request.channel.empty())
        throw std::runtime_error("Invalid channel: " + request.channel);
    checkDevice(request, peer);
    if (m_recorder.isRecording())
    {
        m_recorder.changeChannel(request.channel);
    }
    else if (!isKnownChannel(request.channel))
    {
        // SageTV's channel scan: without a recording, a tune only tells
        // whether the channel can be recorded; the box is left alone.
        throw std::runtime_error("No program for channel " + request.channel);
    }
    logResponded("OK");
    return "OK";
}

std::string NetworkEncoderServer::scanChannel(const Request& request, Peer& peer)
{
    logReceived(requestEcho(request, ""));
    if (request.channel.empty())
        throw std::runtime_error("Invalid channel: " + request.channel);
    checkDevice(request, peer);
    if (!isKnownChannel(request.channel))
        throw std::runtime_error("No program for channel " + request.channel);
    logResponded("OK");
    return "OK";
}

std::string NetworkEncoderServer::scanChannelInfo(const Request& request, Peer& peer)
{
    logReceived(requestEcho(request, ""));
    checkDevice(request, peer);
    // SageTV's digital channel-info answer: one program found on the
    // channel, or none (an empty line).
    const std::string response = !request.channel.empty() && isKnownChannel(request.channel) ? "1" : "";
    logResponded(response);
    return response;
}

std::string NetworkEncoderServer::properties(const Request& request, Peer& peer)
{
    const std::string response =
        encoderProperties(encoderId(), m_encoderName, peer.localAddress + ":" + std::to_string(m_port));
    logReceived(requestEcho(request, ""));
    logResponded(response.substr(0, response.find('\r')) + " properties of encoder " + encoderId());
    return response;
}

std::string NetworkEncoderServer::quit(const Request&, Peer& peer)
{
    // SageTV's goodbye after PROPERTIES: the connection ends after the answer.
    peer.closeAfterAnswer = true;
    return "OK";
}

} // namespace vexar
