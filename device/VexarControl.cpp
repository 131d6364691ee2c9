#include "device/VexarControl.h"

#include "config/Settings.h"
#include "contract/ButtonCode.h"
#include "contract/InitSequence.h"
#include "device/DeviceError.h"
#include "device/StopRequested.h"

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace vexar
{

namespace
{

constexpr int kPowerToggleLimit = 20;
constexpr std::size_t kPowerStatusByte = 2;
constexpr std::size_t kSerialFirstByte = 6;
constexpr std::size_t kSerialEndByte = 13;
const std::vector<std::uint8_t> kStreamPrepareCode = {0x30};
const std::vector<std::uint8_t> kStreamStartCode = {0x50};

} // namespace

VexarControl::VexarControl(HANDLE device, const std::string& boxType, HANDLE stopEvent)
    : m_device(device), m_stopEvent(stopEvent)
{
    if (boxType != "motorola_dct")
        throw std::runtime_error("Unsupported cable box type " + boxType);
    m_powerCode = buttonCode(kMotorolaDctPowerValue);
    for (std::size_t digit = 0; digit < m_digitCodes.size(); ++digit)
        m_digitCodes[digit] = buttonCode(kMotorolaDctDigitValues[digit]);

    const auto& sequence = initSequence();
    for (int i = 0; i < kInitCommandCount; ++i)
    {
        sendCode(sequence[static_cast<std::size_t>(i)]);
        pause(g_delay);
        updateStatus(true);
        if (i == kInitSerialCommand)
        {
            std::uint8_t* data = m_status.data() + kTransferHeaderSize;
            data[kSerialEndByte] = 0;
            m_serialNumber = reinterpret_cast<const char*>(data + kSerialFirstByte);
            std::cout << "Serial number: " << m_serialNumber << std::endl;
            std::cerr << "Serial number: " << m_serialNumber << std::endl;
        }
        pause(g_delay);
    }
    setPower(true);
}

void VexarControl::pause(DWORD milliseconds)
{
    if (!m_stopEvent)
    {
        Sleep(milliseconds);
        return;
    }
    if (WaitForSingleObject(m_stopEvent, milliseconds) == WAIT_OBJECT_0)
        throw StopRequested();
}

std::int32_t VexarControl::updateStatus(bool print)
{
    std::lock_guard<std::recursive_mutex> lock(m_statusMutex);
    fillTransferRequest(m_status.data(), statusEndpoint, kStatusDataSize);
    DWORD returned = 0;
    const auto size = static_cast<DWORD>(m_status.size());
    if (!DeviceIoControl(m_device, IOCTL_TRANSFER, m_status.data(), size, m_status.data(), size, &returned,
                         nullptr))
    {
        const DWORD error = GetLastError();
        std::cerr << "last error: " << error << std::endl;
        throw DeviceError("Error at Vexarcontrol::updateStatus DeviceIoControl", error);
    }
    const std::int32_t statusCount =
        static_cast<std::int32_t>(returned) - static_cast<std::int32_t>(kTransferHeaderSize);
    std::cout << "updateStatus bytesReturned:" << statusCount << std::endl;
    if (print)
    {
        // The count comes from the device; never dump past the status area.
        const std::int32_t shown = std::min<std::int32_t>(statusCount, kStatusDataSize);
        const std::uint8_t* data = m_status.data() + kTransferHeaderSize;
        // Made apart and written at once: other threads print decimal
        // numbers on the same stream.
        std::ostringstream dump;
        dump << std::hex;
        for (std::int32_t i = 0; i < shown; ++i)
        {
            if (i % 16 != 0)
                dump << ",";
            dump << static_cast<unsigned>(data[i]);
            if (i % 16 == 15)
                dump << '\n';
        }
        dump << '\n';
        std::cout << dump.str() << std::flush;
    }
    return statusCount;
}

bool VexarControl::isPowerOn()
{
    std::lock_guard<std::recursive_mutex> lock(m_statusMutex);
    updateStatus(false);
    sendCode(kStreamPrepareCode);
    std::cout << "Power check; sent 0x30 " << std::flush;
    updateStatus(true);
    pause(g_delay);
    updateStatus(false);
    return (m_status[kTransferHeaderSize + kPowerStatusByte] & 1) != 0;
}

void VexarControl::setPower(bool on)
{
    std::lock_guard<std::recursive_mutex> lock(m_statusMutex);
    if (isPowerOn() == on)
        return;
    for (int toggles = 1;; ++toggles)
    {
        sendCode(m_powerCode);
        std::cout << "Toggling power " << g_delayPower << "\n" << std::flush;
        if (toggles == kPowerToggleLimit)
        {
            std::cerr << "Warning: Trouble Toggling power\n" << std::flush;
            std::exit(-1);
        }
        pause(g_delayPower);
        if (isPowerOn() == on)
            return;
    }
}

void VexarControl::startStream()
{
    std::lock_guard<std::recursive_mutex> lock(m_statusMutex);
    sendCode(kStreamPrepareCode);
    std::cout << "Start stream; sent 0x30 " << std::flush;
    updateStatus(true);
    sendCode(kStreamStartCode);
    std::cout << "VexarControl::startStream Sent 0x50 " << std::flush;
    pause(g_delay);
    updateStatus(true);
    pause(g_delay);
}

void VexarControl::sendCode(const std::vector<std::uint8_t>& code)
{
    if (code.size() > kMaxCodeSize)
        throw std::runtime_error("button code too long");
    std::array<std::uint8_t, kTransferHeaderSize + kMaxCodeSize> buffer{};
    fillTransferRequest(buffer.data(), controlEndpoint, static_cast<std::uint32_t>(code.size()));
    std::copy(code.begin(), code.end(), buffer.begin() + kTransferHeaderSize);
    const auto size = static_cast<DWORD>(kTransferHeaderSize + code.size());
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(m_device, IOCTL_TRANSFER, buffer.data(), size, buffer.data(), size,
                                    &returned, nullptr);
    const DWORD error = ok ? 0 : GetLastError();
    std::cout << "sendcode bytesReturned: " << returned << std::endl;
    if (!ok)
    {
        std::cerr << "VexarControl::sendCode last error: " << error << std::endl;
        throw DeviceError("Error at Vexarcontrol::sendCode DeviceIoControl", error);
    }
}

void VexarControl::tuneChannel(const std::string& channel)
{
    std::lock_guard<std::recursive_mutex> lock(m_statusMutex);
    setPower(true);
    if (channel.empty())
        return;
    const auto length = static_cast<std::ptrdiff_t>(channel.size());
    for (std::ptrdiff_t p = length - 4; p < length; ++p)
    {
        const char c = p < 0 ? '0' : channel[static_cast<std::size_t>(p)];
        std::cout << "sending " << c << " " << g_delay << "\n" << std::flush;
        if (c < '0' || c > '9')
            throw std::runtime_error("Digit out of range");
        sendCode(m_digitCodes[static_cast<std::size_t>(c - '0')]);
        // The four digits are keyed whole even when a stop comes: a box left
        // with half a channel number would take the next tune's first
        // digits as the rest of it.
        Sleep(g_delay);
    }
    pause(g_delayAfterChannel);
}

} // namespace vexar
