// The device interface the capture device's driver registers: the class
// that enumeration looks for.
#pragma once

#include "platform/Windows.h"

namespace vexar
{

// Interface class of the capture device: {96FCECA3-810E-4DA2-8E92-33E129FFC276}.
inline const GUID DEVICE_INTERFACE_GUID = {
    0x96FCECA3, 0x810E, 0x4DA2, {0x8E, 0x92, 0x33, 0xE1, 0x29, 0xFF, 0xC2, 0x76}};

} // namespace vexar
