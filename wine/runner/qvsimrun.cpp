// qvsimrun.exe: sets up the modem world in a Windows (or Wine) installation
// and runs programs against it, all in one session:
//   1. names the COM port of each modem, through a Ports class installer as
//      Windows has one (qvsimports.dll: it writes PortName into the port
//      device's hardware key; the INF keeps it, as it writes PortName only
//      where there is none);
//   2. installs the driver package's two INFs, the bus driver's and the port
//      driver's (SetupCopyOEMInf, as pnputil does), so Plug and Play finds
//      them: qvusbbus.sys for each USB device of the test bus, qvsimdm.sys
//      for the child qvusbbus.sys enumerates on it;
//   3. installs the test bus as a root-enumerated device with its service;
//   4. starts the device host, then the test bus, and waits for the COM ports;
//   5. runs each program given after "--run" (separated by "--run") and
//      passes its output through.
// Exit status: 0 when every program exited 0, 1 otherwise, 2 when set-up
// failed.
//
//   qvsimrun --package DIR --bus PATH --host PATH --port COM45 --port COM46
//            --run PROGRAM ARGS... [--run PROGRAM ARGS...]
// DIR holds qvusbbus.inf, qvusbbus.sys, qvsimdm.inf and qvsimdm.sys.
#include <windows.h>
#include <setupapi.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

// The System setup class, where a bus driver's own device belongs.
const GUID kSystemClass = {0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const wchar_t kBusService[] = L"qvsimbus";
const wchar_t kBusHardwareId[] = L"ROOT\\QVSIMBUS\0";  // a REG_MULTI_SZ
const wchar_t kPortsClassKey[] =
    L"System\\CurrentControlSet\\Control\\Class\\{4D36E978-E325-11CE-BFC1-08002BE10318}";
// The port device of each modem: the child qvusbbus.sys reports on the USB
// device, instance 0000 (its communication interface) made unique by the
// test bus's instance number of the USB device, from 1 (wine/bus/winefix.c).
const wchar_t kPortInstancePrefix[] = L"QVUSBBUS\\VID_F1D0&PID_0A7C&REV_0100\\";
const wchar_t kPortInstanceSuffix[] = L"&0000";
// The drivers of the package, the bus driver first: its INF must be there
// before the USB devices appear.
const wchar_t* const kPackageDrivers[] = {L"qvusbbus", L"qvsimdm"};
const wchar_t kReadyEvent[] = L"qvsimhost.ready";
const DWORD kPortWaitMs = 20000;

struct Options {
    std::wstring package, bus, host;
    std::vector<std::wstring> ports;
    std::vector<std::vector<std::wstring>> runs;
};

void Fail(const char* what) { std::fprintf(stderr, "qvsimrun: %s (error %lu)\n", what, GetLastError()); }

bool Parse(int argc, wchar_t** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i];
        if (arg == L"--run") {
            options->runs.emplace_back();
        } else if (!options->runs.empty()) {
            options->runs.back().push_back(arg);
        } else if (i + 1 < argc && arg == L"--package") {
            options->package = argv[++i];
        } else if (i + 1 < argc && arg == L"--bus") {
            options->bus = argv[++i];
        } else if (i + 1 < argc && arg == L"--host") {
            options->host = argv[++i];
        } else if (i + 1 < argc && arg == L"--port") {
            options->ports.push_back(argv[++i]);
        } else {
            return false;
        }
    }
    return !options->package.empty() && !options->bus.empty() && !options->host.empty() && !options->ports.empty();
}

std::wstring PortInstance(size_t usbDevice) {
    return kPortInstancePrefix + std::to_wstring(usbDevice) + kPortInstanceSuffix;
}

// Registers qvsimports.dll (beside this program) as the Ports class
// installer and tells it the COM name of each modem's port device.
bool AssignPortNames(const Options& options) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring installer = self;
    installer = installer.substr(0, installer.find_last_of(L"\\/") + 1) + L"qvsimports.dll";
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    if (!CopyFileW(installer.c_str(), (std::wstring(system) + L"\\qvsimports.dll").c_str(), FALSE)) {
        Fail("cannot copy qvsimports.dll");
        return false;
    }
    const wchar_t entry[] = L"qvsimports.dll,PortsClassInstaller";
    HKEY key;
    LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPortsClassKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                                  nullptr);
    if (result == ERROR_SUCCESS) {
        result = RegSetValueExW(key, L"Installer32", 0, REG_SZ, reinterpret_cast<const BYTE*>(entry), sizeof(entry));
        RegCloseKey(key);
    }
    if (result == ERROR_SUCCESS) {
        result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\qvsimrun\\PortNames", 0, nullptr, 0, KEY_SET_VALUE,
                                 nullptr, &key, nullptr);
    }
    if (result != ERROR_SUCCESS) {
        Fail("cannot register the Ports class installer");
        return false;
    }
    for (size_t i = 0; i < options.ports.size() && result == ERROR_SUCCESS; ++i) {
        std::wstring instance = PortInstance(i + 1);
        const std::wstring& name = options.ports[i];
        result = RegSetValueExW(key, instance.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                                static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t)));
    }
    RegCloseKey(key);
    if (result != ERROR_SUCCESS) {
        Fail("cannot write the port names");
        return false;
    }
    return true;
}

// Stages one driver of the package as pnputil does: its INF through
// SetupCopyOEMInf, and its .sys beside the staged INF, where Plug and
// Play's installation looks for it (the driver store's role; SPOST_NONE: no
// source path is remembered, the staged copy is the source).
bool StageDriver(const Options& options, const std::wstring& name) {
    std::wstring inf = options.package + L"\\" + name + L".inf";
    wchar_t staged[MAX_PATH];
    wchar_t* stagedName = nullptr;
    if (!SetupCopyOEMInfW(inf.c_str(), nullptr, SPOST_NONE, 0, staged, MAX_PATH, nullptr, &stagedName)) {
        std::fprintf(stderr, "qvsimrun: SetupCopyOEMInf failed for %ls (error %lu)\n", inf.c_str(), GetLastError());
        return false;
    }
    std::wstring sys = options.package + L"\\" + name + L".sys";
    std::wstring target = std::wstring(staged, stagedName) + name + L".sys";
    if (!CopyFileW(sys.c_str(), target.c_str(), FALSE)) {
        std::fprintf(stderr, "qvsimrun: cannot stage %ls beside its INF (error %lu)\n", sys.c_str(), GetLastError());
        return false;
    }
    std::printf("qvsimrun: %ls.inf staged as %ls\n", name.c_str(), staged);
    return true;
}

bool InstallPackage(const Options& options) {
    for (const wchar_t* name : kPackageDrivers) {
        if (!StageDriver(options, name)) {
            return false;
        }
    }
    return true;
}

bool InstallBusService(const Options& options) {
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    std::wstring target = std::wstring(system) + L"\\drivers\\qvsimbus.sys";
    if (!CopyFileW(options.bus.c_str(), target.c_str(), FALSE)) {
        Fail("cannot copy the bus driver");
        return false;
    }
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        Fail("OpenSCManager");
        return false;
    }
    SC_HANDLE service = CreateServiceW(manager, kBusService, kBusService, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, target.c_str(), nullptr, nullptr,
                                       nullptr, nullptr, nullptr);
    if (service == nullptr && GetLastError() == ERROR_SERVICE_EXISTS) {
        service = OpenServiceW(manager, kBusService, SERVICE_ALL_ACCESS);
    }
    CloseServiceHandle(manager);
    if (service == nullptr) {
        Fail("cannot create the bus service");
        return false;
    }
    CloseServiceHandle(service);
    return true;
}

bool InstallBusDevice() {
    HDEVINFO set = SetupDiCreateDeviceInfoList(&kSystemClass, nullptr);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    bool ok = SetupDiCreateDeviceInfoW(set, L"ROOT\\QVSIMBUS\\0000", &kSystemClass, nullptr, nullptr, 0,
                                       &device) &&
              SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID,
                                                reinterpret_cast<const BYTE*>(kBusHardwareId),
                                                sizeof(kBusHardwareId)) &&
              SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device) &&
              SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_SERVICE,
                                                reinterpret_cast<const BYTE*>(kBusService), sizeof(kBusService));
    if (!ok && GetLastError() == ERROR_DEVINST_ALREADY_EXISTS) {
        ok = true;  // a second run in the same installation
    }
    if (!ok) {
        Fail("cannot create the bus's root device");
    }
    SetupDiDestroyDeviceInfoList(set);
    return ok;
}

bool StartBus() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager != nullptr ? OpenServiceW(manager, kBusService, SERVICE_START) : nullptr;
    bool ok = service != nullptr && (StartServiceW(service, 0, nullptr) ||
                                     GetLastError() == ERROR_SERVICE_ALREADY_RUNNING);
    if (!ok) {
        Fail("cannot start the bus service");
    }
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    if (manager != nullptr) {
        CloseServiceHandle(manager);
    }
    return ok;
}

HANDLE StartProcess(std::wstring commandLine) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process)) {
        return nullptr;
    }
    CloseHandle(process.hThread);
    return process.hProcess;
}

std::wstring Quote(const std::wstring& arg) {
    return arg.find_first_of(L" \t\"") == std::wstring::npos && !arg.empty() ? arg : L"\"" + arg + L"\"";
}

HANDLE StartHost(const Options& options) {
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, kReadyEvent);
    HANDLE host = StartProcess(Quote(options.host) + L" --ready " + kReadyEvent);
    if (host == nullptr) {
        Fail("cannot start the device host");
        CloseHandle(ready);
        return nullptr;
    }
    HANDLE both[2] = {ready, host};
    DWORD wait = WaitForMultipleObjects(2, both, FALSE, 10000);
    CloseHandle(ready);
    if (wait != WAIT_OBJECT_0) {
        Fail("the device host did not come up");
        TerminateProcess(host, 1);
        CloseHandle(host);
        return nullptr;
    }
    return host;
}

// Plug and Play starts the children asynchronously: wait for their DOS names.
bool WaitForPorts(const Options& options) {
    for (const std::wstring& port : options.ports) {
        DWORD waited = 0;
        wchar_t target[256];
        while (QueryDosDeviceW(port.c_str(), target, 256) == 0 || std::wcsstr(target, L"QVSIMDM") == nullptr) {
            if (waited >= kPortWaitMs) {
                std::fprintf(stderr, "qvsimrun: %ls did not appear\n", port.c_str());
                return false;
            }
            Sleep(50);
            waited += 50;
        }
        std::printf("qvsimrun: %ls is %ls\n", port.c_str(), target);
    }
    return true;
}

int RunAll(const Options& options) {
    int failures = 0;
    for (const auto& run : options.runs) {
        std::wstring commandLine;
        for (const std::wstring& arg : run) {
            commandLine += (commandLine.empty() ? L"" : L" ") + Quote(arg);
        }
        std::printf("qvsimrun: running %ls\n", commandLine.c_str());
        std::fflush(stdout);
        HANDLE process = StartProcess(commandLine);
        if (process == nullptr) {
            Fail("cannot start the program");
            ++failures;
            continue;
        }
        WaitForSingleObject(process, INFINITE);
        DWORD code = 1;
        GetExitCodeProcess(process, &code);
        CloseHandle(process);
        std::printf("qvsimrun: %ls exited with %lu\n", run.empty() ? L"" : run[0].c_str(), code);
        std::fflush(stdout);
        if (code != 0) {
            ++failures;
        }
    }
    return failures;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    if (!Parse(argc, argv, &options)) {
        std::fprintf(stderr,
                     "usage: qvsimrun --package DIR --bus PATH --host PATH --port NAME [--port NAME]"
                     " --run PROGRAM ARGS... [--run ...]\n");
        return 2;
    }
    if (!InstallPackage(options) || !InstallBusService(options) || !AssignPortNames(options) || !InstallBusDevice()) {
        return 2;
    }
    HANDLE host = StartHost(options);
    if (host == nullptr) {
        return 2;
    }
    int status = 2;
    if (StartBus() && WaitForPorts(options)) {
        status = RunAll(options) == 0 ? 0 : 1;
    }
    TerminateProcess(host, 0);
    CloseHandle(host);
    return status;
}
