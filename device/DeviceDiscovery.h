// Finding and opening the capture device through its driver's device interface.
#pragma once

#include "contract/DeviceInterface.h"
#include "platform/Windows.h"

#include <cstdint>

namespace vexar
{

// Opens the present device with the given index (counting from 0) for
// overlapped reading and writing. Writes "Found device name: " and the path
// when the interface exists. Returns INVALID_HANDLE_VALUE on any failure.
HANDLE openDevice(std::int32_t deviceNumber);

} // namespace vexar
