#include "device/DeviceDiscovery.h"

#include <iostream>
#include <memory>
#include <vector>

namespace vexar
{

namespace
{

// Owns a device information set.
struct DeviceInfoList
{
    HDEVINFO set;
    explicit DeviceInfoList(HDEVINFO s) : set(s) {}
    ~DeviceInfoList()
    {
        if (set != INVALID_HANDLE_VALUE)
            SetupDiDestroyDeviceInfoList(set);
    }
    DeviceInfoList(const DeviceInfoList&) = delete;
    DeviceInfoList& operator=(const DeviceInfoList&) = delete;
};

} // namespace

HANDLE openDevice(std::int32_t deviceNumber)
{
    if (deviceNumber < 0)
        return INVALID_HANDLE_VALUE;
    DeviceInfoList list(SetupDiGetClassDevsA(&DEVICE_INTERFACE_GUID, nullptr, nullptr,
                                             DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (list.set == INVALID_HANDLE_VALUE)
        return INVALID_HANDLE_VALUE;

    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof interfaceData;
    if (!SetupDiEnumDeviceInterfaces(list.set, nullptr, &DEVICE_INTERFACE_GUID,
                                     static_cast<DWORD>(deviceNumber), &interfaceData))
        return INVALID_HANDLE_VALUE;

    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(list.set, &interfaceData, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
        return INVALID_HANDLE_VALUE;
    // The detail record is variable-sized; keep it in suitably aligned storage.
    std::vector<std::uint64_t> storage((required + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    SP_DEVINFO_DATA infoData{};
    infoData.cbSize = sizeof infoData;
    if (!SetupDiGetDeviceInterfaceDetailA(list.set, &interfaceData, detail, required, nullptr, &infoData))
        return INVALID_HANDLE_VALUE;

    std::cout << "Found device name: " << detail->DevicePath << std::endl;
    return CreateFileA(detail->DevicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

} // namespace vexar
