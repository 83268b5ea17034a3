/* qvsimports.dll: the Ports class installer of the test world.
 *
 * On Windows the Ports class installer (msports.dll) gives each new port
 * its COM name: it writes PortName into the device's hardware key before
 * the INF's .HW section runs, and the INF's no-clobber AddReg keeps it.
 * Wine registers no class installer for Ports, so every modem would get
 * the INF's default name. qvsimrun registers this DLL in that role; it
 * gives a device the name qvsimrun assigned to its instance ID (values of
 * HKLM\Software\qvsimrun\PortNames, named by device instance ID), runs
 * the default installation, then writes the manufacturer and the friendly
 * name as Windows' installers do. */
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#include <wchar.h>

/* The name qvsimrun assigned to the device, or FALSE if none. */
static BOOL AssignedPortName(HDEVINFO set, PSP_DEVINFO_DATA device, WCHAR* name, DWORD size) {
    WCHAR instance[MAX_DEVICE_ID_LEN];
    HKEY names;
    if (!SetupDiGetDeviceInstanceIdW(set, device, instance, MAX_DEVICE_ID_LEN, NULL) ||
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\qvsimrun\\PortNames", 0, KEY_QUERY_VALUE, &names) !=
            ERROR_SUCCESS) {
        return FALSE;
    }
    memset(name, 0, size);
    size -= sizeof(WCHAR);
    LONG found = RegQueryValueExW(names, instance, NULL, NULL, (BYTE*)name, &size);
    RegCloseKey(names);
    return found == ERROR_SUCCESS;
}

static void GivePortName(HDEVINFO set, PSP_DEVINFO_DATA device, const WCHAR* name) {
    HKEY hardware = SetupDiCreateDevRegKeyW(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, NULL, NULL);
    if (hardware == INVALID_HANDLE_VALUE) {
        return;
    }
    RegSetValueExW(hardware, L"PortName", 0, REG_SZ, (const BYTE*)name, (DWORD)((wcslen(name) + 1) * sizeof(WCHAR)));
    RegCloseKey(hardware);
}

static void SetStringProperty(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD property, const WCHAR* value) {
    SetupDiSetDeviceRegistryPropertyW(set, device, property, (const BYTE*)value,
                                      (DWORD)((wcslen(value) + 1) * sizeof(WCHAR)));
}

/* What Windows' device installer and Ports class installer write once the
 * device is installed, and Wine's do not: the manufacturer of the INF's
 * model, and the friendly name "<description> (COMn)" port pickers show. */
static void DescribePort(HDEVINFO set, PSP_DEVINFO_DATA device, const WCHAR* name) {
    SP_DRVINFO_DATA_W driver;
    WCHAR friendly[LINE_LEN + 40];
    driver.cbSize = sizeof(driver);
    if (!SetupDiGetSelectedDriverW(set, device, &driver)) {
        return;
    }
    SetStringProperty(set, device, SPDRP_MFG, driver.MfgName);
    wcscpy(friendly, driver.Description);
    wcscat(friendly, L" (");
    wcscat(friendly, name);
    wcscat(friendly, L")");
    SetStringProperty(set, device, SPDRP_FRIENDLYNAME, friendly);
}

__declspec(dllexport) DWORD WINAPI PortsClassInstaller(DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA device) {
    WCHAR name[32];
    if (function != DIF_INSTALLDEVICE || device == NULL || !AssignedPortName(set, device, name, sizeof(name))) {
        return ERROR_DI_DO_DEFAULT;
    }
    GivePortName(set, device, name);
    if (!SetupDiInstallDevice(set, device)) {
        return GetLastError();
    }
    DescribePort(set, device, name);
    return NO_ERROR;
}
