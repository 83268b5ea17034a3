// The registry as applications read it, over the kernel model's registry:
// HKEY_LOCAL_MACHINE is \Registry\Machine, HKEY_USERS is \Registry\User,
// HKEY_CURRENT_USER is \Registry\User\.Default and HKEY_CLASSES_ROOT is
// \Registry\Machine\Software\Classes. Enough to read the device map
// (HARDWARE\DEVICEMAP\SERIALCOMM) the way port-listing code does.
//
// As on Windows, these return the error instead of setting the last error.
// Known difference: keys are read only (no create, set or delete), and
// subkeys cannot be enumerated.
#pragma once

#include <win32/windows.h>

typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef LONG LSTATUS;
typedef ACCESS_MASK REGSAM;

#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define HKEY_USERS ((HKEY)(ULONG_PTR)((LONG)0x80000003))

// An empty or NULL lpSubKey opens hKey itself again. ERROR_FILE_NOT_FOUND when
// the key does not exist.
LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);

// The value at dwIndex in creation order; ERROR_NO_MORE_ITEMS past the last.
// *lpcchValueName is the name buffer's size in characters on entry and the
// name's length without its NUL on return. Data as for RegQueryValueEx.
LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                             LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
LSTATUS WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                             LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);

// With lpData NULL, *lpcbData receives the size needed; with a buffer that is
// too small, ERROR_MORE_DATA and the size needed. The A forms convert string
// data (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) and count its size in bytes of
// the converted text.
LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData);
LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                LPDWORD lpcbData);

LSTATUS WINAPI RegCloseKey(HKEY hKey);
