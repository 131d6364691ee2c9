// The SageTV network encoder: a TCP server through which the SageTV host
// starts, stops, switches and retunes recordings and asks for their sizes.
//
// One connection at a time on the calling thread: accept, read one request
// line up to CR LF, carry it out against the recorder, answer one line, close.
// A connection that fails in any way (the peer drops or resets it, sends no
// complete line within the read deadline, sends a line longer than
// maxRequestLine, or cannot be answered) ends only that connection, with one
// line on standard error; the next connection is then served.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
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

    // listen(port), then serveConnection() until stop(). Leaves otherwise
    // only by an error of the listening socket (set-up: "open",
    // "set_option", "bind", "listen").
    void run(std::uint16_t port);
    // Ends run() after the connection being served, if any; from any thread.
    void stop();

    // Opens the listening socket on 0.0.0.0:port with address reuse and
    // resets the kept request state. Port 0 lets the system choose one.
    void listen(std::uint16_t port);
    // The port listened on (the chosen one after listen(0)).
    std::uint16_t localPort() const;
    // Accepts one connection and serves it to its end.
    void serveConnection();

    // Carries out one request. requestLine: the bytes received before CR LF.
    // Returns the response line without its line end; errors become a
    // response beginning "Error: ", none escapes.
    std::string handleRequest(const std::string& requestLine);

private:
    using Socket = boost::asio::ip::tcp::socket;

    // Runs the socket's pending operation until it completes or the deadline
    // passes; then closes the socket, which ends the operation. True when the
    // operation completed in time.
    bool runUntilDeadline(Socket& socket);
    // Reads up to CR LF into line (without the CR LF); false after writing
    // the line that reports why the connection is dropped.
    bool readRequestLine(Socket& socket, std::string& line);
    void writeResponse(Socket& socket, const std::string& response);
    // Carries out the command; throws std::runtime_error with the error text.
    std::string carryOut(const Request& request);
    // The console log of a command: "Received command: " and its echo, then
    // the response (or the exception response) on the same line.
    void logReceived(const std::string& echo);
    void logResponded(const std::string& response);

    VexarHDRecorder& m_recorder;
    std::chrono::milliseconds m_readDeadline;
    boost::asio::io_context m_io;
    boost::asio::ip::tcp::acceptor m_acceptor;

    // Kept from one request to the next. m_circularBufferSize: the ring size
    // SWITCH hands on (0: a plain growing file). m_fileName: the file name of
    // the last START or BUFFER that reached it, emptied by STOP.
    std::int64_t m_circularBufferSize = 0;
    std::string m_fileName;
    std::atomic<bool> m_stopping{false};
    std::string m_logLine; // the command's log line, written whole with its response
};

} // namespace vexar
