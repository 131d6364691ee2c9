// A request to the capture device (or a read of the input file) failed: the
// system's error code travels with the fixed text, so that callers can tell a
// device that went away from a request that was only cancelled.
#pragma once

#include "platform/Windows.h"

#include <stdexcept>
#include <string>

namespace vexar
{

class DeviceError : public std::runtime_error
{
public:
    DeviceError(const std::string& text, DWORD code) : std::runtime_error(text), m_code(code) {}
    DWORD code() const { return m_code; }
    // Not a fault of the device: the request was cancelled on purpose.
    bool cancelled() const { return m_code == ERROR_OPERATION_ABORTED; }

private:
    DWORD m_code;
};

} // namespace vexar
