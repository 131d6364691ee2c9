// A stand-in device for tests of opening and waiting (Linux): a Unix socket
// in a device namespace.
#pragma once

#include <string>
#include <thread>
#include <vector>

namespace vexar
{

// A device interface in a device namespace: a Unix socket that takes every
// open (it answers the open's hello) and then answers nothing, so opening the
// device path succeeds.
class ListeningDevice
{
public:
    explicit ListeningDevice(const std::string& path);
    ~ListeningDevice();
    ListeningDevice(const ListeningDevice&) = delete;
    ListeningDevice& operator=(const ListeningDevice&) = delete;

private:
    void serve();

    int m_fd = -1;
    int m_stop[2] = {-1, -1};
    std::vector<int> m_connections;
    std::thread m_thread;
};

} // namespace vexar
