// Device-interface enumeration: the interfaces of a class are the entries of
// its folder in the device namespace, in name order; the present ones are
// those a device server listens on.
#include "platform/DeviceNamespace.h"
#include "platform/posix/KernelObjects.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace vexar::platform
{

struct DeviceInfoSet
{
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
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2,
                  g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                  g.Data4[7]);
    return text;
}

std::string deviceClassDir(const GUID& guid)
{
    return deviceNamespaceDir() + "/" + guidText(guid);
}

namespace
{

// A socket left behind by a server that was killed still has its entry but
// refuses connections. The probe connection is closed at once without
// sending anything, which tells it from a client to a server that listens.
bool serverListens(const std::string& path)
{
    struct stat st
    {
    };
    sockaddr_un address{};
    if (::stat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode) || path.size() >= sizeof address.sun_path)
        return false;
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, path.size());
    const int probe = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return false;
    // A full listen backlog still has a server behind it.
    const bool listening =
        ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 || errno == EAGAIN;
    ::close(probe);
    return listening;
}

} // namespace

} // namespace vexar::platform

using namespace vexar::platform;

HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, LPCSTR, HWND, DWORD flags)
{
    if (!classGuid || !(flags & DIGCF_DEVICEINTERFACE))
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto set = std::make_shared<DeviceInfoSet>();
    set->classGuid = *classGuid;
    std::string dir = deviceClassDir(*classGuid);
    if (DIR* d = ::opendir(dir.c_str()))
    {
        while (dirent* entry = ::readdir(d))
        {
            const std::string path = dir + "/" + entry->d_name;
            if (entry->d_name[0] != '.' && (!(flags & DIGCF_PRESENT) || serverListens(path)))
                set->paths.push_back(path);
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
    if (!object.infoSet || !data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
    {
        SetLastError(object.infoSet ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!classGuid || std::memcmp(classGuid, &object.infoSet->classGuid, sizeof(GUID)) != 0 ||
        index >= object.infoSet->paths.size())
    {
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
    if (!object.infoSet || !data || data->Reserved >= object.infoSet->paths.size())
    {
        SetLastError(object.infoSet ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const std::string& path = object.infoSet->paths[data->Reserved];
    DWORD needed =
        static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    if (requiredSize)
        *requiredSize = needed;
    if (!detail || detailSize < needed)
    {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    if (info)
    {
        info->ClassGuid = object.infoSet->classGuid;
        info->DevInst = static_cast<DWORD>(data->Reserved);
    }
    return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO h)
{
    KernelObject object = removeHandle(h);
    if (!object.infoSet)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
