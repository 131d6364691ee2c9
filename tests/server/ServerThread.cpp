// The parts of the server tests' support that do not depend on the platform:
// file sizes, one request over its own connection, a server on a thread of
// its own, and the simulated device.
#include "tests/server/ServerTestSupport.h"

#include <exception>
#include <filesystem>
#include <string>

namespace vexar
{

std::uint64_t fileSize(const std::string& path)
{
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    return error ? 0 : size;
}

std::string askServer(std::uint16_t port, const std::string& requestLine)
{
    TcpClient client(port);
    client.send(requestLine + "\r\n");
    return client.readLine();
}

DeviceSimulator::DeviceSimulator(std::uint64_t rateBitsPerSecond)
    : m_process(m_dir, {"--channel", "702=" + sampleMpts(), "--channel", "703=" + sampleMpts(), "--rate",
                        std::to_string(rateBitsPerSecond)})
{
}

// ---- ServerThread --------------------------------------------------------------

ServerThread::ServerThread(VexarHDRecorder& recorder, std::chrono::milliseconds readDeadline)
    : m_server(recorder, readDeadline)
{
    m_server.listen(0);
    m_port = m_server.localPort();
    m_thread = std::thread(
        [this]
        {
            while (!m_stop)
            {
                m_server.serveConnection();
                ++m_served;
            }
        });
}

ServerThread::~ServerThread()
{
    m_stop = true;
    // One last request wakes the server if it waits in accept. The server may
    // as well have seen the stop already, so nobody waits for the answer.
    try
    {
        TcpClient(m_port).send("NOOP\r\n");
    }
    catch (const std::exception&)
    {
    }
    m_thread.join();
}

} // namespace vexar
