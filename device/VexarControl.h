// Drives the cable box through the capture device: initialises the device,
// reads its status block, switches the box's power by toggling until the
// status agrees, starts the transport stream and keys in channel digits.
// The box's power state is never cached; every decision reads the status.
#pragma once

#include "contract/TransferRequest.h"
#include "platform/Windows.h"

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace vexar
{

class VexarControl
{
public:
    // Sends the initialisation sequence, prints the serial number and leaves
    // the box powered on. The device handle is not owned. stopEvent (not
    // owned; null: plain delays): every delay but the one between channel
    // digits (power, after a channel change, the initialisation) waits on it
    // instead of sleeping, and throws StopRequested as soon as it is set.
    VexarControl(HANDLE device, const std::string& boxType, HANDLE stopEvent = nullptr);
    VexarControl(const VexarControl&) = delete;
    VexarControl& operator=(const VexarControl&) = delete;

    // One status transfer; returns the number of status bytes received.
    std::int32_t updateStatus(bool print);
    bool isPowerOn();
    // Toggles until the status shows the wanted state; after the 20th toggle
    // without it the process exits with status -1.
    void setPower(bool on);
    void startStream();
    // Sends one code of at most 128 bytes. Relies on the caller's lock.
    void sendCode(const std::vector<std::uint8_t>& code);
    // Powers the box on and keys in the last four characters of the channel.
    void tuneChannel(const std::string& channel);
    // The serial number the device reported during initialisation.
    const std::string& serialNumber() const { return m_serialNumber; }

private:
    // Waits the delay, or until the stop event is set (then throws
    // StopRequested).
    void pause(DWORD milliseconds);

    std::vector<std::uint8_t> m_powerCode;
    std::array<std::vector<std::uint8_t>, 10> m_digitCodes;
    // The status transfer: header, then the latest status data.
    std::array<std::uint8_t, kTransferHeaderSize + kStatusDataSize> m_status{};
    // Held by every public operation except sendCode; recursive because the
    // operations nest (tuneChannel -> setPower -> isPowerOn -> updateStatus).
    // Lock order: the recorder's m_mutex before this one.
    std::recursive_mutex m_statusMutex;
    HANDLE m_device;
    HANDLE m_stopEvent = nullptr;
    std::string m_serialNumber;
};

} // namespace vexar
