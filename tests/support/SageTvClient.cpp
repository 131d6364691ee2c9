#include "tests/support/SageTvClient.h"

#include <cstdlib>
#include <exception>

namespace vexar
{

namespace
{

constexpr std::chrono::seconds kReadTimeout(15);

bool failed(const std::string& response)
{
    return response == "<closed>" || response == "<timeout>";
}

} // namespace

SageTvClient::SageTvClient(std::uint16_t port, std::chrono::milliseconds idleLimit)
    : m_port(port), m_idleLimit(idleLimit)
{
}

bool SageTvClient::connect()
{
    m_connection.reset();
    try
    {
        m_connection = std::make_unique<TcpClient>(m_port);
    }
    catch (const std::exception&)
    {
        return false;
    }
    ++m_connections;
    if (!m_connection->send("VERSION\r\n"))
        return false;
    const std::string version = m_connection->readLine(kReadTimeout);
    if (failed(version))
        return false;
    m_majorVersion = std::atoi(version.c_str());
    return true;
}

std::optional<std::string> SageTvClient::attempt(const std::string& line)
{
    if (!m_connection && !connect())
    {
        m_connection.reset();
        return std::nullopt;
    }
    std::string response = "<closed>";
    if (m_connection->send(line + "\r\n"))
        response = m_connection->readLine(kReadTimeout);
    if (failed(response))
    {
        m_connection.reset();
        return std::nullopt;
    }
    // An encoder below version 2 closes after each request.
    if (m_majorVersion < 2)
        m_connection.reset();
    return response;
}

std::string SageTvClient::request(const std::string& line)
{
    const auto now = std::chrono::steady_clock::now();
    if (m_connection && now - m_lastRequest > m_idleLimit)
        m_connection.reset();
    m_lastRequest = now;
    std::optional<std::string> response = attempt(line);
    if (!response)
    {
        ++m_retries;
        response = attempt(line);
    }
    return response.value_or("ERROR failed request");
}

} // namespace vexar
