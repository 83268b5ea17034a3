// The Plug and Play manager: device nodes, AddDevice, the request sequences
// sent to the top of a stack, device registry keys and device interfaces.
#include <algorithm>
#include <functional>
#include <memory>

#include <kmodel/pnp.h>

#include "model.h"

namespace kmodel {

struct DeviceNode {
    PDEVICE_OBJECT pdo = nullptr;
    std::u16string instancePath;
    int index = 0;
    PDRIVER_OBJECT functionDriver = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    bool removed = false;
    bool surpriseRemoved = false;
    bool removeWhenClosed = false;
    DEVICE_CAPABILITIES caps{};
    // The device tree: the bus whose BusRelations reported this node.
    DeviceNode* parent = nullptr;
    std::vector<DeviceNode*> children;
    bool relationsInvalid = false;  // IoInvalidateDeviceRelations(BusRelations) since the last enumeration
    std::vector<std::u16string> hardwareIds;
    std::vector<std::u16string> compatibleIds;
    std::u16string description;
};

namespace detail {

struct DeviceNodeImpl : DeviceNode {};

namespace {

struct Interface {
    std::u16string link;
    GUID guid;
    PDEVICE_OBJECT pdo;
    std::u16string reference;
    bool enabled = false;
};

struct PnpState {
    Mutex mutex;
    std::vector<std::unique_ptr<DeviceNodeImpl>> nodes;
    std::vector<Interface> interfaces;
    int nextPdoName = 0;
};

PnpState& Pnp() {
    static PnpState state;
    return state;
}

std::u16string GuidText(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return ToU16(text);
}

// The PDO at the bottom of the stack a device belongs to.
PDEVICE_OBJECT BottomOf(PDEVICE_OBJECT device) {
    while (MetaOf(device).attachedTo != nullptr) {
        device = MetaOf(device).attachedTo;
    }
    return device;
}

int OpenFilesOnStack(DeviceNodeImpl* node) {
    std::lock_guard<Mutex> guard(ObjectMutex());
    int open = 0;
    for (PDEVICE_OBJECT d = node->pdo; d != nullptr; d = d->AttachedDevice) {
        open += MetaOf(d).openFiles;
    }
    return open;
}

bool DriverHasDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT device) {
    std::lock_guard<Mutex> guard(ObjectMutex());
    for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice) {
        if (d == device) {
            return true;
        }
    }
    return false;
}

NTSTATUS SendRemove(DeviceNodeImpl* node) {
    NTSTATUS status = SendPnpRequest(node, IRP_MN_REMOVE_DEVICE);
    node->removed = true;
    node->removeWhenClosed = false;
    PDRIVER_OBJECT driver = node->functionDriver;
    if (driver != nullptr) {
        // Rule DEVICE_NOT_DELETED_AT_REMOVAL: after REMOVE_DEVICE the function
        // driver has detached and deleted its device.
        if (node->pdo->AttachedDevice != nullptr || DriverHasDevice(driver, node->fdo)) {
            BugCheck(rule::kDeviceLeftAtRemoval, "REMOVE_DEVICE left device " + Hex(node->fdo) + " of driver " +
                                                     Hex(driver) + " attached or undeleted");
        }
        // With its last device gone, the driver holds no per-device pool.
        if (driver->DeviceObject == nullptr) {
            CheckPoolAtLastRemoval(driver);
        }
    }
    return status;
}

// Children before their parent, as the PnP manager removes a subtree.
void PostOrder(DeviceNode* node, std::vector<DeviceNodeImpl*>* out) {
    for (DeviceNode* child : node->children) {
        if (!child->removed) {
            PostOrder(child, out);
        }
    }
    out->push_back(static_cast<DeviceNodeImpl*>(node));
}

int OpenFilesInTree(DeviceNodeImpl* node) {
    std::vector<DeviceNodeImpl*> tree;
    PostOrder(node, &tree);
    int open = 0;
    for (DeviceNodeImpl* n : tree) {
        open += OpenFilesOnStack(n);
    }
    return open;
}

void RemoveTree(DeviceNodeImpl* node) {
    std::vector<DeviceNodeImpl*> tree;
    PostOrder(node, &tree);
    for (DeviceNodeImpl* n : tree) {
        SendRemove(n);
    }
}

// A device whose removal waits for its handles, or whose ancestor's does.
DeviceNodeImpl* PendingRemovalRoot(DeviceNode* node) {
    DeviceNodeImpl* root = nullptr;
    for (DeviceNode* n = node; n != nullptr; n = n->parent) {
        if (n->removeWhenClosed && !n->removed) {
            root = static_cast<DeviceNodeImpl*>(n);
        }
    }
    return root;
}

// Sends a PnP request straight to a device object that has no node yet.
NTSTATUS SendPnpTo(PDEVICE_OBJECT device, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& setup,
                   ULONG_PTR* information) {
    PDEVICE_OBJECT top = IoGetAttachedDevice(device);
    PIRP irp = AllocateIrp(top->StackSize, nullptr);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = minor;
    setup(next);
    IO_STATUS_BLOCK result;
    NTSTATUS status = SendAndWait(top, irp, &result);
    *information = NT_SUCCESS(status) ? result.Information : 0;
    return status;
}

// A string, or a REG_MULTI_SZ list, a driver returned in pool; the pool
// goes. A single string ends at its NUL: nothing past it is read, as a
// driver need allocate no more.
std::vector<std::u16string> TakeStrings(ULONG_PTR information, bool list) {
    std::vector<std::u16string> strings;
    auto* p = reinterpret_cast<const char16_t*>(information);
    if (p == nullptr) {
        return strings;
    }
    while (*p != 0) {
        std::u16string s(p);
        p += s.size() + 1;
        strings.push_back(std::move(s));
        if (!list) {
            break;
        }
    }
    ExFreePool(reinterpret_cast<PVOID>(information));
    return strings;
}

std::vector<std::u16string> QueryIds(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type) {
    ULONG_PTR information;
    SendPnpTo(pdo, IRP_MN_QUERY_ID, [type](PIO_STACK_LOCATION sp) { sp->Parameters.QueryId.IdType = type; },
              &information);
    bool list = type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs;
    return TakeStrings(information, list);
}

// A PDO its bus reported for the first time: the PnP manager asks for its
// identity and gives it a node under the bus.
void AddReportedChild(DeviceNodeImpl* parent, PDEVICE_OBJECT pdo) {
    std::vector<std::u16string> deviceId = QueryIds(pdo, BusQueryDeviceID);
    std::vector<std::u16string> instanceId = QueryIds(pdo, BusQueryInstanceID);
    std::u16string path = (deviceId.empty() ? u"UNKNOWN" : deviceId[0]) + u"\\" +
                          ToU16(std::to_string(parent->index)) + u"&" + (instanceId.empty() ? u"0" : instanceId[0]);
    DeviceNode* node = ReportChildDevice(pdo, path);
    node->parent = parent;
    node->hardwareIds = QueryIds(pdo, BusQueryHardwareIDs);
    node->compatibleIds = QueryIds(pdo, BusQueryCompatibleIDs);
    ULONG_PTR text;
    SendPnpTo(pdo, IRP_MN_QUERY_DEVICE_TEXT,
              [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryDeviceText.DeviceTextType = DeviceTextDescription; },
              &text);
    std::vector<std::u16string> description = TakeStrings(text, false);
    node->description = description.empty() ? u"" : description[0];
    parent->children.push_back(node);
}

// One BusRelations query: new PDOs get nodes, children no longer listed are
// reported missing.
void EnumerateChildren(DeviceNodeImpl* node) {
    if (node->removed || node->surpriseRemoved) {
        return;
    }
    ULONG_PTR information;
    NTSTATUS status = SendPnpTo(
        node->pdo, IRP_MN_QUERY_DEVICE_RELATIONS,
        [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryDeviceRelations.Type = BusRelations; }, &information);
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(information);
    if (!NT_SUCCESS(status) || relations == nullptr) {
        return;
    }
    std::vector<PDEVICE_OBJECT> listed(relations->Objects, relations->Objects + relations->Count);
    ExFreePool(relations);
    for (PDEVICE_OBJECT pdo : listed) {
        if (NodeOf(pdo) == nullptr) {
            AddReportedChild(node, pdo);
        }
        ObDereferenceObject(pdo);  // the reference the bus took for the list
    }
    for (DeviceNode* child : std::vector<DeviceNode*>(node->children)) {
        bool present = std::find(listed.begin(), listed.end(), child->pdo) != listed.end();
        if (!present && !child->removed && !child->surpriseRemoved) {
            ReportDeviceMissing(child);
        }
    }
}

}  // namespace

DeviceNodeImpl* NodeOf(PDEVICE_OBJECT pdo) {
    return MetaOf(pdo).node;
}

void NotifyFileClosed(PDEVICE_OBJECT device) {
    DeviceNodeImpl* node = NodeOf(BottomOf(device));
    DeviceNodeImpl* root = node != nullptr ? PendingRemovalRoot(node) : nullptr;
    if (root != nullptr && OpenFilesInTree(root) == 0) {
        RemoveTree(root);
    }
}

void ResetPnp() {
    std::lock_guard<Mutex> guard(Pnp().mutex);
    Pnp().nodes.clear();
    Pnp().interfaces.clear();
    Pnp().nextPdoName = 0;
}

}  // namespace detail

using namespace detail;

DeviceNode* ReportChildDevice(PDEVICE_OBJECT pdo, const std::u16string& instancePath) {
    auto node = std::make_unique<DeviceNodeImpl>();
    node->pdo = pdo;
    node->instancePath = instancePath;
    DeviceNodeImpl* raw = node.get();
    {
        std::lock_guard<Mutex> guard(Pnp().mutex);
        node->index = static_cast<int>(Pnp().nodes.size());
        // Interface links point at the PDO by name, so it needs one.
        if (MetaOf(pdo).name.empty()) {
            std::u16string name = u"\\Device\\" + ToU16(std::to_string(Pnp().nextPdoName++ + 1000)) + u"PnpPdo";
            MetaOf(pdo).name = name;
            InsertNamedDevice(name, pdo);
        }
        Pnp().nodes.push_back(std::move(node));
    }
    MetaOf(pdo).node = raw;
    ReferenceDevice(pdo);  // the device node keeps its PDO's memory
    RegistryCreateKey(HardwareKeyPath(raw));
    RegisterPowerNode(raw);
    return raw;
}

std::u16string HardwareKeyPath(DeviceNode* node) {
    return u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + node->instancePath + u"\\Device Parameters";
}

PDEVICE_OBJECT PhysicalDevice(DeviceNode* node) {
    return node->pdo;
}

PDEVICE_OBJECT TopOfStack(DeviceNode* node) {
    return IoGetAttachedDevice(node->pdo);
}

DeviceNode* NodeOfPhysicalDevice(PDEVICE_OBJECT pdo) {
    return NodeOf(pdo);
}

NTSTATUS AddFunctionDriver(DeviceNode* node, PDRIVER_OBJECT driver) {
    node->functionDriver = driver;
    NTSTATUS status;
    {
        DriverCall call(driver);
        status = driver->DriverExtension->AddDevice(driver, node->pdo);
    }
    CheckReturnState("AddDevice", PASSIVE_LEVEL, 0);
    node->fdo = node->pdo->AttachedDevice;
    return status;
}

NTSTATUS SendPnpRequest(DeviceNode* node, UCHAR minor, ULONG_PTR* information) {
    PDEVICE_OBJECT top = IoGetAttachedDevice(node->pdo);
    PIRP irp = AllocateIrp(top->StackSize, nullptr);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = minor;
    if (minor == IRP_MN_QUERY_CAPABILITIES) {
        node->caps = DEVICE_CAPABILITIES{};
        node->caps.Size = sizeof(DEVICE_CAPABILITIES);
        node->caps.Version = 1;
        node->caps.Address = node->caps.UINumber = MAXULONG;
        next->Parameters.DeviceCapabilities.Capabilities = &node->caps;
    }
    IO_STATUS_BLOCK result;
    NTSTATUS status = SendAndWait(top, irp, &result);
    if (information != nullptr) {
        *information = result.Information;
    }
    return status;
}

NTSTATUS QueryCapabilities(DeviceNode* node, DEVICE_CAPABILITIES* caps) {
    NTSTATUS status = SendPnpRequest(node, IRP_MN_QUERY_CAPABILITIES);
    *caps = node->caps;
    return status;
}

// A stack that fails to start is removed, as Windows does. Relations the
// start invalidated are enumerated once it is over.
NTSTATUS StartDevice(DeviceNode* node) {
    NTSTATUS status = SendPnpRequest(node, IRP_MN_START_DEVICE);
    if (!NT_SUCCESS(status)) {
        SendRemove(static_cast<DeviceNodeImpl*>(node));
        return status;
    }
    DEVICE_CAPABILITIES caps;
    status = QueryCapabilities(node, &caps);
    EnumerateInvalidatedRelations();
    return status;
}

void EnumerateInvalidatedRelations() {
    for (;;) {
        DeviceNodeImpl* next = nullptr;
        {
            std::lock_guard<Mutex> guard(Pnp().mutex);
            for (auto& n : Pnp().nodes) {
                if (n->relationsInvalid) {
                    n->relationsInvalid = false;
                    next = n.get();
                    break;
                }
            }
        }
        if (next == nullptr) {
            return;
        }
        EnumerateChildren(next);
    }
}

std::vector<DeviceNode*> ChildNodes(DeviceNode* node) {
    return node->children;
}

std::u16string InstancePath(DeviceNode* node) {
    return node->instancePath;
}

std::vector<std::u16string> HardwareIds(DeviceNode* node) {
    return node->hardwareIds;
}

std::vector<std::u16string> CompatibleIds(DeviceNode* node) {
    return node->compatibleIds;
}

std::u16string DeviceDescription(DeviceNode* node) {
    return node->description;
}

NTSTATUS StopDevice(DeviceNode* node) {
    NTSTATUS status = SendPnpRequest(node, IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(status)) {
        SendPnpRequest(node, IRP_MN_CANCEL_STOP_DEVICE);
        return status;
    }
    return SendPnpRequest(node, IRP_MN_STOP_DEVICE);
}

// The whole subtree is queried, children first; one refusal cancels the
// query for every device that was asked.
NTSTATUS RemoveDevice(DeviceNode* node) {
    std::vector<DeviceNodeImpl*> tree;
    PostOrder(node, &tree);
    for (size_t i = 0; i < tree.size(); ++i) {
        NTSTATUS status = SendPnpRequest(tree[i], IRP_MN_QUERY_REMOVE_DEVICE);
        if (!NT_SUCCESS(status)) {
            for (size_t j = 0; j <= i; ++j) {
                SendPnpRequest(tree[j], IRP_MN_CANCEL_REMOVE_DEVICE);
            }
            return status;
        }
    }
    NTSTATUS status = STATUS_SUCCESS;
    for (DeviceNodeImpl* n : tree) {
        status = SendRemove(n);
    }
    return status;
}

// Children are surprise-removed before their parent; removal follows once
// no file is open anywhere in the subtree.
void ReportDeviceMissing(DeviceNode* node) {
    auto* impl = static_cast<DeviceNodeImpl*>(node);
    std::vector<DeviceNodeImpl*> tree;
    PostOrder(node, &tree);
    for (DeviceNodeImpl* n : tree) {
        if (!n->surpriseRemoved) {
            SendPnpRequest(n, IRP_MN_SURPRISE_REMOVAL);
            n->surpriseRemoved = true;
        }
    }
    impl->removeWhenClosed = true;
    if (OpenFilesInTree(impl) == 0) {
        RemoveTree(impl);
    }
}

bool NodeRemoved(DeviceNode* node) {
    return node->removed;
}

std::vector<std::u16string> EnabledInterfaces(const GUID& interfaceClass) {
    std::lock_guard<Mutex> guard(Pnp().mutex);
    std::vector<std::u16string> links;
    for (const Interface& i : Pnp().interfaces) {
        if (i.enabled && i.guid == interfaceClass) {
            links.push_back(i.link);
        }
    }
    return links;
}

}  // namespace kmodel

using namespace kmodel;
using namespace kmodel::detail;

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DevInstRegKey) {
    RequireIrqlExactly("IoOpenDeviceRegistryKey", PASSIVE_LEVEL);
    *DevInstRegKey = nullptr;
    DeviceNodeImpl* node = NodeOf(DeviceObject);
    if (node == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;  // only a PDO has device keys
    }
    std::u16string path;
    switch (DevInstKeyType) {
    case PLUGPLAY_REGKEY_DEVICE:
        path = HardwareKeyPath(node);
        break;
    case PLUGPLAY_REGKEY_DRIVER:
        path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"
               u"{4D36E96D-E325-11CE-BFC1-08002BE10318}\\" +
               ToU16(std::to_string(node->index));
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    *DevInstRegKey = OpenKeyHandle(path, DesiredAccess, true);
    return STATUS_SUCCESS;
}

// The PnP manager enumerates the relations once the PnP operation that is
// running is over (kmodel::EnumerateInvalidatedRelations).
VOID IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type) {
    RequireIrqlAtMost("IoInvalidateDeviceRelations", DISPATCH_LEVEL);
    DeviceNodeImpl* node = NodeOf(DeviceObject);
    if (node == nullptr) {
        BugCheck(rule::kNotAPdo, "IoInvalidateDeviceRelations on " + Hex(DeviceObject) + ", which is not a PDO");
    }
    if (Type == BusRelations) {
        std::lock_guard<Mutex> guard(Pnp().mutex);
        node->relationsInvalid = true;
    }
}

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
    RequireIrqlExactly("IoRegisterDeviceInterface", PASSIVE_LEVEL);
    DeviceNodeImpl* node = NodeOf(PhysicalDeviceObject);
    if (node == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    std::u16string reference = ReferenceString != nullptr ? FromUnicodeString(*ReferenceString) : u"";
    std::u16string link = u"\\??\\" + node->instancePath + u"#" + GuidText(*InterfaceClassGuid);
    std::replace(link.begin() + 4, link.end(), u'\\', u'#');
    if (!reference.empty()) {
        link += u"\\" + reference;
    }
    {
        std::lock_guard<Mutex> guard(Pnp().mutex);
        auto& list = Pnp().interfaces;
        bool known = std::any_of(list.begin(), list.end(), [&](const Interface& i) { return ToLower(i.link) == ToLower(link); });
        if (!known) {
            list.push_back(Interface{link, *InterfaceClassGuid, PhysicalDeviceObject, reference, false});
        }
    }
    // The caller owns the returned name and frees it with RtlFreeUnicodeString.
    size_t bytes = (link.size() + 1) * sizeof(WCHAR);
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, 0x20206F49));
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memcpy(buffer, link.c_str(), bytes);
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = static_cast<USHORT>(link.size() * sizeof(WCHAR));
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

// Enabling makes the interface's symbolic link to the PDO; enabling twice
// says so with STATUS_OBJECT_NAME_EXISTS, disabling a disabled one fails.
NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    RequireIrqlExactly("IoSetDeviceInterfaceState", PASSIVE_LEVEL);
    std::u16string link = FromUnicodeString(*SymbolicLinkName);
    std::lock_guard<Mutex> guard(Pnp().mutex);
    for (Interface& i : Pnp().interfaces) {
        if (ToLower(i.link) != ToLower(link)) {
            continue;
        }
        if (Enable) {
            if (i.enabled) {
                return STATUS_OBJECT_NAME_EXISTS;
            }
            i.enabled = true;
            CreateLink(i.link, MetaOf(i.pdo).name);
        } else {
            if (!i.enabled) {
                return STATUS_OBJECT_NAME_NOT_FOUND;
            }
            i.enabled = false;
            DeleteLink(i.link);
        }
        return STATUS_SUCCESS;
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}
