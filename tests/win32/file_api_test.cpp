// CreateFile by DOS name, synchronous ReadFile/WriteFile/DeviceIoControl,
// and what closing a handle sends to the driver.
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include <kmodel/io.h>

#include "win32_fixture.h"

namespace {

using win32test::Win32Test;

constexpr DWORD kUnsupportedIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x8FF, METHOD_BUFFERED, FILE_ANY_ACCESS);

// The first read the toy driver holds, taken by the cancel path as Windows
// would when the thread that issued it is gone.
PIRP HeldRead(toy::FunctionExtension* ext) {
    KIRQL irql;
    KeAcquireSpinLock(&ext->lock, &irql);
    PIRP irp = IsListEmpty(&ext->heldReads)
                   ? nullptr
                   : CONTAINING_RECORD(ext->heldReads.Flink, IRP, Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&ext->lock, irql);
    return irp;
}

// ---- opening --------------------------------------------------------------------

TEST_F(Win32Test, OpensADeviceByItsDosName) {
    HANDLE h = Open();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(Toy()->creates, 1);
    EXPECT_TRUE(CloseHandle(h));

    h = CreateFileW(u"\\\\.\\toy1", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Toy()->creates, 2);
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(Win32Test, APlainNameThatIsNotAReservedDeviceNameIsAFile) {
    EXPECT_EQ(Open(0, "TOY1"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Toy()->creates, 0);
}

TEST_F(Win32Test, ReservedComNamesOpenTheirDevice) {
    UNICODE_STRING link;
    UNICODE_STRING target;
    RtlInitUnicodeString(&link, u"\\DosDevices\\COM7");
    RtlInitUnicodeString(&target, u"\\Device\\Toy0");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    for (const char* name : {"COM7", "com7:", "\\\\.\\COM7"}) {
        HANDLE h = Open(0, name);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << name;
        EXPECT_TRUE(CloseHandle(h));
    }
    EXPECT_EQ(Toy()->creates, 3);
    IoDeleteSymbolicLink(&link);
}

TEST_F(Win32Test, AMissingNameIsFileNotFound) {
    EXPECT_EQ(Open(0, "\\\\.\\NOPE"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Open(0, "COM9"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(Win32Test, AnExclusiveDeviceRefusesASecondOpen) {
    HANDLE first = Open();
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Toy()->creates, 1);  // refused without a request
    EXPECT_TRUE(CloseHandle(first));

    HANDLE again = Open();
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(again));
}

TEST_F(Win32Test, AnInvalidCreationDispositionIsRefused) {
    EXPECT_EQ(CreateFileA("\\\\.\\TOY1", GENERIC_READ, 0, nullptr, 0, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// ---- synchronous I/O ------------------------------------------------------------------

TEST_F(Win32Test, SynchronousWriteThenRead) {
    HANDLE h = Open();
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, "hello", 5, &written, nullptr));
    EXPECT_EQ(written, 5u);

    char buffer[8] = {};
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(h, buffer, 3, &read, nullptr));
    EXPECT_EQ(read, 3u);
    EXPECT_EQ(std::string(buffer, 3), "hel");
    ASSERT_TRUE(ReadFile(h, buffer, sizeof(buffer), &read, nullptr));
    EXPECT_EQ(std::string(buffer, read), "lo");
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(Win32Test, SynchronousReadWaitsForDataFromAnotherThread) {
    HANDLE h = Open(FILE_FLAG_OVERLAPPED);  // so the writer is not queued behind the read
    char buffer[8] = {};
    DWORD read = 0;
    BOOL ok = FALSE;
    kmodel::ModelThread reader([&] { ok = ReadFile(h, buffer, sizeof(buffer), &read, nullptr); });
    kmodel::WaitForQuiescence();
    EXPECT_NE(HeldRead(Toy()), nullptr);

    OVERLAPPED ov{};
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, "xyz", 3, &written, &ov));
    reader.Join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(std::string(buffer, read), "xyz");
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(Win32Test, ASynchronousHandleTakesOneRequestAtATime) {
    HANDLE h = Open();
    char buffer[8] = {};
    DWORD read = 0;
    std::atomic<BOOL> readOk{TRUE};
    std::atomic<DWORD> readError{0};
    std::atomic<bool> writeDone{false};
    kmodel::ModelThread reader([&] {
        readOk = ReadFile(h, buffer, sizeof(buffer), &read, nullptr);
        readError = GetLastError();
    });
    kmodel::WaitForQuiescence();
    kmodel::ModelThread writer([&] {
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(h, "ab", 2, &written, nullptr));
        writeDone = true;
    });
    kmodel::WaitForQuiescence();
    EXPECT_FALSE(writeDone.load());
    EXPECT_EQ(Toy()->dataLength, 0u);  // the write has not reached the driver

    ASSERT_TRUE(CancelIoEx(h, nullptr));  // the read, from this thread
    reader.Join();
    writer.Join();
    EXPECT_FALSE(readOk.load());
    EXPECT_EQ(readError.load(), ERROR_OPERATION_ABORTED);
    EXPECT_TRUE(writeDone.load());
    ASSERT_TRUE(ReadFile(h, buffer, sizeof(buffer), &read, nullptr));
    EXPECT_EQ(std::string(buffer, read), "ab");
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(Win32Test, DeviceIoControlEchoesThroughTheSystemBuffer) {
    HANDLE h = Open();
    char in[] = "abcd";
    char out[8] = {};
    DWORD returned = 99;
    ASSERT_TRUE(DeviceIoControl(h, toy::kIoctlEcho, in, 4, out, sizeof(out), &returned, nullptr));
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(std::string(out, 4), "abcd");
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(Win32Test, AnUnsupportedIoctlIsInvalidParameter) {
    HANDLE h = Open();
    DWORD returned = 99;
    EXPECT_FALSE(DeviceIoControl(h, kUnsupportedIoctl, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(returned, 0u);
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(Win32Test, CallsOnABadHandleFail) {
    char buffer[4];
    DWORD n = 0;
    EXPECT_FALSE(ReadFile(INVALID_HANDLE_VALUE, buffer, sizeof(buffer), &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    HANDLE event = NewEvent();
    EXPECT_FALSE(WriteFile(event, buffer, sizeof(buffer), &n, nullptr));  // not a file
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CancelIoEx(event, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(CloseHandle(event));
}

// ---- closing -----------------------------------------------------------------------------

TEST_F(Win32Test, ClosingSendsCleanupAndClose) {
    HANDLE h = Open();
    ASSERT_TRUE(CloseHandle(h));
    EXPECT_EQ(Toy()->cleanups, 1);
    EXPECT_EQ(Toy()->closes, 1);
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    DWORD n = 0;
    EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(Win32Test, AnOutstandingRequestDelaysTheCloseButNotTheCleanup) {
    HANDLE h = Open(FILE_FLAG_OVERLAPPED);
    HANDLE event = NewEvent();
    OVERLAPPED ov{};
    ov.hEvent = event;
    char buffer[8];
    ASSERT_FALSE(ReadFile(h, buffer, sizeof(buffer), nullptr, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);

    ASSERT_TRUE(CloseHandle(h));
    EXPECT_EQ(Toy()->cleanups, 1);
    EXPECT_EQ(Toy()->closes, 0);
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);  // the file object still exists
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    // The toy driver keeps reads across cleanup; cancel it as the I/O
    // manager would for a thread that is gone.
    PIRP held = HeldRead(Toy());
    ASSERT_NE(held, nullptr);
    IoCancelIrp(held);
    kmodel::WaitForQuiescence();
    EXPECT_EQ(Toy()->closes, 1);

    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    DWORD n = 99;
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(n, 0u);

    HANDLE again = Open();
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(again));
    EXPECT_TRUE(CloseHandle(event));
}

}  // namespace
