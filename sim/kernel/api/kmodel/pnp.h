// The Plug and Play and power managers as tests and bus drivers drive them.
#pragma once

#include <string>
#include <vector>

#include <wdm.h>

namespace kmodel {

struct DeviceNode;

// A bus driver reports a child it created; the PnP manager gives it a device
// node with an instance path and a hardware key ("Device Parameters").
DeviceNode* ReportChildDevice(PDEVICE_OBJECT pdo, const std::u16string& instancePath);
std::u16string HardwareKeyPath(DeviceNode* node);
PDEVICE_OBJECT PhysicalDevice(DeviceNode* node);
PDEVICE_OBJECT TopOfStack(DeviceNode* node);
DeviceNode* NodeOfPhysicalDevice(PDEVICE_OBJECT pdo);

// Calls the driver's AddDevice for the node's PDO.
NTSTATUS AddFunctionDriver(DeviceNode* node, PDRIVER_OBJECT driver);

// Each sends one PnP request to the top of the node's stack and waits for it.
// The request starts with STATUS_NOT_SUPPORTED in IoStatus, as Windows sends it.
NTSTATUS SendPnpRequest(DeviceNode* node, UCHAR minor, ULONG_PTR* information = nullptr);
NTSTATUS QueryCapabilities(DeviceNode* node, DEVICE_CAPABILITIES* caps);

// The sequences the PnP manager runs.
NTSTATUS StartDevice(DeviceNode* node);         // START_DEVICE, then QUERY_CAPABILITIES
NTSTATUS StopDevice(DeviceNode* node);          // QUERY_STOP, then STOP (or CANCEL_STOP on refusal)
NTSTATUS RemoveDevice(DeviceNode* node);        // QUERY_REMOVE, then REMOVE (or CANCEL_REMOVE)
// The bus reports the device gone: SURPRISE_REMOVAL now, and REMOVE_DEVICE
// once the last file open on the stack is closed.
void ReportDeviceMissing(DeviceNode* node);
bool NodeRemoved(DeviceNode* node);

// The device tree as bus drivers report it (IRP_MN_QUERY_DEVICE_RELATIONS,
// BusRelations). The PnP manager queries a bus whose relations were
// invalidated at the end of the PnP operation that invalidated them, or
// when this is called.
void EnumerateInvalidatedRelations();
std::vector<DeviceNode*> ChildNodes(DeviceNode* node);
std::u16string InstancePath(DeviceNode* node);
// What the bus answered when the node was reported.
std::vector<std::u16string> HardwareIds(DeviceNode* node);
std::vector<std::u16string> CompatibleIds(DeviceNode* node);
std::u16string DeviceDescription(DeviceNode* node);

// Symbolic links of the enabled interfaces of a class, as SetupDi lists them.
std::vector<std::u16string> EnabledInterfaces(const GUID& interfaceClass);

// ---- power ------------------------------------------------------------------

// A system power transition as the power manager runs it: for sleep and
// hibernate every stack is queried first (a refusal aborts the transition);
// then every stack gets the set request, one after another.
NTSTATUS SetSystemPowerState(SYSTEM_POWER_STATE state);
SYSTEM_POWER_STATE CurrentSystemPowerState();
// What the driver last told PoSetPowerState for this device object.
DEVICE_POWER_STATE RecordedDevicePowerState(PDEVICE_OBJECT device);
SYSTEM_POWER_STATE RecordedSystemPowerState(PDEVICE_OBJECT device);

}  // namespace kmodel
