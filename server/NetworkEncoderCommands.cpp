// The command side of the network encoder: what each request does to the
// recorder, its response and its console log.
#include "server/NetworkEncoderServer.h"

#include "recorder/VexarHDRecorder.h"
#include "server/CircularBufferSize.h"
#include "server/Request.h"

#include <filesystem>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace vexar
{

// A logged command's line is made whole before it is written, in one call,
// so that the recording thread's output cannot split it.
void NetworkEncoderServer::logReceived(const std::string& echo)
{
    m_logLine = "Received command: " + echo;
}

void NetworkEncoderServer::logResponded(const std::string& response)
{
    std::cout << std::exchange(m_logLine, {}) + ". Responded: " + response + "\n" << std::flush;
}

std::string NetworkEncoderServer::handleRequest(const std::string& requestLine)
{
    Request request;
    m_logLine.clear();
    try
    {
        request = parseRequest(requestLine);
        return carryOut(request);
    }
    catch (const std::exception& error)
    {
        const std::string response = std::string("Error: ") + error.what();
        std::cout << std::exchange(m_logLine, {}) + ". Exception response (" + request.command +
                         "): " + response + "\n"
                  << std::flush;
        std::cerr << "Exception response (" << request.command << "): " << response << std::endl;
        return response;
    }
}

std::string NetworkEncoderServer::carryOut(const Request& request)
{
    const std::string& command = request.command;
    if (command == "NOOP")
        return "OK";

    if (command == "VERSION")
    {
        const std::string response = "2.1";
        logReceived(requestEcho(request, ""));
        logResponded(response);
        return response;
    }

    if (command == "START" || command == "BUFFER")
    {
        if (request.fileName)
            m_fileName = *request.fileName;
        logReceived(requestEcho(request, m_fileName));
        m_circularBufferSize = 0;
        if (command == "BUFFER")
        {
            // Kept even when the request fails below, for a later SWITCH.
            m_circularBufferSize = parseCircularBufferSize(request.size);
            if (m_circularBufferSize == 0)
                throw std::runtime_error("circularBufferSize " + request.size + " invalid");
        }
        if (m_fileName.empty())
            throw std::runtime_error("fileName blank");
        m_recordingFolders.check(m_fileName); // before a running recording is stopped
        m_recorder.start(request.channel, m_fileName, "", 0,
                         static_cast<std::uint64_t>(m_circularBufferSize));
        logResponded("OK");
        return "OK";
    }

    if (command == "STOP")
    {
        logReceived(requestEcho(request, ""));
        m_circularBufferSize = 0;
        m_fileName.clear();
        m_recorder.setDefaultChannelTimer();
        logResponded("OK");
        return "OK";
    }

    if (command == "SWITCH" || command == "BUFFER_SWITCH")
    {
        if (!m_recorder.isRecording())
            throw std::runtime_error("Not recording");
        const std::string fileName = request.fileName.value_or("");
        // A request that is refused is logged before its error; one that is
        // carried out is logged after the stop, whose own lines come first.
        if (command == "BUFFER_SWITCH")
        {
            m_circularBufferSize = parseCircularBufferSize(request.size);
            if (m_circularBufferSize == 0)
            {
                logReceived(requestEcho(request, fileName));
                throw std::runtime_error("circularBufferSize " + request.size + " invalid");
            }
        }
        // Tested before the running recording is stopped: a request without
        // a target must not end it.
        if (fileName.empty())
        {
            logReceived(requestEcho(request, fileName));
            throw std::runtime_error("fileName blank");
        }
        if (!m_recordingFolders.contains(fileName))
        {
            logReceived(requestEcho(request, fileName));
            m_recordingFolders.check(fileName);
        }
        m_recorder.setDefaultChannelTimer();
        logReceived(requestEcho(request, fileName));
        m_recorder.start(request.channel, fileName, "", 0, static_cast<std::uint64_t>(m_circularBufferSize));
        logResponded("OK");
        return "OK";
    }

    if (command == "GET_SIZE")
    {
        if (!m_recorder.isRecording())
            throw std::runtime_error("Not Recording");
        return std::to_string(m_recorder.bytesWritten());
    }

    if (command == "GET_FILE_SIZE")
    {
        const std::string fileName = request.fileName.value_or("");
        if (fileName.empty())
            throw std::runtime_error("Invalid filename");
        m_recordingFolders.check(fileName);
        // The recording's own file: the bytes written so far, which for a
        // ring file go on growing past its size on disk.
        if (m_recorder.isRecording() && fileName == m_recorder.fileName())
            return std::to_string(m_recorder.bytesWritten());
        std::error_code error;
        const std::uintmax_t size = std::filesystem::file_size(std::filesystem::path(fileName), error);
        if (error)
            throw std::runtime_error("stat returned error code for " + fileName);
        return std::to_string(size);
    }

    if (command == "TUNE" || command == "AUTOTUNE")
    {
        logReceived(requestEcho(request, ""));
        if (request.channel.empty())
            throw std::runtime_error("Invalid channel: " + request.channel);
        if (!m_recorder.isRecording())
            throw std::runtime_error("Not recording");
        m_recorder.changeChannel(request.channel);
        logResponded("OK");
        return "OK";
    }

    if (command == "PROPERTIES")
    {
        const std::string response = properties();
        logReceived(requestEcho(request, ""));
        logResponded(response.substr(0, response.find('\r')) + " properties of encoder " + encoderId());
        return response;
    }

    // SageTV's goodbye after PROPERTIES; that connection is closed already,
    // so it arrives here only on a connection of its own.
    if (command == "QUIT")
        return "OK";

    throw std::runtime_error("Unknown command '" + command + "'");
}

std::string NetworkEncoderServer::properties() const
{
    // SageTV copies these into its configuration as the keys of a capture
    // device, mmc/encoders/ID/KEY=VALUE. It needs the device name and
    // number; the others make it a tuner input that is given channel numbers
    // and records MPEG-2 transport streams.
    const std::pair<const char*, std::string> keys[] = {
        // How SageTV reaches us: the address it used to ask, and our port.
        {"encoding_host", m_connectionAddress + ":" + std::to_string(m_port)},
        // The name SageTV lists the source under, and the device's number
        // under that name (one device per encoder).
        {"video_capture_device_name", m_encoderName},
        {"video_capture_device_num", "0"},
        // Capture abilities: MPEG audio and video already encoded (0x2) by
        // a digital-TV device (0x800), so SageTV takes the stream as it comes.
        {"capture_config", "2050"},
        // The input SageTV selects: crossbar type 100 (digital tuner), the
        // first of its kind.
        {"last_cross_type", "100"},
        {"last_cross_index", "0"},
        // That input's tuning: channel numbers of a cable line-up, which the
        // encoder keys into the box itself.
        {"100/0/tuning_mode", "Cable"},
        // The encoder waits for the box after each channel change
        // (--delayafterchannel) before it records, so SageTV need not.
        {"delay_to_wait_after_tuning", "0"},
        // SageTV stops the encoder between recordings and switches channels
        // with STOP and START rather than a seamless SWITCH.
        {"fast_network_encoder_switch", "false"},
        {"never_stop_encoding", "false"},
    };
    const std::string prefix = "mmc/encoders/" + encoderId() + "/";
    std::string response = std::to_string(std::size(keys));
    for (const auto& [key, value] : keys)
        response += "\r\n" + prefix + key + "=" + value;
    return response;
}

} // namespace vexar
