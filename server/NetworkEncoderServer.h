// The SageTV network encoder: a TCP server through which the SageTV host
// starts, stops, switches and retunes recordings and asks for their sizes.
//
// One connection at a time on the calling thread: accept, read one request
// line up to CR LF, carry it out against the recorder, answer one line, close.
// A connection that fails in any way (the peer drops or resets it, sends no
// complete line within the read deadline, sends a line longer than
// maxRequestLine, or cannot be answered) ends only that connection, with one
// line on standard error; the next connection is then served. So is a
// connection from an address the allow-list refuses, before any byte of it is
// read.
//
// The discovery listener, when opened, shares the server's io_context: its
// probes are answered whenever the server waits on a socket.
#pragma once

#include "server/AddressAllowList.h"
#include "server/DiscoveryListener.h"
#include "server/RecordingFolders.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vexar
{

class VexarHDRecorder;
struct Request;

class NetworkEncoderServer
{
public:
    // Longest request line taken, its CR LF not counted.
    static constexpr std::size_t maxRequestLine = 65536;

    // readDeadline: how long a connection may take to deliver its line (and,
    // again, to take the response). The recorder must outlive the server.
    explicit NetworkEncoderServer(VexarHDRecorder& recorder,
                                  std::chrono::milliseconds readDeadline = std::chrono::seconds(15));
    NetworkEncoderServer(const NetworkEncoderServer&) = delete;
    NetworkEncoderServer& operator=(const NetworkEncoderServer&) = delete;

    // The name SageTV shows for the encoder when none is given:
    // "VexarHD " and the serial number, "VexarHD file" without a device.
    static std::string defaultEncoderName(const std::string& serialNumber);
    // How the encoder presents itself to SageTV (discovery and PROPERTIES).
    // Until called: the name "VexarHD file" and no serial number.
    void describeEncoder(const std::string& serialNumber, const std::string& name);
    // Who may connect and send probes; until called, every address.
    void setAllowList(const AddressAllowList& allowList) { m_allowList = allowList; }
    // Where START, BUFFER, SWITCH, BUFFER_SWITCH may write and GET_FILE_SIZE
    // may look; until called, anywhere.
    void setRecordingFolders(const RecordingFolders& folders) { m_recordingFolders = folders; }

    // listen(port), listenForDiscovery(discoveryPort) unless it is 0, then
    // serveConnection() until stop(). A discovery port that cannot be opened
    // leaves the server without discovery, with one line on standard error.
    // Leaves otherwise only by an error of the listening socket (set-up:
    // "open", "set_option", "bind", "listen").
    void run(std::uint16_t port, std::uint16_t discoveryPort = 0);
    // Ends run() after the connection being served, if any; from any thread.
    void stop();

    // Opens the listening socket on 0.0.0.0:port with address reuse and
    // resets the kept request state. Port 0 lets the system choose one.
    void listen(std::uint16_t port);
    // The port listened on (the chosen one after listen(0)).
    std::uint16_t localPort() const;
    // After listen(): answers SageTV's discovery probes on address:port
    // (port 0: one the system chooses) with the server's port. Throws the
    // failing step's system error.
    void listenForDiscovery(std::uint16_t port,
                            const boost::asio::ip::address& address = boost::asio::ip::address_v4::any());
    // The discovery port (the chosen one after listenForDiscovery(0)).
    std::uint16_t discoveryPort() const;
    // The encoder's id in the PROPERTIES keys: a number made from the serial
    // number and the server's port, the same from one run to the next.
    std::string encoderId() const;
    // Accepts one connection and serves it to its end.
    void serveConnection();

    // Carries out one request. requestLine: the bytes received before CR LF.
    // Returns the response line without its line end; errors become a
    // response beginning "Error: ", none escapes.
    std::string handleRequest(const std::string& requestLine);

private:
    using Socket = boost::asio::ip::tcp::socket;

    // Runs the io_context's handlers (the discovery listener's among them)
    // until done is set by the awaited operation's handler, or until the
    // deadline passes. True when done.
    bool runUntil(const bool& done, std::optional<std::chrono::steady_clock::time_point> deadline);
    // Runs the socket's pending operation until it completes or the deadline
    // passes; then closes the socket, which ends the operation. True when the
    // operation completed in time.
    bool runUntilDeadline(Socket& socket, const bool& done);
    // Reads up to CR LF into line (without the CR LF); false after writing
    // the line that reports why the connection is dropped.
    bool readRequestLine(Socket& socket, std::string& line);
    void writeResponse(Socket& socket, const std::string& response);
    // Carries out the command; throws std::runtime_error with the error text.
    std::string carryOut(const Request& request);
    // The PROPERTIES answer: the count line, then the encoder's keys.
    std::string properties() const;
    // The console log of a command: "Received command: " and its echo, then
    // the response (or the exception response) on the same line.
    void logReceived(const std::string& echo);
    void logResponded(const std::string& response);

    VexarHDRecorder& m_recorder;
    std::chrono::milliseconds m_readDeadline;
    boost::asio::io_context m_io;
    boost::asio::ip::tcp::acceptor m_acceptor;
    std::uint16_t m_port = 0;
    AddressAllowList m_allowList; // before the listener, which refers to it
    RecordingFolders m_recordingFolders;
    std::optional<DiscoveryListener> m_discovery;
    std::string m_serialNumber;
    std::string m_encoderName = defaultEncoderName("");
    // The local address of the connection being served: the address SageTV
    // reached us at, which PROPERTIES hands back as encoding_host.
    std::string m_connectionAddress = "127.0.0.1";

    // Kept from one request to the next. m_circularBufferSize: the ring size
    // SWITCH hands on (0: a plain growing file). m_fileName: the file name of
    // the last START or BUFFER that reached it, emptied by STOP.
    std::int64_t m_circularBufferSize = 0;
    std::string m_fileName;
    std::atomic<bool> m_stopping{false};
    std::string m_logLine; // the command's log line, written whole with its response
};

} // namespace vexar
