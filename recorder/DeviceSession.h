// The input as a recording uses it: the capture device (or an MPTS file),
// the cable-box control on it, the input ring that reads it, and opening the
// device again after it went away (unplugged, its driver restarted).
//
// A request that fails marks the device as failed; it is opened again by its
// number before its next use, the old handle closed first, since a device
// serves one opened handle at a time.
#pragma once

#include "device/InputRing.h"
#include "device/VexarControl.h"
#include "platform/UniqueHandle.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>

namespace vexar
{

class DeviceSession
{
public:
    // input: the opened device or MPTS input file. deviceNumber: the
    // device's place in the enumeration (negative: it cannot be opened again).
    DeviceSession(UniqueHandle input, bool inputIsFile, std::int32_t deviceNumber);
    DeviceSession(const DeviceSession&) = delete;
    DeviceSession& operator=(const DeviceSession&) = delete;

    bool isFile() const { return m_inputIsFile; }
    InputRing& ring() { return m_ring; }
    // Null with file input, and while the device is being opened again.
    VexarControl* controller() { return m_controller.get(); }
    // Device input: initialises the device and the box. Every delay of the
    // control from then on ends at once when stopEvent is set.
    void startControl(HANDLE stopEvent);
    // The serial number read at initialisation; empty with file input.
    const std::string& serialNumber() const { return m_serialNumber; }

    // A request failed: noted, with one line, so that the device is opened
    // again before it is used.
    void failed(const std::exception& error);
    bool needsReopen() const { return m_failed.load(std::memory_order_acquire); }
    // Opens the device again by its number and brings up the cable-box
    // control. Throws DeviceError when it is not there.
    void reopen();

private:
    // The box control on the device handle open now.
    void startController();

    // Member order is teardown order, reversed: the controller and the ring
    // (which cancels and collects its reads) go before the handle.
    UniqueHandle m_device;
    std::int32_t m_deviceNumber;
    bool m_inputIsFile;
    InputRing m_ring;
    std::unique_ptr<VexarControl> m_controller;
    HANDLE m_stopEvent = nullptr;
    std::string m_serialNumber;
    std::atomic<bool> m_failed{false};
};

} // namespace vexar
