// The device-control routine from the kernel side: every code sent at
// DISPATCH_LEVEL is moved to a worker and answered as at PASSIVE_LEVEL,
// short buffers fail for each code, the going-away states refuse requests,
// and a sweep over every serial code with every buffer length up to 64 and
// random contents finds only the answers the codes allow.
#include "serial_port_fixture.h"

#include <cstring>
#include <map>
#include <random>
#include <set>

#include <kmodel/io.h>

namespace qvtest {
namespace {

template <typename T>
std::vector<uint8_t> In(const T& value) {
    return Bytes(value);
}

std::vector<uint8_t> Ulong(ULONG value) {
    return Bytes(value);
}

// ---- DISPATCH_LEVEL ------------------------------------------------------------------------------

struct Step {
    ULONG code;
    std::vector<uint8_t> in;
    ULONG outLength;
};

struct Case {
    const char* name;
    Step request;
    std::vector<Step> prepare;  // sent at PASSIVE_LEVEL before each run
};

using SerialDispatchLevel = SerialPortTest;

TEST_F(SerialDispatchLevel, EveryCodeIsDeferredAndAnsweredAsAtPassiveLevel) {
    OpenPort();
    const SERIAL_TIMEOUTS timeouts{1, 2, 3, 4, 5};
    const SERIAL_CHARS chars{1, 2, 3, 4, 0x11, 0x13};
    const SERIAL_HANDFLOW handflow{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 10, 20};
    const std::vector<Case> cases = {
        {"SET_BAUD_RATE", {IOCTL_SERIAL_SET_BAUD_RATE, Ulong(9600), 0}, {{IOCTL_SERIAL_SET_BAUD_RATE, Ulong(300), 0}}},
        {"SET_BAUD_RATE refused", {IOCTL_SERIAL_SET_BAUD_RATE, Ulong(49), 0}, {}},
        {"SET_BAUD_RATE short", {IOCTL_SERIAL_SET_BAUD_RATE, {0x80, 0x25}, 0}, {}},
        {"GET_BAUD_RATE", {IOCTL_SERIAL_GET_BAUD_RATE, {}, 4}, {}},
        {"GET_LINE_CONTROL", {IOCTL_SERIAL_GET_LINE_CONTROL, {}, 3}, {}},
        {"SET_LINE_CONTROL", {IOCTL_SERIAL_SET_LINE_CONTROL, {STOP_BIT_1, EVEN_PARITY, 7}, 0}, {}},
        {"SET_LINE_CONTROL refused", {IOCTL_SERIAL_SET_LINE_CONTROL, {STOP_BIT_1, NO_PARITY, 9}, 0}, {}},
        {"SET_BREAK_ON", {IOCTL_SERIAL_SET_BREAK_ON, {}, 0}, {}},
        {"SET_BREAK_OFF", {IOCTL_SERIAL_SET_BREAK_OFF, {}, 0}, {}},
        {"SET_TIMEOUTS", {IOCTL_SERIAL_SET_TIMEOUTS, In(timeouts), 0}, {}},
        {"GET_TIMEOUTS", {IOCTL_SERIAL_GET_TIMEOUTS, {}, 20}, {}},
        {"SET_DTR", {IOCTL_SERIAL_SET_DTR, {}, 0}, {}},
        {"CLR_DTR", {IOCTL_SERIAL_CLR_DTR, {}, 0}, {{IOCTL_SERIAL_SET_DTR, {}, 0}}},
        {"CLR_DTR never raised", {IOCTL_SERIAL_CLR_DTR, {}, 0}, {}},
        {"SET_RTS", {IOCTL_SERIAL_SET_RTS, {}, 0}, {}},
        {"CLR_RTS", {IOCTL_SERIAL_CLR_RTS, {}, 0}, {}},
        {"SET_DTR under handshake",
         {IOCTL_SERIAL_SET_DTR, {}, 0},
         {{IOCTL_SERIAL_SET_HANDFLOW, In(SERIAL_HANDFLOW{SERIAL_DTR_HANDSHAKE, 0, 0, 0}), 0}}},
        {"SET_HANDFLOW",
         {IOCTL_SERIAL_SET_HANDFLOW, In(handflow), 0},
         {{IOCTL_SERIAL_SET_HANDFLOW, In(SERIAL_HANDFLOW{}), 0}}},
        {"GET_HANDFLOW", {IOCTL_SERIAL_GET_HANDFLOW, {}, 16}, {}},
        {"SET_WAIT_MASK echoed", {IOCTL_SERIAL_SET_WAIT_MASK, Ulong(0x1FFF), 4}, {}},
        {"SET_WAIT_MASK refused", {IOCTL_SERIAL_SET_WAIT_MASK, Ulong(0x2000), 4}, {}},
        {"WAIT_ON_MASK with no mask",
         {IOCTL_SERIAL_WAIT_ON_MASK, {}, 4},
         {{IOCTL_SERIAL_SET_WAIT_MASK, Ulong(0), 0}}},
        {"WAIT_ON_MASK short", {IOCTL_SERIAL_WAIT_ON_MASK, {}, 3}, {}},
        {"PURGE", {IOCTL_SERIAL_PURGE, Ulong(SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR), 0}, {}},
        {"SET_CHARS", {IOCTL_SERIAL_SET_CHARS, In(chars), 0}, {}},
        {"GET_CHARS", {IOCTL_SERIAL_GET_CHARS, {}, 6}, {}},
        {"GET_MODEMSTATUS", {IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4}, {}},
        {"GET_COMMSTATUS", {IOCTL_SERIAL_GET_COMMSTATUS, {}, 20}, {}},
        {"GET_COMMSTATUS short", {IOCTL_SERIAL_GET_COMMSTATUS, {}, 19}, {}},
        {"GET_STATS", {IOCTL_SERIAL_GET_STATS, {}, 24}, {}},
        {"CLEAR_STATS", {IOCTL_SERIAL_CLEAR_STATS, {}, 0}, {}},
        {"GET_WAIT_MASK", {IOCTL_SERIAL_GET_WAIT_MASK, {}, 4}, {}},
        {"GET_PROPERTIES", {IOCTL_SERIAL_GET_PROPERTIES, {}, 64}, {}},
        {"SET_QUEUE_SIZE", {IOCTL_SERIAL_SET_QUEUE_SIZE, In(SERIAL_QUEUE_SIZE{4096, 4096}), 0}, {}},
        {"IMMEDIATE_CHAR", {IOCTL_SERIAL_IMMEDIATE_CHAR, {'A'}, 0}, {}},
        {"RESET_DEVICE", {IOCTL_SERIAL_RESET_DEVICE, {}, 0}, {}},
        {"SET_XOFF", {IOCTL_SERIAL_SET_XOFF, {}, 0}, {}},
        {"GET_DTRRTS", {IOCTL_SERIAL_GET_DTRRTS, {}, 4}, {}},
        {"GET_COMMCONFIG", {IOCTL_SERIAL_GET_COMMCONFIG, {}, 64}, {}},
    };
    const size_t pool = DriverPool();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto run = [&](KIRQL irql) {
            for (const Step& s : c.prepare) {
                EXPECT_TRUE(NT_SUCCESS(SendIrp(PASSIVE_LEVEL, s.code, s.in, s.outLength).final));
            }
            Forget();
            IrpOutcome outcome = SendIrp(irql, c.request.code, c.request.in, c.request.outLength);
            return std::make_pair(outcome, Sent());
        };
        auto [passive, passiveSent] = run(PASSIVE_LEVEL);
        auto [dispatch, dispatchSent] = run(DISPATCH_LEVEL);
        EXPECT_NE(passive.returned, STATUS_PENDING);
        EXPECT_EQ(passive.final, passive.returned);
        EXPECT_EQ(dispatch.returned, STATUS_PENDING);
        EXPECT_EQ(dispatch.final, passive.final) << std::hex << dispatch.final;
        EXPECT_EQ(dispatch.out, passive.out);
        EXPECT_EQ(dispatchSent, passiveSent);
        if (NT_SUCCESS(passive.final)) {
            EXPECT_EQ(dispatch.information, passive.information);
        } else {
            EXPECT_EQ(dispatch.information, 0u);
        }
    }
    // Each work-item record was given back.
    EXPECT_EQ(DriverPool(), pool);
}

TEST_F(SerialDispatchLevel, AWaitQueuedFromAWorkerEndsLikeAnyOther) {
    OpenPort();
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    ULONG result = 0xBAD;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_SERIAL_WAIT_ON_MASK, Fdo(child), nullptr, 0, &result,
                                             sizeof(result), FALSE, &done, &iosb);
    ASSERT_NE(irp, nullptr);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    NTSTATUS returned = IoCallDriver(Fdo(child), irp);
    KeLowerIrql(old);
    EXPECT_EQ(returned, STATUS_PENDING);
    kmodel::WaitForQuiescence();
    EXPECT_EQ(KeReadStateEvent(&done), 0);
    EXPECT_FALSE(IsListEmpty(&pdx->WaitIrpQueue));

    ModemSends("z");
    EXPECT_NE(KeReadStateEvent(&done), 0);
    if (KeReadStateEvent(&done) == 0) {
        IoCancelIrp(irp);  // a failure: do not leave it queued
    }
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 4u);
    EXPECT_EQ(result, static_cast<ULONG>(SERIAL_EV_RXCHAR));
    ReadsReturnAtOnce(port);
    EXPECT_EQ(ReadText(port), "z");
}

KEVENT workerGate;

VOID NTAPI HoldTheWorker(PVOID) {
    KeWaitForSingleObject(&workerGate, Executive, KernelMode, FALSE, nullptr);
}

// A request moved to a worker keeps the device until the worker has
// answered it, so a removal cannot finish under it.
TEST_F(SerialDispatchLevel, ARequestWaitingForAWorkerHoldsTheRemoveLock) {
    // Opened once before, as every application request would find it.
    OpenPort();
    ClosePort();
    // Keep the delayed worker busy so the request stays in the queue.
    KeInitializeEvent(&workerGate, NotificationEvent, FALSE);
    WORK_QUEUE_ITEM busy;
    ExInitializeWorkItem(&busy, HoldTheWorker, nullptr);
    ExQueueWorkItem(&busy, DelayedWorkQueue);

    ULONG out = 0xBAD;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_SERIAL_GET_BAUD_RATE, Fdo(child), nullptr, 0, &out, 4, FALSE,
                                             &done, &iosb);
    ASSERT_NE(irp, nullptr);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(IoCallDriver(Fdo(child), irp), STATUS_PENDING);
    KeLowerIrql(old);
    EXPECT_EQ(pdx->RemoveLock.Usage, 2);  // the device's own, and the queued request's

    // Removal starts while the request waits; whichever comes first, the
    // request is answered and the device goes only afterwards.
    NTSTATUS removed = STATUS_UNSUCCESSFUL;
    kmodel::ModelThread pnp([&] { removed = kmodel::RemoveDevice(child->node); });
    KeSetEvent(&workerGate, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    pnp.Join();
    if (iosb.Status == STATUS_SUCCESS) {
        EXPECT_EQ(out, ULONG(DEFAULT_BAUD_RATE));
    } else {
        EXPECT_EQ(iosb.Status, STATUS_DELETE_PENDING);
        EXPECT_EQ(out, 0xBADu);
    }
    EXPECT_EQ(removed, STATUS_SUCCESS);
    EXPECT_TRUE(kmodel::NodeRemoved(child->node));
    deviceLives = false;
}

// A device control that reaches the device before its first open (from a
// kernel-mode sender holding the device object) finds both request queues
// empty, not unset.
TEST_F(SerialDispatchLevel, ControlsBeforeTheFirstOpenFindEmptyQueues) {
    EXPECT_EQ(SendIrp(PASSIVE_LEVEL, IOCTL_SERIAL_SET_WAIT_MASK, Ulong(EV_RXCHAR), 0).final, STATUS_SUCCESS);
    EXPECT_EQ(SendIrp(PASSIVE_LEVEL, IOCTL_SERIAL_PURGE, Ulong(SERIAL_PURGE_RXABORT), 0).final, STATUS_SUCCESS);
    pdx->State = PendingRemove;
    EXPECT_EQ(SendIrp(PASSIVE_LEVEL, IOCTL_SERIAL_GET_BAUD_RATE, {}, 4).final, STATUS_DELETE_PENDING);
    pdx->State = Working;
}

// ---- short buffers ---------------------------------------------------------------------------------

struct Minimum {
    const char* name;
    ULONG code;
    ULONG in;   // input bytes needed
    ULONG out;  // output bytes needed
    std::vector<uint8_t> valid;  // an input the code accepts
};

const std::vector<Minimum>& Minimums() {
    static const std::vector<Minimum> table = {
        {"SET_BAUD_RATE", IOCTL_SERIAL_SET_BAUD_RATE, 4, 0, Ulong(9600)},
        {"SET_LINE_CONTROL", IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0, {STOP_BIT_1, NO_PARITY, 8}},
        {"SET_TIMEOUTS", IOCTL_SERIAL_SET_TIMEOUTS, 20, 0, In(SERIAL_TIMEOUTS{})},
        {"GET_TIMEOUTS", IOCTL_SERIAL_GET_TIMEOUTS, 0, 20, {}},
        {"SET_WAIT_MASK", IOCTL_SERIAL_SET_WAIT_MASK, 4, 0, Ulong(0)},
        {"WAIT_ON_MASK", IOCTL_SERIAL_WAIT_ON_MASK, 0, 4, {}},
        {"PURGE", IOCTL_SERIAL_PURGE, 4, 0, Ulong(0)},
        {"GET_BAUD_RATE", IOCTL_SERIAL_GET_BAUD_RATE, 0, 4, {}},
        {"GET_LINE_CONTROL", IOCTL_SERIAL_GET_LINE_CONTROL, 0, 3, {}},
        {"GET_CHARS", IOCTL_SERIAL_GET_CHARS, 0, 6, {}},
        {"SET_CHARS", IOCTL_SERIAL_SET_CHARS, 6, 0, In(SERIAL_CHARS{})},
        {"GET_HANDFLOW", IOCTL_SERIAL_GET_HANDFLOW, 0, 16, {}},
        {"SET_HANDFLOW", IOCTL_SERIAL_SET_HANDFLOW, 16, 0, In(SERIAL_HANDFLOW{})},
        {"GET_MODEMSTATUS", IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4, {}},
        {"GET_COMMSTATUS", IOCTL_SERIAL_GET_COMMSTATUS, 0, 20, {}},
        {"GET_STATS", IOCTL_SERIAL_GET_STATS, 0, 24, {}},
        {"GET_PROPERTIES", IOCTL_SERIAL_GET_PROPERTIES, 0, 64, {}},
    };
    return table;
}

using SerialShortBuffers = SerialPortTest;

TEST_F(SerialShortBuffers, EachCodeFailsBelowItsMinimumAndWorksAtIt) {
    OpenPort();
    for (const Minimum& m : Minimums()) {
        SCOPED_TRACE(m.name);
        const ULONG need = m.in != 0 ? m.in : m.out;
        for (ULONG length = 0; length < need; ++length) {
            std::vector<uint8_t> in = m.valid;
            in.resize(m.in != 0 ? length : 64, 0);  // plenty of input never makes up for short output
            std::vector<uint8_t> out(m.in != 0 ? 64 : length, 0x5A);
            DWORD bytes = 0xBAD;
            EXPECT_FALSE(Ioctl(m.code, in.data(), static_cast<DWORD>(in.size()), out.data(),
                               static_cast<DWORD>(out.size()), &bytes))
                << length;
            EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER) << length;
            EXPECT_EQ(out, std::vector<uint8_t>(out.size(), 0x5A)) << length;
        }
        std::vector<uint8_t> in = m.valid;
        std::vector<uint8_t> out(m.out, 0x5A);
        DWORD bytes = 0xBAD;
        EXPECT_TRUE(Ioctl(m.code, in.data(), static_cast<DWORD>(in.size()), out.data(), m.out, &bytes));
        EXPECT_EQ(bytes, m.out);
    }
    EXPECT_EQ(Sent(), (Lines{"SET_LINE_CODING 9600 0 0 8", "SET_LINE_CODING 9600 0 0 8", "GET_LINE_CODING"}));
    EXPECT_TRUE(IsListEmpty(&pdx->WaitIrpQueue));
}

// ---- a device going away ------------------------------------------------------------------------------

using SerialGoingAway = SerialPortTest;

// In each of the three states a request is refused at either IRQL, and a
// queued wait ends with the carrier-change event.
TEST_F(SerialGoingAway, EveryRequestIsRefusedAndEndsAQueuedWait) {
    OpenPort();
    for (LONG state : {LONG(PendingRemove), LONG(SurpriseRemoved), LONG(Removed)}) {
        SCOPED_TRACE(state);
        for (KIRQL irql : {KIRQL(PASSIVE_LEVEL), KIRQL(DISPATCH_LEVEL)}) {
            ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
            PendingWait wait;
            StartWait(&wait);
            pdx->State = state;
            IrpOutcome refused = SendIrp(irql, IOCTL_SERIAL_GET_BAUD_RATE, {}, 4);
            EXPECT_EQ(refused.returned, STATUS_DELETE_PENDING);  // at once, never deferred
            EXPECT_EQ(refused.out, std::vector<uint8_t>(4, 0xCC));
            ASSERT_TRUE(Done(&wait));
            ASSERT_TRUE(Finish(&wait));
            EXPECT_EQ(wait.mask, static_cast<DWORD>(SERIAL_EV_RLSD));
            EXPECT_EQ(pdx->EventHistory, 0u);
            pdx->State = Working;
        }
    }
    EXPECT_EQ(Sent(), Lines{});
}

// ---- the sweep -----------------------------------------------------------------------------------------

// What each handled code needs and reports on success.
struct Rule {
    ULONG in;
    ULONG out;
    ULONG information;  // on success
    bool mayRefuse;     // STATUS_INVALID_PARAMETER is an answer
};

const std::map<ULONG, Rule>& Rules() {
    static const std::map<ULONG, Rule> rules = {
        {IOCTL_SERIAL_SET_BAUD_RATE, {4, 0, 0, true}},     {IOCTL_SERIAL_SET_LINE_CONTROL, {3, 0, 0, true}},
        {IOCTL_SERIAL_SET_BREAK_ON, {0, 0, 0, false}},     {IOCTL_SERIAL_SET_BREAK_OFF, {0, 0, 0, false}},
        {IOCTL_SERIAL_SET_TIMEOUTS, {20, 0, 0, false}},    {IOCTL_SERIAL_GET_TIMEOUTS, {0, 20, 20, false}},
        {IOCTL_SERIAL_SET_DTR, {0, 0, 0, true}},           {IOCTL_SERIAL_CLR_DTR, {0, 0, 0, true}},
        {IOCTL_SERIAL_SET_RTS, {0, 0, 0, false}},          {IOCTL_SERIAL_CLR_RTS, {0, 0, 0, false}},
        {IOCTL_SERIAL_SET_WAIT_MASK, {4, 0, 4, true}},     {IOCTL_SERIAL_WAIT_ON_MASK, {0, 4, 4, true}},
        {IOCTL_SERIAL_PURGE, {4, 0, 0, false}},            {IOCTL_SERIAL_GET_BAUD_RATE, {0, 4, 4, false}},
        {IOCTL_SERIAL_GET_LINE_CONTROL, {0, 3, 3, false}}, {IOCTL_SERIAL_GET_CHARS, {0, 6, 6, false}},
        {IOCTL_SERIAL_SET_CHARS, {6, 0, 0, false}},        {IOCTL_SERIAL_GET_HANDFLOW, {0, 16, 16, false}},
        {IOCTL_SERIAL_SET_HANDFLOW, {16, 0, 0, false}},    {IOCTL_SERIAL_GET_MODEMSTATUS, {0, 4, 4, false}},
        {IOCTL_SERIAL_GET_COMMSTATUS, {0, 20, 20, false}}, {IOCTL_SERIAL_GET_STATS, {0, 24, 24, false}},
        {IOCTL_SERIAL_CLEAR_STATS, {0, 0, 0, false}},      {IOCTL_SERIAL_GET_PROPERTIES, {0, 64, 64, false}},
    };
    return rules;
}

// Random bytes, or the shapes that get past the checks more often: one low
// byte and zeros (small masks and flags), or bytes near the values the
// tables hold.
std::vector<uint8_t> Contents(std::mt19937& random, ULONG length) {
    static const uint8_t kNear[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 17, 0xFF};
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> flavour(0, 3);
    std::uniform_int_distribution<size_t> near(0, sizeof(kNear) - 1);
    std::vector<uint8_t> in(length, 0);
    switch (flavour(random)) {
    case 0:
        if (length != 0) {
            in[0] = static_cast<uint8_t>(byte(random));
        }
        break;
    case 1:
        for (uint8_t& b : in) {
            b = kNear[near(random)];
        }
        break;
    default:
        for (uint8_t& b : in) {
            b = static_cast<uint8_t>(byte(random));
        }
        break;
    }
    return in;
}

using SerialSweep = SerialPortTest;

TEST_F(SerialSweep, EveryCodeWithEveryShortOrRandomBufferGetsAnAllowedAnswer) {
    ASSERT_EQ(Rules().size(), 24u);
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(kmodel::io::Open(u"\\??\\COM5", &file), STATUS_SUCCESS);
    kmodel::WaitForQuiescence();
    std::mt19937 random(20240607);
    std::uniform_int_distribution<ULONG> anyLength(0, 64);
    std::map<NTSTATUS, size_t> seen;
    size_t queuedWaits = 0;

    for (ULONG code = 0x001B0000; code <= 0x001B00FF; ++code) {
        auto found = Rules().find(code);
        const Rule* rule = found != Rules().end() ? &found->second : nullptr;
        for (ULONG length = 0; length <= 64; ++length) {
            const std::pair<ULONG, ULONG> shapes[] = {
                {length, length}, {length, anyLength(random)}, {anyLength(random), length}};
            for (auto [inLength, outLength] : shapes) {
                std::vector<uint8_t> in = Contents(random, inLength);
                std::vector<uint8_t> out(outLength, 0xCC);
                kmodel::io::Request request;
                NTSTATUS status = kmodel::io::DeviceControl(file, code, in.data(), inLength, out.data(), outLength,
                                                            &request);
                ULONG_PTR information = NT_ERROR(status) ? 0 : request.IoStatus.Information;
                if (status == STATUS_PENDING) {
                    // Only a wait may stay; a new mask ends it with no events.
                    ASSERT_EQ(code, static_cast<ULONG>(IOCTL_SERIAL_WAIT_ON_MASK));
                    ++queuedWaits;
                    ULONG zero = 0;
                    kmodel::io::Request end;
                    ASSERT_EQ(kmodel::io::DeviceControl(file, IOCTL_SERIAL_SET_WAIT_MASK, &zero, 4, nullptr, 0,
                                                        &end),
                              STATUS_SUCCESS);
                    status = kmodel::io::Wait(&request);
                    information = request.IoStatus.Information;
                    EXPECT_EQ(status, STATUS_SUCCESS);
                    EXPECT_EQ(information, 4u);
                    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 4), std::vector<uint8_t>(4, 0));
                }
                ++seen[status];
                SCOPED_TRACE(testing::Message() << std::hex << "code " << code << std::dec << " in " << inLength
                                                << " out " << outLength);
                if (rule == nullptr) {
                    EXPECT_EQ(status, STATUS_SUCCESS);
                    EXPECT_EQ(information, 0u);
                    EXPECT_EQ(out, std::vector<uint8_t>(outLength, 0xCC));
                    continue;
                }
                if (inLength < rule->in || outLength < rule->out) {
                    EXPECT_EQ(status, STATUS_BUFFER_TOO_SMALL);
                    EXPECT_EQ(out, std::vector<uint8_t>(outLength, 0xCC));
                    continue;
                }
                if (status == STATUS_INVALID_PARAMETER && rule->mayRefuse) {
                    EXPECT_EQ(out, std::vector<uint8_t>(outLength, 0xCC));
                    continue;
                }
                ASSERT_EQ(status, STATUS_SUCCESS);
                ULONG expected = rule->information;
                if (code == IOCTL_SERIAL_SET_WAIT_MASK && outLength < 4) {
                    expected = 0;
                }
                EXPECT_EQ(information, expected);
            }
        }
    }
    EXPECT_TRUE(IsListEmpty(&pdx->WaitIrpQueue));
    kmodel::WaitForQuiescence();
    kmodel::io::CloseHandle(file);
    kmodel::WaitForQuiescence();
    // The sweep met every kind of answer.
    EXPECT_GT(seen[STATUS_SUCCESS], 0u);
    EXPECT_GT(seen[STATUS_BUFFER_TOO_SMALL], 0u);
    EXPECT_GT(seen[STATUS_INVALID_PARAMETER], 0u);
    EXPECT_EQ(seen.size(), 3u);
    EXPECT_GT(queuedWaits, 0u);
}

}  // namespace
}  // namespace qvtest
