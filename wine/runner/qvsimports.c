/* qvsimports.dll: the Ports class installer of the test world.
 *
 * On Windows the Ports class installer (msports.dll) gives each new port
 * its COM name: it writes PortName into the device's hardware key before
 * the INF's .HW section runs, and the INF's no-clobber AddReg keeps it.
 * Wine registers no class installer for Ports, so every modem would get
 * the INF's default name. qvsimrun registers this DLL in that role; it
 * gives a device the name qvsimrun assigned to its instance ID (values of
 * HKLM\Software\qvsimrun\PortNames, named by device instance ID), then
 * lets the default installation run. */
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#include <wchar.h>

static void GivePortName(HDEVINFO set, PSP_DEVINFO_DATA device) {
    WCHAR instance[MAX_DEVICE_ID_LEN];
    WCHAR name[32];
    DWORD size = sizeof(name) - sizeof(WCHAR);
    HKEY names;
    if (!SetupDiGetDeviceInstanceIdW(set, device, instance, MAX_DEVICE_ID_LEN, NULL) ||
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\qvsimrun\\PortNames", 0, KEY_QUERY_VALUE, &names) !=
            ERROR_SUCCESS) {
        return;
    }
    memset(name, 0, sizeof(name));
    LONG found = RegQueryValueExW(names, instance, NULL, NULL, (BYTE*)name, &size);
    RegCloseKey(names);
    if (found != ERROR_SUCCESS) {
        return;
    }
    HKEY hardware = SetupDiCreateDevRegKeyW(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, NULL, NULL);
    if (hardware == INVALID_HANDLE_VALUE) {
        return;
    }
    RegSetValueExW(hardware, L"PortName", 0, REG_SZ, (const BYTE*)name, (DWORD)((wcslen(name) + 1) * sizeof(WCHAR)));
    RegCloseKey(hardware);
}

__declspec(dllexport) DWORD WINAPI PortsClassInstaller(DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA device) {
    if (function == DIF_INSTALLDEVICE && device != NULL) {
        GivePortName(set, device);
    }
    return ERROR_DI_DO_DEFAULT;
}
