// Finding and opening the capture device through its driver's device interface.
#pragma once

#include "platform/Windows.h"

#include <cstdint>

// Interface class of the capture device: {96FCECA3-810E-4DA2-8E92-33E129FFC276}.
extern const GUID DEVICE_INTERFACE_GUID;

// Opens the present device with the given index (counting from 0) for
// overlapped reading and writing. Writes "Found device name: " and the path
// when the interface exists. Returns INVALID_HANDLE_VALUE on any failure.
HANDLE openDevice(std::int32_t deviceNumber);
