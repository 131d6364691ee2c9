// Windows only: sole owner of a service manager or service handle.
#pragma once

#include "platform/UniqueHandle.h"
#include "platform/Windows.h"

namespace vexar
{

struct ServiceHandleTraits
{
    using Handle = SC_HANDLE;
    static Handle empty() { return nullptr; }
    static bool valid(Handle handle) { return handle != nullptr; }
    static void close(Handle handle) { CloseServiceHandle(handle); }
};

using ServiceHandle = BasicUniqueHandle<ServiceHandleTraits>;

} // namespace vexar
