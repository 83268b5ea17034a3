// Reads, flushes and cleanup as applications meet them through the comm API,
// against what Microsoft documents for COMMTIMEOUTS, ReadFile, PurgeComm,
// FlushFileBuffers and CloseHandle. Time is the model's manual clock.
#include "serial_port_fixture.h"

namespace qvtest {
namespace {

constexpr int64_t kNever = -1;

struct Arrival {
    int64_t atMs;
    std::string bytes;
};

class SerialReadTest : public SerialPortTest {
protected:
    void SetUp() override {
        SerialPortTest::SetUp();
        OpenPort();
    }

    void SetTimeouts(DWORD interval, DWORD multiplier, DWORD constant) {
        COMMTIMEOUTS t{interval, multiplier, constant, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(port, &t));
    }

    // Starts a read; TRUE if ReadFile itself finished it.
    BOOL StartRead(char* buffer, DWORD length, OVERLAPPED* ov) {
        *ov = OVERLAPPED{};
        ov->hEvent = ioEvent;
        DWORD ignored = 0;
        BOOL done = ReadFile(port, buffer, length, &ignored, ov);
        if (!done) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        }
        kmodel::WaitForQuiescence();
        return done;
    }

    // Moves the clock a millisecond at a time, the arrivals at their times,
    // until the read ends or `limitMs` is reached; returns when it ended.
    int64_t RunUntilDone(OVERLAPPED* ov, const std::vector<Arrival>& arrivals, int64_t limitMs) {
        for (int64_t t = 0; t <= limitMs; ++t) {
            for (const Arrival& a : arrivals) {
                if (a.atMs == t) {
                    ModemSends(a.bytes);
                }
            }
            if (HasOverlappedIoCompleted(ov)) {
                return t;
            }
            kmodel::AdvanceClock(1);
        }
        return kNever;
    }
};

struct TimeoutCase {
    const char* name;
    COMMTIMEOUTS timeouts;
    DWORD length;
    std::string buffered;  // already there when the read is issued
    std::vector<Arrival> arrivals;
    NTSTATUS status;       // the read's final status
    std::string got;       // the bytes ReadFile returns
    int64_t endsAtMs;      // or kNever (within a second)
};

TEST_F(SerialReadTest, EachTimeoutSettingEndsTheReadAsDocumented) {
    const TimeoutCase cases[] = {
        {"MAXDWORD,0,0: at once, nothing", {MAXDWORD, 0, 0, 0, 0}, 10, "", {}, STATUS_SUCCESS, "", 0},
        {"MAXDWORD,0,0: at once, what is there", {MAXDWORD, 0, 0, 0, 0}, 10, "abcd", {}, STATUS_SUCCESS, "abcd", 0},
        {"all zero: waits for the length", {0, 0, 0, 0, 0}, 5, "ab", {{30, "cd"}, {70, "e"}}, STATUS_SUCCESS,
         "abcde", 70},
        {"all zero: no time-out", {0, 0, 0, 0, 0}, 5, "", {{10, "a"}}, STATUS_SUCCESS, "", kNever},
        {"total constant, nothing comes", {0, 0, 300, 0, 0}, 10, "", {}, STATUS_TIMEOUT, "", 300},
        {"total constant, some bytes come", {0, 0, 300, 0, 0}, 10, "", {{100, "abc"}}, STATUS_TIMEOUT, "abc", 300},
        {"total constant, the length comes", {0, 0, 300, 0, 0}, 3, "", {{100, "abc"}}, STATUS_SUCCESS, "abc",
         100},
        {"multiplier times length plus constant", {0, 10, 100, 0, 0}, 10, "", {}, STATUS_TIMEOUT, "", 200},
        {"multiplier alone", {0, 25, 0, 0, 0}, 8, "x", {}, STATUS_TIMEOUT, "x", 200},
        {"interval: from the last byte", {50, 0, 0, 0, 0}, 10, "", {{100, "ab"}, {130, "c"}}, STATUS_TIMEOUT,
         "abc", 180},
        {"interval: not before the first byte", {50, 0, 0, 0, 0}, 10, "", {}, STATUS_SUCCESS, "", kNever},
        {"interval: buffered bytes start it", {50, 0, 0, 0, 0}, 10, "ab", {}, STATUS_TIMEOUT, "ab", 50},
        {"interval before total", {20, 0, 1000, 0, 0}, 10, "", {{100, "a"}, {110, "b"}}, STATUS_TIMEOUT, "ab",
         130},
        {"total before interval", {100, 0, 150, 0, 0}, 10, "", {{100, "a"}}, STATUS_TIMEOUT, "a", 150},
        {"MAXDWORD,MAXDWORD,c: at once with what is there", {MAXDWORD, MAXDWORD, 500, 0, 0}, 10, "xyz", {},
         STATUS_SUCCESS, "xyz", 0},
        {"MAXDWORD,MAXDWORD,c: with the first bytes", {MAXDWORD, MAXDWORD, 500, 0, 0}, 10, "", {{200, "ab"}},
         STATUS_SUCCESS, "ab", 200},
        {"MAXDWORD,MAXDWORD,c: after c with none", {MAXDWORD, MAXDWORD, 500, 0, 0}, 10, "", {}, STATUS_TIMEOUT, "",
         500},
        {"no wrap near MAXDWORD", {0, MAXDWORD, MAXDWORD, 0, 0}, 4, "", {}, STATUS_SUCCESS, "", kNever},
    };
    for (const TimeoutCase& c : cases) {
        SCOPED_TRACE(c.name);
        COMMTIMEOUTS timeouts = c.timeouts;
        ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
        if (!c.buffered.empty()) {
            ModemSends(c.buffered);
        }
        char buffer[64] = {};
        OVERLAPPED ov;
        StartRead(buffer, c.length, &ov);
        int64_t ended = RunUntilDone(&ov, c.arrivals, 1000);
        EXPECT_EQ(ended, c.endsAtMs);
        if (ended == kNever) {
            ASSERT_TRUE(CancelIoEx(port, &ov));
            kmodel::WaitForQuiescence();
            DWORD got = 0;
            EXPECT_FALSE(GetOverlappedResult(port, &ov, &got, TRUE));
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
            PurgeComm(port, PURGE_RXCLEAR);
            continue;
        }
        DWORD got = 0xBAD;
        EXPECT_TRUE(GetOverlappedResult(port, &ov, &got, TRUE)) << GetLastError();
        EXPECT_EQ(static_cast<NTSTATUS>(ov.Internal), c.status);
        EXPECT_EQ(std::string(buffer, got), c.got);
        EXPECT_EQ(pdx->ReceiveCount, 0u);
    }
}

// The ways a read ends, each with the two bytes that came before.
struct EndCase {
    const char* name;
    void (*end)(SerialReadTest& t, OVERLAPPED* ov);
    BOOL result;
    DWORD error;
    DWORD bytes;  // as GetOverlappedResult reports them
};

TEST_F(SerialReadTest, EachWayAReadEndsGivesTheDocumentedResult) {
    const EndCase cases[] = {
        {"its length comes", [](SerialReadTest& t, OVERLAPPED*) { t.ModemSends("cd"); }, TRUE, ERROR_SUCCESS, 4},
        {"its total time-out", [](SerialReadTest&, OVERLAPPED*) { kmodel::AdvanceClock(1000); }, TRUE,
         ERROR_SUCCESS, 2},
        {"CancelIoEx",
         [](SerialReadTest& t, OVERLAPPED* ov) {
             CancelIoEx(t.port, ov);
             kmodel::WaitForQuiescence();
         },
         FALSE, ERROR_OPERATION_ABORTED, 2},
        {"PurgeComm RXABORT",
         [](SerialReadTest& t, OVERLAPPED*) {
             PurgeComm(t.port, PURGE_RXABORT);
             kmodel::WaitForQuiescence();
         },
         FALSE, ERROR_OPERATION_ABORTED, 2},
    };
    for (const EndCase& c : cases) {
        SCOPED_TRACE(c.name);
        SetTimeouts(0, 0, 1000);
        char buffer[4] = {};
        OVERLAPPED ov;
        ASSERT_FALSE(StartRead(buffer, sizeof(buffer), &ov));
        ModemSends("ab");
        ASSERT_FALSE(HasOverlappedIoCompleted(&ov));
        c.end(*this, &ov);
        ASSERT_TRUE(HasOverlappedIoCompleted(&ov));
        DWORD got = 0xBAD;
        BOOL result = GetOverlappedResult(port, &ov, &got, FALSE);
        EXPECT_EQ(result, c.result);
        if (!result) {
            EXPECT_EQ(GetLastError(), c.error);
        }
        EXPECT_EQ(got, c.bytes);
        EXPECT_TRUE(IsListEmpty(&pdx->ReadIrpQueue));
    }
}

TEST_F(SerialReadTest, QueuedReadsAreServedInOrderEachWithItsOwnTimeout) {
    SetTimeouts(0, 0, 400);
    char first[3] = {}, second[3] = {};
    OVERLAPPED a, b;
    ASSERT_FALSE(StartRead(first, sizeof(first), &a));
    kmodel::AdvanceClock(100);
    ASSERT_FALSE(StartRead(second, sizeof(second), &b));
    ModemSends("12345");
    ASSERT_TRUE(HasOverlappedIoCompleted(&a));
    EXPECT_FALSE(HasOverlappedIoCompleted(&b));
    DWORD got = 0;
    ASSERT_TRUE(GetOverlappedResult(port, &a, &got, FALSE));
    EXPECT_EQ(std::string(first, got), "123");
    kmodel::AdvanceClock(399);  // the second read's own 400 ms, from its issue
    EXPECT_FALSE(HasOverlappedIoCompleted(&b));
    kmodel::AdvanceClock(1);
    ASSERT_TRUE(HasOverlappedIoCompleted(&b));
    ASSERT_TRUE(GetOverlappedResult(port, &b, &got, FALSE));
    EXPECT_EQ(static_cast<NTSTATUS>(b.Internal), STATUS_TIMEOUT);
    EXPECT_EQ(std::string(second, got), "45");
}

TEST_F(SerialReadTest, FlushFileBuffersReturnsOnceTheWritesBeforeItAreOnTheWire) {
    EXPECT_TRUE(FlushFileBuffers(port));  // nothing to wait for
    Stack().faults(0x02).delayMs = 50;    // each chunk completes 50 ms after it is sent
    OVERLAPPED ov{};
    ov.hEvent = ioEvent;
    std::string data(5000, 'w');  // two chunks
    EXPECT_FALSE(WriteFile(port, data.data(), static_cast<DWORD>(data.size()), nullptr, &ov));
    kmodel::WaitForQuiescence();
    COMSTAT stat{};
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(port, &errors, &stat));
    EXPECT_EQ(stat.cbOutQue, 5000u);

    BOOL flushed = FALSE;
    kmodel::ModelThread flusher([&] { flushed = FlushFileBuffers(port); }, "flusher");
    kmodel::WaitForQuiescence();
    EXPECT_FALSE(flushed);
    kmodel::AdvanceClock(50);
    ASSERT_TRUE(ClearCommError(port, &errors, &stat));
    EXPECT_EQ(stat.cbOutQue, 5000u - 4096u);
    EXPECT_FALSE(flushed);
    kmodel::AdvanceClock(50);
    flusher.Join();
    EXPECT_TRUE(flushed);
    DWORD written = 0;
    ASSERT_TRUE(GetOverlappedResult(port, &ov, &written, FALSE));
    EXPECT_EQ(written, 5000u);
    ASSERT_TRUE(ClearCommError(port, &errors, &stat));
    EXPECT_EQ(stat.cbOutQue, 0u);
}

// CloseHandle while the modem takes no data: cleanup ends the writes, the
// port closes (DTR drops) and opens again at once.
TEST_F(SerialReadTest, CloseWithWritesPendingEndsThemAndThePortReopensAtOnce) {
    Stack().faults(0x02).hold = true;
    OVERLAPPED first{}, second{}, read{};
    first.hEvent = second.hEvent = ioEvent;
    std::string data(100, 'z');
    EXPECT_FALSE(WriteFile(port, data.data(), 100, nullptr, &first));
    EXPECT_FALSE(WriteFile(port, data.data(), 100, nullptr, &second));
    char buffer[8];
    SetTimeouts(0, 0, 0);
    EXPECT_FALSE(StartRead(buffer, sizeof(buffer), &read));
    kmodel::WaitForQuiescence();
    ASSERT_TRUE(CloseHandle(port));
    kmodel::WaitForQuiescence();
    for (OVERLAPPED* ov : {&first, &second, &read}) {
        EXPECT_TRUE(HasOverlappedIoCompleted(ov));
        EXPECT_EQ(static_cast<NTSTATUS>(ov->Internal), STATUS_CANCELLED);
    }
    EXPECT_EQ(pdx->OpenCount, 0);
    Stack().faults(0x02).hold = false;
    port = CreateFileW(u"\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    kmodel::WaitForQuiescence();
    EXPECT_EQ(WriteText(port, "AT\r"), 3u);
}

}  // namespace
}  // namespace qvtest
