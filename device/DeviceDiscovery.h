// Finding and opening the capture device through its driver's device interface.
#pragma once

#include "contract/DeviceInterface.h"
#include "platform/UniqueHandle.h"

#include <cstdint>

namespace vexar
{

// Opens the present device with the given index (counting from 0) for
// overlapped reading and writing. Writes "Found device name: " and the path
// when the interface exists. Returns an empty handle on any failure.
UniqueHandle openDevice(std::int32_t deviceNumber);

} // namespace vexar
