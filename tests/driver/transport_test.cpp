// URB transport and the class requests: synchronous and asynchronous sends,
// pipe control, and what the modem receives for each class request.
#include "driver_fixture.h"

#include <deque>

namespace qvtest {
namespace {

// A lower driver whose answer to each URB a test scripts: complete at once,
// or pend and complete later from another thread.
class ScriptedTarget : public usbsim::UrbTarget {
public:
    struct Answer {
        bool pend;
        NTSTATUS status;
    };
    std::deque<Answer> answers;
    std::vector<USHORT> functions;

    NTSTATUS SubmitUrb(PIRP irp, PURB urb) override {
        functions.push_back(urb->UrbHeader.Function);
        Answer a = answers.empty() ? Answer{false, STATUS_SUCCESS} : answers.front();
        if (!answers.empty()) {
            answers.pop_front();
        }
        irp->IoStatus.Status = a.status;
        if (!a.pend) {
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return a.status;
        }
        IoMarkIrpPending(irp);
        kmodel::QueueSystemWork([irp] { IoCompleteRequest(irp, IO_NO_INCREMENT); }, DISPATCH_LEVEL);
        return STATUS_PENDING;
    }
};

class RecordingObserver : public usbsim::UrbObserver {
public:
    void OnUrb(const usbsim::UrbRecord& r) override {
        if (!r.completion) {
            submitted.push_back(r);
        }
    }
    std::vector<usbsim::UrbRecord> submitted;
};

class TransportTest : public DriverTest {
protected:
    ScriptedTarget scripted;
    usbsim::Child* PlugScripted() {
        NTSTATUS status;
        usbsim::Child* child = AddChild(u"COM5", &status);
        EXPECT_EQ(status, STATUS_SUCCESS);
        child->target = &scripted;
        EXPECT_EQ(kmodel::StartDevice(child->node), STATUS_SUCCESS);
        return child;
    }
};

TEST_F(TransportTest, SendAwaitUrbReturnsTheFinalStatusEitherWay) {
    usbsim::Child* child = PlugScripted();
    PDEVICE_OBJECT fdo = Fdo(child);
    scripted.answers = {{false, STATUS_DEVICE_DATA_ERROR}, {true, STATUS_UNSUCCESSFUL}, {true, STATUS_SUCCESS}};
    EXPECT_EQ(ResetPipe(fdo, Extension(child)->BulkInPipe), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(ResetPipe(fdo, Extension(child)->BulkInPipe), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(AbortPipe(fdo, Extension(child)->BulkInPipe), STATUS_SUCCESS);
}

TEST_F(TransportTest, CleanupAllPipesAbortsAllThreeWhenTheFirstFails) {
    usbsim::Child* child = PlugScripted();
    scripted.functions.clear();
    scripted.answers = {{false, STATUS_UNSUCCESSFUL}, {true, STATUS_UNSUCCESSFUL}, {false, STATUS_SUCCESS}};
    CleanupAllPipes(Fdo(child));
    ASSERT_EQ(scripted.functions.size(), 3u);
    for (USHORT f : scripted.functions) {
        EXPECT_EQ(f, URB_FUNCTION_ABORT_PIPE);
    }
}

NTSTATUS NTAPI CountCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    ++*static_cast<int*>(context);
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(TransportTest, SubmitUrbWithoutAnIrpSendsNothingAndNeverCompletes) {
    usbsim::Child* child = PlugScripted();
    PDEVICE_EXTENSION pdx = Extension(child);
    scripted.functions.clear();
    int completions = 0;
    kmodel::FaultPlan plan;
    plan.driver = driver;
    plan.kinds = kmodel::kIrpAllocation;
    plan.failNth = 1;
    kmodel::SetFaultPlan(plan);
    NTSTATUS status;
    kmodel::RunAsDriver(driver, [&] {
        status = SubmitUrb(Fdo(child), &pdx->StatusUrb, CountCompletion, &completions);
    });
    kmodel::ClearFaultPlan();
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    kmodel::WaitForQuiescence();
    EXPECT_EQ(completions, 0);
    EXPECT_TRUE(scripted.functions.empty());

    // With an IRP it goes through the driver's own internal-control routine
    // to the bus, and the routine gets it back.
    pdx->StatusUrb.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
    pdx->StatusUrb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    kmodel::RunAsDriver(driver, [&] { SubmitUrb(Fdo(child), &pdx->StatusUrb, CountCompletion, &completions); });
    kmodel::WaitForQuiescence();
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(scripted.functions.size(), 1u);
    EXPECT_EQ(pdx->RemoveLock.Usage, 1);
}

class ClassRequestTest : public DriverTest {
protected:
    RecordingObserver observer;
    usbsim::Child* child = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    void SetUp() override {
        DriverTest::SetUp();
        child = PlugModem(u"COM5", "5551000");
        Stack().AddObserver(&observer);
        fdo = Fdo(child);
    }
    const usbsim::UrbRecord& Last() { return observer.submitted.back(); }
};

TEST_F(ClassRequestTest, EachRequestReachesTheModemAsTheClassDefinesIt) {
    ASSERT_EQ(setDTR_RTS(fdo, 0x0001), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<uint8_t>(Last().setup, Last().setup + 8),
              std::vector<uint8_t>({0x21, 0x22, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_TRUE(Stack().modem().dtr());
    EXPECT_FALSE(Stack().modem().rts());
    ASSERT_EQ(setDTR_RTS(fdo, 0x0002), STATUS_SUCCESS);  // RTS alone: DTR drops
    EXPECT_FALSE(Stack().modem().dtr());
    EXPECT_TRUE(Stack().modem().rts());

    ASSERT_EQ(SendBreak(fdo, static_cast<SHORT>(0xFFFF)), STATUS_SUCCESS);
    EXPECT_EQ(Last().setup[1], 0x23);
    EXPECT_EQ(Last().setup[2], 0xFF);
    EXPECT_EQ(Last().setup[3], 0xFF);
    EXPECT_TRUE(Stack().modem().breakOn());
    ASSERT_EQ(SendBreak(fdo, 0), STATUS_SUCCESS);
    EXPECT_FALSE(Stack().modem().breakOn());

    ASSERT_EQ(GetLineCode(fdo), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<uint8_t>(Last().setup, Last().setup + 8),
              std::vector<uint8_t>({0xA1, 0x21, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00}));
}

TEST_F(ClassRequestTest, LineCodingReadThenWrittenSendsTheModemsRateBack) {
    PDEVICE_EXTENSION pdx = Extension(child);
    EXPECT_EQ(pdx->LineCoding.DataRate, 0u);
    ASSERT_EQ(GetLineCode(fdo), STATUS_SUCCESS);
    EXPECT_EQ(pdx->LineCoding.DataRate, 115200u);
    EXPECT_EQ(pdx->LineCoding.DataBits, 8);

    pdx->LineCoding.CharFormat = STOP_BITS_2;
    pdx->LineCoding.ParityType = EVEN_PARITY;
    pdx->LineCoding.DataBits = 7;
    ASSERT_EQ(SetLineCode(fdo), STATUS_SUCCESS);
    const usbsim::UrbRecord& set = Last();
    EXPECT_EQ(std::vector<uint8_t>(set.setup, set.setup + 8),
              std::vector<uint8_t>({0x21, 0x20, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00}));
    EXPECT_EQ(set.data, std::vector<uint8_t>({0x00, 0xC2, 0x01, 0x00, 2, 2, 7}));
    EXPECT_EQ(Stack().modem().lineCoding().rate, 115200u);
    EXPECT_EQ(Stack().modem().lineCoding().stopBits, 2);
    EXPECT_EQ(Stack().modem().lineCoding().parity, 2);
    EXPECT_EQ(Stack().modem().lineCoding().dataBits, 7);
    EXPECT_EQ(DriverPool(), 4u);  // the transfer buffers were given back: only the names remain
}

TEST_F(ClassRequestTest, WithoutPoolLineCodingFailsAndNothingReachesTheBus) {
    PDEVICE_EXTENSION pdx = Extension(child);
    pdx->LineCoding.DataRate = 1234;
    size_t before = observer.submitted.size();
    kmodel::FaultPlan plan;
    plan.driver = driver;
    plan.kinds = kmodel::kPoolAllocation;
    plan.randomShare = 1.0;
    kmodel::SetFaultPlan(plan);
    NTSTATUS get, set, dtr, brk;
    kmodel::RunAsDriver(driver, [&] {
        get = GetLineCode(fdo);
        set = SetLineCode(fdo);
        dtr = setDTR_RTS(fdo, 1);
        brk = SendBreak(fdo, 0);
    });
    kmodel::ClearFaultPlan();
    EXPECT_EQ(get, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(set, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(pdx->LineCoding.DataRate, 1234u);
    // The control-line and break requests need no pool of their own.
    EXPECT_EQ(dtr, STATUS_SUCCESS);
    EXPECT_EQ(brk, STATUS_SUCCESS);
    EXPECT_EQ(observer.submitted.size(), before + 2);
}

TEST_F(ClassRequestTest, AFailedClassRequestLeavesLineCodingAlone) {
    PDEVICE_EXTENSION pdx = Extension(child);
    PFILE_OBJECT file;  // keeps the device object until the test is done with it
    ASSERT_EQ(kmodel::io::Open(u"\\??\\COM5", &file), STATUS_SUCCESS);
    pdx->LineCoding.DataRate = 2400;
    Stack().Unplug(bus.get(), child);
    EXPECT_EQ(GetLineCode(fdo), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(pdx->LineCoding.DataRate, 2400u);
    kmodel::io::CloseHandle(file);
}

}  // namespace
}  // namespace qvtest
