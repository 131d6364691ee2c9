#include "recorder/DeviceSession.h"

#include "device/DeviceDiscovery.h"
#include "device/DeviceError.h"

#include <iostream>

namespace vexar
{

DeviceSession::DeviceSession(UniqueHandle input, bool inputIsFile, std::int32_t deviceNumber)
    : m_device(std::move(input)), m_deviceNumber(deviceNumber), m_inputIsFile(inputIsFile),
      m_ring(m_device.get(), inputIsFile)
{
}

void DeviceSession::startControl(HANDLE stopEvent)
{
    m_stopEvent = stopEvent;
    startController();
    m_serialNumber = m_controller->serialNumber();
}

void DeviceSession::startController()
{
    m_controller = std::make_unique<VexarControl>(m_device.get(), "motorola_dct", m_stopEvent);
}

void DeviceSession::failed(const std::exception& error)
{
    if (m_deviceNumber < 0 || m_failed.exchange(true))
        return; // a device without a number cannot be opened again
    std::cerr << "VexarHDRecorder: device " << m_deviceNumber << " failed (" << error.what()
              << "); it is opened again before it is used" << std::endl;
}

void DeviceSession::reopen()
{
    // Until the new handle works, the device counts as failed.
    m_failed = true;
    m_ring.reset();
    m_controller.reset();
    m_ring.setInput(INVALID_HANDLE_VALUE);
    // Closed before the new one is opened (not by the reset that takes the
    // new one): while it is open, a device that allows one handle refuses
    // the next open.
    m_device.reset();
    m_device = openDevice(m_deviceNumber);
    if (!m_device)
        throw DeviceError("could not open device ", ERROR_DEVICE_NOT_CONNECTED);
    m_ring.setInput(m_device.get());
    startController();
    m_failed = false;
    std::cerr << "VexarHDRecorder: device " << m_deviceNumber << " opened again" << std::endl;
}

} // namespace vexar
