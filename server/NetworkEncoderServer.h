// The SageTV network encoder: a TCP server through which the SageTV host
// starts, stops, switches and retunes recordings and asks for their sizes.
//
// SageTV keeps one connection per encoder open and sends its requests on it,
// one line each, reconnecting when it has been idle for 15 s. The server
// therefore serves connections side by side on one thread (an io_context
// that the calling thread runs): each is a Connection that answers its lines
// in order until the client closes it, until it has been idle for idleLimit,
// or until a line once begun has not ended within lineDeadline. Commands are
// carried out one at a time, in the order their lines arrived, since every
// handler runs on that one thread; an idle or slow client holds up nobody.
//
// A connection that fails in any way (the peer drops or resets it mid-line,
// sends no complete line in time, sends a line longer than kMaxRequestLine,
// or does not take its answer) ends only that connection, with one line on
// standard error. So does a connection from an address the allow-list
// refuses, before any byte of it is read, and one beyond kMaxConnections.
//
// The discovery listener, when opened, shares the server's io_context.
#pragma once

#include "recorder/MediaServerUpload.h"
#include "server/AddressAllowList.h"
#include "server/DiscoveryListener.h"
#include "server/RecordingFolders.h"
#include "server/UploadMode.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vexar
{

class Connection;
class VexarHDRecorder;
struct Request;

// What a command knows of the connection it came on.
struct Peer
{
    // The local address the client reached us at (PROPERTIES hands it back).
    std::string localAddress = "127.0.0.1";
    // The client's address (an upload goes back to it).
    boost::asio::ip::address remoteAddress = boost::asio::ip::address_v4::loopback();
    // The client asked VERSION on this connection and was told 3.0, so its
    // requests come in version 3's forms, the device name first.
    bool speaksVersion3 = false;
    // QUIT: the connection ends once the answer is out.
    bool closeAfterAnswer = false;
};

class NetworkEncoderServer
{
public:
    // Longest request line taken, its CR LF not counted.
    static constexpr std::size_t kMaxRequestLine = 65536;
    // Connections served at once; one more is closed at once.
    static constexpr std::size_t kMaxConnections = 32;

    // lineDeadline: how long a begun request line may take to end, and an
    // answer to be taken. idleLimit: how long a connection may wait between
    // requests. The recorder must outlive the server.
    explicit NetworkEncoderServer(VexarHDRecorder& recorder,
                                  std::chrono::milliseconds lineDeadline = std::chrono::seconds(15),
                                  std::chrono::milliseconds idleLimit = std::chrono::seconds(60));
    ~NetworkEncoderServer();
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
    void setRecordingFolders(const RecordingFolders& folders);
    // The program every recording takes (--program); 0: the channel map's.
    void setProgram(std::int32_t program) { m_program = program; }
    // When recordings go to SageTV's media server, and its port there.
    void setUploads(UploadMode mode, std::uint16_t mediaServerPort)
    {
        m_uploadMode = mode;
        m_mediaServerPort = mediaServerPort;
    }

    // listen(port), listenForDiscovery(discoveryPort) unless it is 0, then
    // serve(). A discovery port that cannot be opened leaves the server
    // without discovery, with one line on standard error. Leaves otherwise
    // only by an error of the listening socket (set-up: "open",
    // "set_option", "bind", "listen").
    void run(std::uint16_t port, std::uint16_t discoveryPort = 0);
    // Ends serve() once the command being carried out, if any, is done;
    // every connection is closed. From any thread.
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
    // After listen(): accepts and serves connections until stop().
    void serve();
    // Connections that have ended, however they ended (for tests).
    std::uint64_t connectionsEnded() const { return m_connectionsEnded.load(); }

    // Carries out one request. requestLine: the bytes received before CR LF.
    // Returns the response line without its line end; errors become a
    // response beginning "Error: ", none escapes.
    std::string handleRequest(const std::string& requestLine, Peer& peer);
    std::string handleRequest(const std::string& requestLine);

private:
    friend class Connection;
    using Handler = std::string (NetworkEncoderServer::*)(const Request&, Peer&);

    void accept();
    void connectionEnded(Connection* connection);

    // The commands, one handler each; each throws std::runtime_error with
    // the error text.
    static const std::map<std::string, Handler, std::less<>>& commands();
    std::string noop(const Request& request, Peer& peer);
    std::string version(const Request& request, Peer& peer);
    std::string startRecording(const Request& request, Peer& peer);
    std::string stopRecording(const Request& request, Peer& peer);
    std::string switchRecording(const Request& request, Peer& peer);
    std::string recordingSize(const Request& request, Peer& peer);
    std::string fileSize(const Request& request, Peer& peer);
    std::string tune(const Request& request, Peer& peer);
    std::string scanChannel(const Request& request, Peer& peer);
    std::string scanChannelInfo(const Request& request, Peer& peer);
    std::string properties(const Request& request, Peer& peer);
    std::string quit(const Request& request, Peer& peer);

    // Where the request's file goes: SageTV's media server when it gave an
    // upload id (unless --upload never); nothing for a local file. Throws
    // for a request without an id under --upload always.
    std::optional<UploadTarget> uploadTarget(const Request& request, const Peer& peer) const;
    // Throws unless a local file may be written there (--recordingdirs);
    // uploads are SageTV's own files.
    void checkFolder(const std::string& fileName, const std::optional<UploadTarget>& upload) const;
    // Throws unless the request is meant for this encoder: a version 3 name
    // must be this encoder's name, alone or followed by a space and the
    // input's name.
    void checkDevice(const Request& request, const Peer& peer) const;
    // True when a recording of the channel can be made: the channel map
    // gives it a program, or --program names one for every channel.
    bool isKnownChannel(const std::string& channel) const;
    // The console log of a command: "Received command: " and its echo, then
    // the response (or the exception response) on the same line.
    void logReceived(const std::string& echo);
    void logResponded(const std::string& response);

    VexarHDRecorder& m_recorder;
    std::chrono::milliseconds m_lineDeadline;
    std::chrono::milliseconds m_idleLimit;
    boost::asio::io_context m_io;
    boost::asio::ip::tcp::acceptor m_acceptor;
    std::uint16_t m_port = 0;
    AddressAllowList m_allowList; // before the listener, which refers to it
    RecordingFolders m_recordingFolders;
    std::optional<DiscoveryListener> m_discovery;
    std::string m_serialNumber;
    std::string m_encoderName = defaultEncoderName("");
    std::int32_t m_program = 0;
    UploadMode m_uploadMode = UploadMode::automatic;
    std::uint16_t m_mediaServerPort = 7818;
    // The connections being served; each removes itself when it ends.
    std::map<Connection*, std::shared_ptr<Connection>> m_connections;
    std::atomic<std::uint64_t> m_connectionsEnded{0};

    // Kept from one request to the next. m_circularBufferSize: the ring size
    // SWITCH hands on (0: a plain growing file). m_fileName: the file name of
    // the last START or BUFFER that reached it, emptied by STOP.
    std::int64_t m_circularBufferSize = 0;
    std::string m_fileName;
    std::atomic<bool> m_stopping{false};
    std::string m_logLine; // the command's log line, written whole with its response
};

} // namespace vexar
