// Files and devices as the I/O manager keeps them: exclusive devices, the
// cleanup at handle close and the close at the last reference, device
// objects that outlive IoDeleteDevice, failed creates, and the default
// dispatch for what a driver does not handle.
#include <gtest/gtest.h>

#include <map>

#include <kmodel/io.h>
#include <kmodel/system.h>

#include "layer_driver.h"

namespace {

using layers::Complete;
using layers::Ext;
using layers::Stack;

// What a device saw of file requests.
struct FileLog {
    std::map<UCHAR, int> count;
    std::map<UCHAR, PFILE_OBJECT> file;
    std::map<UCHAR, PDEVICE_OBJECT> device;
    std::map<UCHAR, KIRQL> irql;
    std::map<UCHAR, ULONG> magic;  // the device extension's, as the request found it
    NTSTATUS createStatus = STATUS_SUCCESS;
    bool holdReads = false;

    layers::Handler Handler() {
        return [this](PDEVICE_OBJECT device, PIRP irp) {
            PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
            UCHAR major = sp->MajorFunction;
            count[major]++;
            file[major] = sp->FileObject;
            this->device[major] = device;
            irql[major] = KeGetCurrentIrql();
            magic[major] = Ext(device)->magic;
            if (major == IRP_MJ_CREATE) {
                return Complete(irp, createStatus);
            }
            if (major == IRP_MJ_READ && holdReads) {
                IoMarkIrpPending(irp);
                Ext(device)->slot = irp;
                return STATUS_PENDING;
            }
            return Complete(irp, STATUS_SUCCESS);
        };
    }
};

layers::StackOptions Named(const char16_t* name, BOOLEAN exclusive = FALSE) {
    layers::StackOptions options;
    options.name = name;
    options.exclusive = exclusive;
    return options;
}

TEST(Files, ExclusiveDeviceRefusesASecondOpenWithoutSendingAnIrp) {
    kmodel::System system;
    Stack stack(Named(u"\\Device\\Excl0", TRUE));
    FileLog log;
    stack.On(0) = log.Handler();
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, u"\\DosDevices\\EXCL1");
    RtlInitUnicodeString(&target, u"\\Device\\Excl0");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);

    PFILE_OBJECT first, second;
    ASSERT_EQ(kmodel::io::Open(u"\\??\\EXCL1", &first), STATUS_SUCCESS);
    EXPECT_EQ(kmodel::io::Open(u"\\Device\\Excl0", &second), STATUS_ACCESS_DENIED);
    EXPECT_EQ(kmodel::io::Open(u"\\??\\excl1", &second), STATUS_ACCESS_DENIED);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(log.count[IRP_MJ_CREATE], 1);
    EXPECT_EQ(kmodel::io::OpenFileCount(stack.Bottom()), 1u);

    kmodel::io::CloseHandle(first);
    ASSERT_EQ(kmodel::io::Open(u"\\??\\EXCL1", &second), STATUS_SUCCESS);
    EXPECT_EQ(log.count[IRP_MJ_CREATE], 2);
    kmodel::io::CloseHandle(second);
}

TEST(Files, SharedDeviceOpensTwice) {
    kmodel::System system;
    Stack stack(Named(u"\\Device\\Shared0"));
    FileLog log;
    stack.On(0) = log.Handler();
    PFILE_OBJECT first, second;
    ASSERT_EQ(kmodel::io::Open(u"\\Device\\Shared0", &first), STATUS_SUCCESS);
    ASSERT_EQ(kmodel::io::Open(u"\\Device\\Shared0", &second), STATUS_SUCCESS);
    EXPECT_NE(first, second);
    EXPECT_EQ(log.count[IRP_MJ_CREATE], 2);
    kmodel::io::CloseHandle(first);
    kmodel::io::CloseHandle(second);
    EXPECT_EQ(log.count[IRP_MJ_CLOSE], 2);
}

TEST(Files, CloseWaitsForTheLastOutstandingRequest) {
    for (bool completeAtDispatch : {false, true}) {
        kmodel::System system;
        Stack stack(Named(u"\\Device\\Held0"));
        FileLog log;
        log.holdReads = true;
        stack.On(0) = log.Handler();
        PFILE_OBJECT file;
        ASSERT_EQ(kmodel::io::Open(u"\\Device\\Held0", &file), STATUS_SUCCESS);
        char buffer[4];
        kmodel::io::Request read;
        ASSERT_EQ(kmodel::io::Read(file, buffer, sizeof(buffer), &read), STATUS_PENDING);

        kmodel::io::CloseHandle(file);
        kmodel::WaitForQuiescence();
        EXPECT_EQ(log.count[IRP_MJ_CLEANUP], 1);
        EXPECT_EQ(log.file[IRP_MJ_CLEANUP], file);
        EXPECT_EQ(log.count[IRP_MJ_CLOSE], 0);  // the held read keeps the file object
        EXPECT_EQ(kmodel::io::OpenFileCount(stack.Bottom()), 1u);

        PIRP held = static_cast<PIRP>(Ext(stack.Bottom())->slot);
        if (completeAtDispatch) {
            kmodel::QueueSystemWork([held] { Complete(held, STATUS_SUCCESS); }, DISPATCH_LEVEL);
        } else {
            Complete(held, STATUS_SUCCESS);
        }
        EXPECT_EQ(kmodel::io::Wait(&read), STATUS_SUCCESS);
        kmodel::WaitForQuiescence();
        EXPECT_EQ(log.count[IRP_MJ_CLOSE], 1);
        EXPECT_EQ(log.file[IRP_MJ_CLOSE], file);
        EXPECT_EQ(log.irql[IRP_MJ_CLOSE], PASSIVE_LEVEL);  // even when the last reference went at DISPATCH_LEVEL
        EXPECT_EQ(kmodel::io::OpenFileCount(stack.Bottom()), 0u);
    }
}

TEST(Files, DeletedDeviceStaysValidWhileAFileReferencesIt) {
    kmodel::System system;
    Stack stack(Named(u"\\Device\\Gone0"));
    FileLog log;
    stack.On(0) = log.Handler();
    PDEVICE_OBJECT device = stack.Bottom();
    PFILE_OBJECT file;
    ASSERT_EQ(kmodel::io::Open(u"\\Device\\Gone0", &file), STATUS_SUCCESS);

    IoDeleteDevice(device);
    EXPECT_EQ(kmodel::LookupDevice(u"\\Device\\Gone0"), nullptr);  // the name goes at once
    PFILE_OBJECT again;
    EXPECT_EQ(kmodel::io::Open(u"\\Device\\Gone0", &again), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(file->DeviceObject, device);
    EXPECT_EQ(Ext(device)->magic, 0x4C415952u);  // still readable

    kmodel::io::CloseHandle(file);
    EXPECT_EQ(log.count[IRP_MJ_CLEANUP], 1);
    EXPECT_EQ(log.count[IRP_MJ_CLOSE], 1);
    EXPECT_EQ(log.device[IRP_MJ_CLOSE], device);
    EXPECT_EQ(log.magic[IRP_MJ_CLOSE], 0x4C415952u);
    kmodel::UnloadDriver(stack.driver);  // nothing of it is left
}

TEST(Files, FailedCreateIsNeitherCleanedUpNorClosed) {
    kmodel::System system;
    Stack stack(Named(u"\\Device\\Fail0", TRUE));
    FileLog log;
    log.createStatus = STATUS_SHARING_VIOLATION;
    stack.On(0) = log.Handler();
    PFILE_OBJECT file = reinterpret_cast<PFILE_OBJECT>(1);
    EXPECT_EQ(kmodel::io::Open(u"\\Device\\Fail0", &file), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(file, nullptr);
    kmodel::WaitForQuiescence();
    EXPECT_EQ(log.count[IRP_MJ_CREATE], 1);
    EXPECT_EQ(log.count[IRP_MJ_CLEANUP], 0);
    EXPECT_EQ(log.count[IRP_MJ_CLOSE], 0);
    EXPECT_EQ(kmodel::io::OpenFileCount(stack.Bottom()), 0u);

    // The failed open does not hold the exclusive device.
    log.createStatus = STATUS_SUCCESS;
    ASSERT_EQ(kmodel::io::Open(u"\\Device\\Fail0", &file), STATUS_SUCCESS);
    kmodel::io::CloseHandle(file);
    EXPECT_EQ(log.count[IRP_MJ_CLOSE], 1);
}

TEST(Files, ReferenceTakenByADriverDefersTheClose) {
    kmodel::System system;
    Stack stack(Named(u"\\Device\\Ref0"));
    FileLog log;
    stack.On(0) = log.Handler();
    PFILE_OBJECT file;
    ASSERT_EQ(kmodel::io::Open(u"\\Device\\Ref0", &file), STATUS_SUCCESS);
    ObReferenceObject(file);
    kmodel::io::CloseHandle(file);
    EXPECT_EQ(log.count[IRP_MJ_CLEANUP], 1);
    EXPECT_EQ(log.count[IRP_MJ_CLOSE], 0);
    ObDereferenceObject(file);
    EXPECT_EQ(log.count[IRP_MJ_CLOSE], 1);
}

// What the create sees as the file name: the part of the opened name past
// the device object's own name, so empty for an open of the device itself.
struct NameSeen {
    std::u16string name;
    layers::Handler Handler() {
        return [this](PDEVICE_OBJECT, PIRP irp) {
            PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
            if (sp->MajorFunction == IRP_MJ_CREATE) {
                name = kmodel::FromUnicodeString(sp->FileObject->FileName);
            }
            return Complete(irp, STATUS_SUCCESS);
        };
    }
};

TEST(Files, OpenOfTheDeviceItselfHasAnEmptyFileName) {
    kmodel::System system;
    Stack stack(Named(u"\\Device\\Plain0"));
    NameSeen seen;
    stack.On(0) = seen.Handler();
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, u"\\DosDevices\\PLAIN0");
    RtlInitUnicodeString(&target, u"\\Device\\Plain0");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    for (const char16_t* name : {u"\\Device\\Plain0", u"\\??\\PLAIN0"}) {
        PFILE_OBJECT file;
        seen.name = u"(no create)";
        ASSERT_EQ(kmodel::io::Open(name, &file), STATUS_SUCCESS);
        EXPECT_EQ(seen.name, u"") << kmodel::ToUtf8(name);
        kmodel::io::CloseHandle(file);
    }
}

// An open of a name inside the device's namespace reaches the driver, which
// decides; the rest of the path is the file name it sees.
TEST(Files, OpenInsideTheDeviceNamespaceReachesTheDriverWithTheRestOfThePath) {
    kmodel::System system;
    Stack stack(Named(u"\\Device\\Plain0"));
    NameSeen seen;
    stack.On(0) = seen.Handler();
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, u"\\DosDevices\\PLAIN0");
    RtlInitUnicodeString(&target, u"\\Device\\Plain0");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    PFILE_OBJECT file;
    ASSERT_EQ(kmodel::io::Open(u"\\??\\PLAIN0\\extra", &file), STATUS_SUCCESS);
    EXPECT_EQ(seen.name, u"\\extra");
    kmodel::io::CloseHandle(file);
}

NTSTATUS NTAPI NoDispatchEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
    return STATUS_SUCCESS;
}

TEST(Files, UnhandledMajorFunctionsFailWithInvalidDeviceRequest) {
    kmodel::System system;
    layers::StackOptions options = Named(u"\\Device\\Partial0");
    options.entry = layers::FileOnlyEntry;
    options.flags = DO_BUFFERED_IO;
    Stack stack(options);
    FileLog log;
    stack.On(0) = log.Handler();
    PFILE_OBJECT file;
    ASSERT_EQ(kmodel::io::Open(u"\\Device\\Partial0", &file), STATUS_SUCCESS);
    char buffer[4] = {};
    kmodel::io::Request request;
    EXPECT_EQ(kmodel::io::Read(file, buffer, sizeof(buffer), &request), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_FALSE(request.Finished);  // an error returned at once is not written back
    EXPECT_EQ(kmodel::io::Write(file, buffer, sizeof(buffer), &request), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(kmodel::io::DeviceControl(file, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x920, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                        buffer, sizeof(buffer), buffer, sizeof(buffer), &request),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(kmodel::io::Simple(file, IRP_MJ_FLUSH_BUFFERS, &request), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(log.count.size(), 1u);  // only the create reached the driver
    kmodel::io::CloseHandle(file);
    EXPECT_EQ(log.count[IRP_MJ_CLOSE], 1);  // no failed request kept a reference
    EXPECT_EQ(kmodel::PoolBlocksHeld(nullptr), 0u);

    // A driver with no create dispatch cannot be opened at all.
    layers::StackOptions bare = Named(u"\\Device\\Bare0");
    bare.entry = NoDispatchEntry;
    Stack bareStack(bare);
    EXPECT_EQ(kmodel::io::Open(u"\\Device\\Bare0", &file), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(kmodel::io::OpenFileCount(bareStack.Bottom()), 0u);
}

}  // namespace
