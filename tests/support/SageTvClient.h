// A client that talks to the encoder as SageTV's network-capture code does:
// one connection per encoder, VERSION once on each new connection, later
// requests on the same connection (when the encoder's major version is 2 or
// more), a new connection after idleLimit without a request, and a failed
// request retried once on a new connection before it counts as failed
// ("ERROR failed request"). Loopback only.
#pragma once

#include "tests/support/TcpClient.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace vexar
{

class SageTvClient
{
public:
    explicit SageTvClient(std::uint16_t port, std::chrono::milliseconds idleLimit = std::chrono::seconds(15));

    // The response line, or "ERROR failed request" when the request failed
    // twice.
    std::string request(const std::string& line);
    // The major version the encoder gave on the current connection.
    int majorVersion() const { return m_majorVersion; }
    // Requests resent on a new connection after a failure.
    int retries() const { return m_retries; }
    // Connections made, the first included.
    int connections() const { return m_connections; }
    // Closes the connection, as SageTV does after its idle limit.
    void disconnect() { m_connection.reset(); }

private:
    // Connects and asks VERSION; false when either fails.
    bool connect();
    // One attempt on the current connection; nothing when it failed.
    std::optional<std::string> attempt(const std::string& line);

    std::uint16_t m_port;
    std::chrono::milliseconds m_idleLimit;
    std::unique_ptr<TcpClient> m_connection;
    std::chrono::steady_clock::time_point m_lastRequest;
    int m_majorVersion = 0;
    int m_retries = 0;
    int m_connections = 0;
};

} // namespace vexar
