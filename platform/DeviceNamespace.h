// Where device interfaces live on the stand-in platform: a directory (the
// device namespace) with one sub-folder per interface class, named after the
// class GUID in braces and upper case; every entry of a sub-folder is one
// interface and its full path is the device path. An interface is present
// while a device server listens on its socket.
#pragma once

#include <string>

struct GUID;

namespace vexar::platform
{

// VEXARHD_DEVICE_DIR, or /run/vexarhd when it is not set.
std::string deviceNamespaceDir();

// "{96FCECA3-810E-4DA2-8E92-33E129FFC276}" style text of a GUID.
std::string guidText(const GUID& guid);

// deviceNamespaceDir() + "/" + guidText(guid)
std::string deviceClassDir(const GUID& guid);

} // namespace vexar::platform
