// Device-interface enumeration: the present interfaces of a class are the
// entries of its folder in the device namespace, in name order.
#include "platform/DeviceNamespace.h"
#include "platform/posix/KernelObjects.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <vector>

namespace platform {

struct DeviceInfoSet {
    GUID classGuid;
    std::vector<std::string> paths;
};

std::string deviceNamespaceDir()
{
    const char* dir = std::getenv("VEXARHD_DEVICE_DIR");
    return dir && *dir ? dir : "/run/vexarhd";
}

std::string guidText(const GUID& g)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

std::string deviceClassDir(const GUID& guid) { return deviceNamespaceDir() + "/" + guidText(guid); }

} // namespace platform

using namespace platform;

HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, LPCSTR, HWND, DWORD flags)
{
    if (!classGuid || !(flags & DIGCF_DEVICEINTERFACE)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto set = std::make_shared<DeviceInfoSet>();
    set->classGuid = *classGuid;
    std::string dir = deviceClassDir(*classGuid);
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* entry = ::readdir(d)) {
            if (entry->d_name[0] != '.')
                set->paths.push_back(dir + "/" + entry->d_name);
        }
        ::closedir(d);
    }
    std::sort(set->paths.begin(), set->paths.end());
    KernelObject object;
    object.infoSet = std::move(set);
    return insertHandle(std::move(object));
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO h, SP_DEVINFO_DATA*, const GUID* classGuid, DWORD index,
                                 SP_DEVICE_INTERFACE_DATA* data)
{
    KernelObject object = lookupHandle(h);
    if (!object.infoSet || !data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        SetLastError(object.infoSet ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!classGuid || std::memcmp(classGuid, &object.infoSet->classGuid, sizeof(GUID)) != 0 ||
        index >= object.infoSet->paths.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    data->InterfaceClassGuid = *classGuid;
    data->Flags = 1; // SPINT_ACTIVE
    data->Reserved = index;
    return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO h, SP_DEVICE_INTERFACE_DATA* data,
                                      SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailSize,
                                      LPDWORD requiredSize, SP_DEVINFO_DATA* info)
{
    KernelObject object = lookupHandle(h);
    if (!object.infoSet || !data || data->Reserved >= object.infoSet->paths.size()) {
        SetLastError(object.infoSet ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const std::string& path = object.infoSet->paths[data->Reserved];
    DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    if (requiredSize)
        *requiredSize = needed;
    if (!detail || detailSize < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    if (info) {
        info->ClassGuid = object.infoSet->classGuid;
        info->DevInst = static_cast<DWORD>(data->Reserved);
    }
    return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO h)
{
    KernelObject object = removeHandle(h);
    if (!object.infoSet) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
