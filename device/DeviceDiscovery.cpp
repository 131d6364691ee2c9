#include "device/DeviceDiscovery.h"

#include <iostream>
#include <vector>

namespace vexar
{

namespace
{

// A device information set.
struct DeviceInfoListTraits
{
    using Handle = HDEVINFO;
    static Handle empty() { return INVALID_HANDLE_VALUE; }
    static bool valid(Handle handle) { return handle != INVALID_HANDLE_VALUE; }
    static void close(Handle handle) { SetupDiDestroyDeviceInfoList(handle); }
};
using DeviceInfoList = BasicUniqueHandle<DeviceInfoListTraits>;

} // namespace

UniqueHandle openDevice(std::int32_t deviceNumber)
{
    if (deviceNumber < 0)
        return UniqueHandle();
    DeviceInfoList list(SetupDiGetClassDevsA(&DEVICE_INTERFACE_GUID, nullptr, nullptr,
                                             DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!list)
        return UniqueHandle();

    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof interfaceData;
    if (!SetupDiEnumDeviceInterfaces(list.get(), nullptr, &DEVICE_INTERFACE_GUID,
                                     static_cast<DWORD>(deviceNumber), &interfaceData))
        return UniqueHandle();

    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(list.get(), &interfaceData, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
        return UniqueHandle();
    // The detail record is variable-sized; keep it in suitably aligned storage.
    std::vector<std::uint64_t> storage((required + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    SP_DEVINFO_DATA infoData{};
    infoData.cbSize = sizeof infoData;
    if (!SetupDiGetDeviceInterfaceDetailA(list.get(), &interfaceData, detail, required, nullptr, &infoData))
        return UniqueHandle();

    std::cout << "Found device name: " << detail->DevicePath << std::endl;
    return UniqueHandle(CreateFileA(detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr));
}

} // namespace vexar
