// Events and WaitForSingleObject: reset modes, initial state, and time-outs
// that run on the model's manual clock.
#include <gtest/gtest.h>

#include <atomic>

#include <kmodel/system.h>

#include <win32/win32sim.h>
#include <win32/windows.h>

namespace {

class Events : public ::testing::Test {
protected:
    kmodel::System system;
};

TEST_F(Events, AutoResetEventReleasesOneWaitAndResets) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(event));
}

TEST_F(Events, ManualResetEventStaysSignalledUntilReset) {
    HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(event));
}

TEST_F(Events, SetEventReleasesAThreadWaitingWithoutLimit) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<DWORD> result{WAIT_FAILED};
    kmodel::ModelThread waiter([&] { result = WaitForSingleObject(event, INFINITE); });
    kmodel::WaitForQuiescence();
    EXPECT_EQ(result.load(), WAIT_FAILED);  // still waiting
    ASSERT_TRUE(SetEvent(event));
    waiter.Join();
    EXPECT_EQ(result.load(), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(event));
}

TEST_F(Events, WaitTimesOutWhenModelTimeReachesTheLimit) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<DWORD> result{WAIT_FAILED};
    kmodel::ModelThread waiter([&] { result = WaitForSingleObject(event, 100); });
    kmodel::AdvanceClock(99);
    EXPECT_EQ(result.load(), WAIT_FAILED);
    kmodel::AdvanceClock(1);
    waiter.Join();
    EXPECT_EQ(result.load(), WAIT_TIMEOUT);
    EXPECT_EQ(kmodel::Now(), 100 * 10000);
    EXPECT_TRUE(CloseHandle(event));
}

TEST_F(Events, BadHandlesFail) {
    EXPECT_EQ(WaitForSingleObject(INVALID_HANDLE_VALUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetEvent(nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(Events, ClosedHandleIsNoLongerValid) {
    HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    size_t open = win32sim::OpenHandleCount();
    ASSERT_TRUE(CloseHandle(event));
    EXPECT_EQ(win32sim::OpenHandleCount(), open - 1);
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
}

TEST_F(Events, NamedEventsAreNotSupported) {
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "Global\\x"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

TEST_F(Events, SleepAndTickCountRunOnModelTime) {
    EXPECT_EQ(GetTickCount(), 0u);
    std::atomic<DWORD> wokeAt{0};
    kmodel::ModelThread sleeper([&] {
        Sleep(250);
        wokeAt = GetTickCount();
    });
    kmodel::AdvanceClock(249);
    EXPECT_EQ(wokeAt.load(), 0u);
    kmodel::AdvanceClock(1);
    sleeper.Join();
    EXPECT_EQ(wokeAt.load(), 250u);
}

}  // namespace
