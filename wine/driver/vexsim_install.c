/* vexsim-install.exe: installs and removes the simulated capture device
 * (vexsim.sys) in a Wine prefix, as a root-enumerated PnP device.
 *
 *   vexsim-install install C:\path\vexsim.inf   creates the device and installs its driver
 *   vexsim-install remove                        removes every such device
 *
 * Exit status 0 on success, 1 on a failure (reported on standard error). */
#include <windows.h>

#include <initguid.h>

#include <devguid.h>
#include <newdev.h>
#include <setupapi.h>
#include <stdio.h>
#include <string.h>

#define VXI_NAME "vexsim"
#define VXI_HARDWARE_ID "root\\vexsim"

static int vxiFail(const char* what)
{
    fprintf(stderr, "vexsim-install: %s failed, error %lu\n", what, GetLastError());
    return 1;
}

static int vxiInstall(const char* inf)
{
    static const char hardwareIds[] = VXI_HARDWARE_ID "\0";
    char fullInf[MAX_PATH];
    SP_DEVINFO_DATA info;
    BOOL reboot = FALSE;
    HDEVINFO set;
    if (!GetFullPathNameA(inf, sizeof fullInf, fullInf, NULL))
        return vxiFail("GetFullPathName");
    set = SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_SYSTEM, NULL);
    if (set == INVALID_HANDLE_VALUE)
        return vxiFail("SetupDiCreateDeviceInfoList");
    memset(&info, 0, sizeof info);
    info.cbSize = sizeof info;
    if (!SetupDiCreateDeviceInfoA(set, VXI_NAME, &GUID_DEVCLASS_SYSTEM, NULL, NULL, DICD_GENERATE_ID,
                                  &info) ||
        !SetupDiSetDeviceRegistryPropertyA(set, &info, SPDRP_HARDWAREID, (const BYTE*)hardwareIds,
                                           sizeof hardwareIds) ||
        !SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &info))
    {
        int status = vxiFail("creating the device");
        SetupDiDestroyDeviceInfoList(set);
        return status;
    }
    SetupDiDestroyDeviceInfoList(set);
    if (!UpdateDriverForPlugAndPlayDevicesA(NULL, VXI_HARDWARE_ID, fullInf, INSTALLFLAG_FORCE, &reboot))
        return vxiFail("UpdateDriverForPlugAndPlayDevices");
    return 0;
}

static int vxiRemove(void)
{
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_SYSTEM, NULL, NULL, 0);
    SP_DEVINFO_DATA info;
    DWORD index;
    int status = 0;
    if (set == INVALID_HANDLE_VALUE)
        return vxiFail("SetupDiGetClassDevs");
    for (index = 0;; ++index)
    {
        char ids[256];
        memset(&info, 0, sizeof info);
        info.cbSize = sizeof info;
        if (!SetupDiEnumDeviceInfo(set, index, &info))
            break;
        memset(ids, 0, sizeof ids);
        if (!SetupDiGetDeviceRegistryPropertyA(set, &info, SPDRP_HARDWAREID, NULL, (BYTE*)ids, sizeof ids - 2,
                                               NULL) ||
            _stricmp(ids, VXI_HARDWARE_ID) != 0)
            continue;
        if (!SetupDiCallClassInstaller(DIF_REMOVE, set, &info))
            status = vxiFail("DIF_REMOVE");
    }
    SetupDiDestroyDeviceInfoList(set);
    return status;
}

int main(int argc, char** argv)
{
    if (argc == 3 && strcmp(argv[1], "install") == 0)
        return vxiInstall(argv[2]);
    if (argc == 2 && strcmp(argv[1], "remove") == 0)
        return vxiRemove();
    fprintf(stderr, "usage: vexsim-install install FILE.inf | remove\n");
    return 2;
}
