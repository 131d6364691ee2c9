// What the server tests share: a sample multiplex, a server on its own
// thread, one-shot requests, the simulated device and, on Linux, a recorder
// on it; with the temporary folders, console capture and loopback client of
// every folder.
#pragma once

#include "tests/support/ConsoleCapture.h"
#include "tests/support/SimulatorProcess.h"
#include "tests/support/TcpClient.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaitFor.h"

#include "server/NetworkEncoderServer.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace vexar
{

class VexarHDRecorder;

// A three-programme MPTS made once with ffmpeg and kept in the build tree.
const std::string& sampleMpts();

// One request on a new connection, as SageTV sends it; the response line.
std::string askServer(std::uint16_t port, const std::string& requestLine);

// A server listening on a free port, serving on its own thread. setUp runs
// after listen() and before the thread starts (to open discovery, say).
// A recorder whose input is the sample multiplex file, with the channel map
// dir/map.txt (which the caller writes). Throws when the sample cannot be opened.
std::unique_ptr<VexarHDRecorder> makeFileRecorder(const TempDir& dir);

class ServerThread
{
public:
    explicit ServerThread(VexarHDRecorder& recorder,
                          std::chrono::milliseconds lineDeadline = std::chrono::seconds(15),
                          const std::function<void(NetworkEncoderServer&)>& setUp = {},
                          std::chrono::milliseconds idleLimit = std::chrono::seconds(60));
    ~ServerThread();
    ServerThread(const ServerThread&) = delete;
    ServerThread& operator=(const ServerThread&) = delete;
    std::uint16_t port() const { return m_port; }
    std::uint16_t discoveryPort() const { return m_discoveryPort; }
    // Connections that have ended, however they ended.
    std::uint64_t served() const { return m_server.connectionsEnded(); }

private:
    NetworkEncoderServer m_server;
    std::uint16_t m_port = 0;
    std::uint16_t m_discoveryPort = 0;
    std::thread m_thread;
};

// SageTV's discovery probe: "STN", version 4.1.0, zeros to 32 bytes.
std::string sageTvProbe();

// A UDP socket on a loopback address that sends datagrams by unicast to one
// loopback address and collects what comes back, every wait bounded.
class DiscoveryClient
{
public:
    explicit DiscoveryClient(const std::string& from = "127.0.0.1");
    void send(const std::string& bytes, std::uint16_t port, const std::string& address = "127.0.0.1");
    // Every datagram received within the time.
    std::vector<std::string> receive(std::chrono::milliseconds time = std::chrono::milliseconds(500));
    // The first datagram, waiting at most timeout; "<timeout>" without one.
    std::string receiveOne(std::chrono::milliseconds timeout = std::chrono::seconds(5));

private:
    boost::asio::io_context m_io;
    boost::asio::ip::udp::socket m_socket;
};

// Waits until the recording has ended by itself and its files are written out.
bool recordingEnds(VexarHDRecorder& recorder);

// The device simulator with a line-up of the sample stream on channels 702
// and 703, paced at rateBitsPerSecond.
class DeviceSimulator
{
public:
    explicit DeviceSimulator(std::uint64_t rateBitsPerSecond);
    const std::string& deviceDir() const { return m_process.namespaceDir(); }
    std::string log() const { return m_process.log(); }

private:
    TempDir m_dir;
    SimulatorProcess m_process;
};

#ifndef _WIN32
// A recorder on the simulated device, with the box's delays shortened and
// the map "702 2", "703 3". The simulator must outlive it.
std::unique_ptr<VexarHDRecorder> makeDeviceRecorder(const DeviceSimulator& simulator, const TempDir& dir);
#endif

} // namespace vexar
