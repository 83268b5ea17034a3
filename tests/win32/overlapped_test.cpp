// Overlapped requests: pending and completed later, completed at once,
// followed with GetOverlappedResult and events, and cancelled.
#include <atomic>
#include <string>

#include "win32_fixture.h"

namespace {

using win32test::Win32Test;

class Overlapped : public Win32Test {
protected:
    void SetUp() override {
        Win32Test::SetUp();
        file = Open(FILE_FLAG_OVERLAPPED);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        event = NewEvent();
        ov.hEvent = event;
    }

    void TearDown() override {
        EXPECT_TRUE(CloseHandle(file));
        EXPECT_TRUE(CloseHandle(event));
        Win32Test::TearDown();
    }

    // Starts a read the toy driver holds until data arrives.
    void StartHeldRead() {
        ASSERT_FALSE(ReadFile(file, buffer, sizeof(buffer), nullptr, &ov));
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    }

    HANDLE file = nullptr;
    HANDLE event = nullptr;
    OVERLAPPED ov{};
    char buffer[8] = {};
};

TEST_F(Overlapped, APendingReadCompletesWhenAnotherThreadWrites) {
    StartHeldRead();
    EXPECT_EQ(static_cast<NTSTATUS>(ov.Internal), STATUS_PENDING);
    EXPECT_FALSE(HasOverlappedIoCompleted(&ov));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    DWORD n = 99;
    EXPECT_FALSE(GetOverlappedResult(file, &ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);

    kmodel::ModelThread writer([&] {
        HANDLE writeEvent = NewEvent();
        OVERLAPPED wov{};
        wov.hEvent = writeEvent;
        DWORD written = 0;
        if (!WriteFile(file, "xyz", 3, &written, &wov)) {
            EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
        }
        EXPECT_TRUE(GetOverlappedResult(file, &wov, &written, TRUE));
        EXPECT_EQ(written, 3u);
        CloseHandle(writeEvent);
    });

    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(static_cast<NTSTATUS>(ov.Internal), STATUS_SUCCESS);
    EXPECT_EQ(ov.InternalHigh, 3u);
    EXPECT_TRUE(HasOverlappedIoCompleted(&ov));
    ASSERT_TRUE(GetOverlappedResult(file, &ov, &n, FALSE));
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(std::string(buffer, 3), "xyz");
    writer.Join();
}

TEST_F(Overlapped, GetOverlappedResultCanWaitForTheRequest) {
    StartHeldRead();
    DWORD n = 0;
    BOOL ok = FALSE;
    kmodel::ModelThread waiter([&] { ok = GetOverlappedResult(file, &ov, &n, TRUE); });
    kmodel::WaitForQuiescence();
    OVERLAPPED wov{};
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, "hi", 2, &written, &wov));  // completes at once
    EXPECT_EQ(written, 2u);
    waiter.Join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(n, 2u);
}

TEST_F(Overlapped, ARequestThatCompletesAtOnceSucceedsAndSetsItsEvent) {
    char out[8] = {};
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(file, toy::kIoctlEcho, const_cast<char*>("ping"), 4, out, sizeof(out), &returned,
                                &ov));
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(std::string(out, 4), "ping");
    EXPECT_EQ(static_cast<NTSTATUS>(ov.Internal), STATUS_SUCCESS);
    EXPECT_EQ(ov.InternalHigh, 4u);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
}

TEST_F(Overlapped, ARequestThatFailsAtOnceLeavesTheEventClear) {
    DWORD returned = 0;
    constexpr DWORD kUnsupported = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x8FF, METHOD_BUFFERED, FILE_ANY_ACCESS);
    ASSERT_TRUE(SetEvent(event));
    EXPECT_FALSE(DeviceIoControl(file, kUnsupported, nullptr, 0, nullptr, 0, &returned, &ov));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);  // cleared at issue, not set after
}

TEST_F(Overlapped, CancelIoExAbortsThePendingRead) {
    StartHeldRead();
    ASSERT_TRUE(CancelIoEx(file, &ov));
    DWORD n = 99;
    EXPECT_FALSE(GetOverlappedResult(file, &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(static_cast<NTSTATUS>(ov.Internal), STATUS_CANCELLED);

    EXPECT_FALSE(CancelIoEx(file, &ov));  // nothing left to cancel
    EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
    EXPECT_FALSE(CancelIoEx(file, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
}

TEST_F(Overlapped, CancelIoExFromAnotherThreadAbortsEveryRequest) {
    StartHeldRead();
    HANDLE event2 = NewEvent();
    OVERLAPPED ov2{};
    ov2.hEvent = event2;
    char out[4];
    DWORD n = 0;
    ASSERT_FALSE(DeviceIoControl(file, toy::kIoctlHoldForCancel, nullptr, 0, out, sizeof(out), &n, &ov2));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);

    kmodel::ModelThread canceller([&] { EXPECT_TRUE(CancelIoEx(file, nullptr)); });
    canceller.Join();
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event2, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(static_cast<NTSTATUS>(ov.Internal), STATUS_CANCELLED);
    EXPECT_EQ(static_cast<NTSTATUS>(ov2.Internal), STATUS_CANCELLED);
    EXPECT_TRUE(CloseHandle(event2));
}

TEST_F(Overlapped, CancelIoCancelsOnlyTheCallingThreadsRequests) {
    StartHeldRead();
    kmodel::ModelThread other([&] { EXPECT_TRUE(CancelIo(file)); });
    other.Join();
    kmodel::WaitForQuiescence();
    EXPECT_FALSE(HasOverlappedIoCompleted(&ov));

    ASSERT_TRUE(CancelIo(file));
    DWORD n = 0;
    EXPECT_FALSE(GetOverlappedResult(file, &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
}

TEST_F(Overlapped, TheOverlappedCanBeReusedForTheNextRequest) {
    StartHeldRead();
    ASSERT_TRUE(CancelIoEx(file, &ov));
    ASSERT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);

    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, "ok", 2, &written, &ov));
    DWORD n = 0;
    ASSERT_TRUE(GetOverlappedResult(file, &ov, &n, FALSE));
    EXPECT_EQ(n, 2u);
    ASSERT_TRUE(ReadFile(file, buffer, sizeof(buffer), &n, &ov));
    EXPECT_EQ(std::string(buffer, n), "ok");
}

}  // namespace
