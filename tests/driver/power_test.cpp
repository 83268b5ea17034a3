// Power: system and device set-power and query-power requests through the
// driver's state machine, as the parent bus sees them, with a failure at
// every step; requests passed through untouched; removal; a sleep with the
// port open; and every power path with each allocation failing in turn.
#include "port_fixture.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <ostream>

namespace qvtest {
namespace {

constexpr NTSTATUS kBusFailure = STATUS_DEVICE_POWER_FAILURE;

// ---- what the bus saw ---------------------------------------------------------

struct PowerSeen {
    UCHAR minor;
    POWER_STATE_TYPE type;
    LONG state;
    NTSTATUS status;
    bool operator==(const PowerSeen&) const = default;
};

void PrintTo(const PowerSeen& s, std::ostream* os) {
    const char* minor = s.minor == IRP_MN_SET_POWER     ? "SET"
                        : s.minor == IRP_MN_QUERY_POWER ? "QUERY"
                        : s.minor == IRP_MN_WAIT_WAKE   ? "WAIT_WAKE"
                                                        : "other";
    // D0 and S0 are 1 in both enumerations.
    *os << minor << (s.type == DevicePowerState ? " D" : " S") << s.state - 1 << " -> 0x" << std::hex
        << static_cast<ULONG>(s.status) << std::dec;
}

PowerSeen Sys(UCHAR minor, SYSTEM_POWER_STATE state, NTSTATUS status = STATUS_SUCCESS) {
    return {minor, SystemPowerState, static_cast<LONG>(state), status};
}

PowerSeen Dev(UCHAR minor, DEVICE_POWER_STATE state, NTSTATUS status = STATUS_SUCCESS) {
    return {minor, DevicePowerState, static_cast<LONG>(state), status};
}

std::vector<PowerSeen> PowerEvents(const usbsim::Child* child) {
    std::vector<PowerSeen> seen;
    for (const usbsim::BusEvent& e : child->events) {
        if (e.major != IRP_MJ_POWER) {
            continue;
        }
        if (e.minor == IRP_MN_SET_POWER || e.minor == IRP_MN_QUERY_POWER) {
            LONG state = e.powerType == DevicePowerState ? static_cast<LONG>(e.powerState.DeviceState)
                                                         : static_cast<LONG>(e.powerState.SystemState);
            seen.push_back({e.minor, e.powerType, state, e.status});
        } else {
            seen.push_back({e.minor, SystemPowerState, 0, e.status});
        }
    }
    return seen;
}

// ---- sending requests -----------------------------------------------------------

// A power IRP as the power manager sends one to the top of the stack; its
// final status is read once it has completed.
class PowerIrp {
public:
    PowerIrp(usbsim::Child* child, UCHAR minor, POWER_STATE_TYPE type, LONG state) {
        PDEVICE_OBJECT top = kmodel::TopOfStack(child->node);
        KeInitializeEvent(&event_, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(0, top, nullptr, 0, nullptr, 0, FALSE, &event_, &iosb_);
        PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
        sp->MajorFunction = IRP_MJ_POWER;
        sp->MinorFunction = minor;
        std::memset(&sp->Parameters, 0, sizeof(sp->Parameters));
        if (minor == IRP_MN_WAIT_WAKE) {
            sp->Parameters.WaitWake.PowerState = static_cast<SYSTEM_POWER_STATE>(state);
        } else {
            sp->Parameters.Power.Type = type;
            if (type == DevicePowerState) {
                sp->Parameters.Power.State.DeviceState = static_cast<DEVICE_POWER_STATE>(state);
            } else {
                sp->Parameters.Power.State.SystemState = static_cast<SYSTEM_POWER_STATE>(state);
                sp->Parameters.Power.ShutdownType = state > PowerSystemWorking ? PowerActionSleep : PowerActionNone;
            }
        }
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        returned_ = PoCallDriver(top, irp);
    }
    PowerIrp(const PowerIrp&) = delete;
    PowerIrp& operator=(const PowerIrp&) = delete;

    NTSTATUS returned() const { return returned_; }
    bool completed() { return returned_ != STATUS_PENDING || KeReadStateEvent(&event_) != 0; }
    // The final status, or STATUS_PENDING while the IRP is still out.
    NTSTATUS status() {
        if (returned_ != STATUS_PENDING) {
            return returned_;
        }
        return completed() ? iosb_.Status : STATUS_PENDING;
    }

private:
    KEVENT event_;
    IO_STATUS_BLOCK iosb_{};
    NTSTATUS returned_;
};

NTSTATUS SendPower(usbsim::Child* child, UCHAR minor, POWER_STATE_TYPE type, LONG state) {
    PowerIrp irp(child, minor, type, state);
    kmodel::WaitForQuiescence();
    return irp.status();
}

NTSTATUS SetSystem(usbsim::Child* child, SYSTEM_POWER_STATE state) {
    return SendPower(child, IRP_MN_SET_POWER, SystemPowerState, state);
}

NTSTATUS QuerySystem(usbsim::Child* child, SYSTEM_POWER_STATE state) {
    return SendPower(child, IRP_MN_QUERY_POWER, SystemPowerState, state);
}

// A device request as another policy owner would ask for one.
struct DeviceRequest {
    int callbacks = 0;
    NTSTATUS status = STATUS_PENDING;

    static VOID NTAPI Done(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK iosb) {
        auto* self = static_cast<DeviceRequest*>(context);
        self->status = iosb->Status;
        self->callbacks++;
    }
};

NTSTATUS RequestDevice(usbsim::Child* child, UCHAR minor, DEVICE_POWER_STATE state) {
    DeviceRequest request;
    POWER_STATE ps;
    ps.DeviceState = state;
    EXPECT_EQ(PoRequestPowerIrp(child->pdo, minor, ps, DeviceRequest::Done, &request, nullptr), STATUS_PENDING);
    kmodel::WaitForQuiescence();
    EXPECT_LE(request.callbacks, 1);
    return request.callbacks == 1 ? request.status : STATUS_PENDING;
}

NTSTATUS SetDevice(usbsim::Child* child, DEVICE_POWER_STATE state) {
    return RequestDevice(child, IRP_MN_SET_POWER, state);
}

NTSTATUS QueryDevice(usbsim::Child* child, DEVICE_POWER_STATE state) {
    return RequestDevice(child, IRP_MN_QUERY_POWER, state);
}

class PowerTest : public DriverTest {
protected:
    // A started device with the bus's record of its start cleared.
    usbsim::Child* PlugQuiet() {
        usbsim::Child* child = Plug(u"COM5");
        child->events.clear();
        return child;
    }

    // Puts the device to sleep with the system (S3, D3) and clears the record.
    void Sleep(usbsim::Child* child) {
        ASSERT_EQ(SetSystem(child, PowerSystemSleeping3), STATUS_SUCCESS);
        ASSERT_EQ(Extension(child)->SystemPower, PowerSystemSleeping3);
        ASSERT_EQ(Extension(child)->DevicePower, PowerDeviceD3);
        child->events.clear();
    }

    // The machine gave everything back: its holds and its contexts.
    void ExpectSettled(usbsim::Child* child, size_t poolBefore) {
        EXPECT_EQ(Extension(child)->RemoveLock.Usage, 1);
        EXPECT_EQ(DriverPool(), poolBefore);
    }

    void FailNth(kmodel::AllocationKind kinds, uint64_t n) {
        kmodel::FaultPlan plan;
        plan.kinds = kinds;
        plan.driver = driver;
        plan.failNth = n;
        kmodel::SetFaultPlan(plan);
    }
};

// ---- system requests that raise power ---------------------------------------------

using PowerSystemRisingTest = PowerTest;

TEST_F(PowerSystemRisingTest, SystemRequestGoesDownFirstThenD0IsAskedForAndItsStatusCompletesIt) {
    usbsim::Child* child = PlugQuiet();
    Sleep(child);
    size_t pool = DriverPool();
    PowerIrp irp(child, IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking);
    EXPECT_EQ(irp.returned(), STATUS_PENDING);
    kmodel::WaitForQuiescence();
    EXPECT_EQ(irp.status(), STATUS_SUCCESS);
    EXPECT_EQ(PowerEvents(child), (std::vector<PowerSeen>{Sys(IRP_MN_SET_POWER, PowerSystemWorking),
                                                          Dev(IRP_MN_SET_POWER, PowerDeviceD0)}));
    PDEVICE_EXTENSION pdx = Extension(child);
    EXPECT_EQ(pdx->SystemPower, PowerSystemWorking);
    EXPECT_EQ(pdx->DevicePower, PowerDeviceD0);
    ExpectSettled(child, pool);
}

TEST_F(PowerSystemRisingTest, D0IsAskedForWhateverTheCapabilitiesMapWorkingTo) {
    usbsim::Child* child = PlugQuiet();
    child->options.deviceState[PowerSystemWorking] = PowerDeviceD2;
    DEVICE_CAPABILITIES caps;
    ASSERT_EQ(kmodel::QueryCapabilities(child->node, &caps), STATUS_SUCCESS);
    ASSERT_EQ(Extension(child)->DeviceCaps.DeviceState[PowerSystemWorking], PowerDeviceD2);
    Sleep(child);
    EXPECT_EQ(SetSystem(child, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(PowerEvents(child), (std::vector<PowerSeen>{Sys(IRP_MN_SET_POWER, PowerSystemWorking),
                                                          Dev(IRP_MN_SET_POWER, PowerDeviceD0)}));
    EXPECT_EQ(Extension(child)->DevicePower, PowerDeviceD0);
}

// The highest IRQL the driver's power dispatch routine was called at.
std::atomic<int> highestDispatchIrql{PASSIVE_LEVEL};

NTSTATUS NTAPI IrqlRecordingDispatchPower(PDEVICE_OBJECT fdo, PIRP irp) {
    int irql = KeGetCurrentIrql();
    int seen = highestDispatchIrql.load();
    while (irql > seen && !highestDispatchIrql.compare_exchange_weak(seen, irql)) {
    }
    return DispatchPower(fdo, irp);
}

// With the bus answering later, from its own thread at DISPATCH_LEVEL: the
// system request is held by the driver until the device request is done,
// and the device request, asked for at DISPATCH_LEVEL, still reaches the
// pageable stack at PASSIVE_LEVEL.
TEST_F(PowerSystemRisingTest, SystemRequestCompletesOnlyAfterTheDeviceRequestWhenTheBusAnswersLater) {
    usbsim::Child* child = PlugQuiet();
    Sleep(child);
    size_t pool = DriverPool();
    child->options.holdPower = true;
    highestDispatchIrql = PASSIVE_LEVEL;
    driver->MajorFunction[IRP_MJ_POWER] = IrqlRecordingDispatchPower;
    PowerIrp irp(child, IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking);
    EXPECT_EQ(irp.returned(), STATUS_PENDING);
    kmodel::WaitForQuiescence();
    EXPECT_EQ(PowerEvents(child), (std::vector<PowerSeen>{Sys(IRP_MN_SET_POWER, PowerSystemWorking)}));
    EXPECT_EQ(Extension(child)->SystemPower, PowerSystemSleeping3);

    usbsim::CompleteHeldPower(child);  // the system request comes back
    kmodel::WaitForQuiescence();
    EXPECT_EQ(PowerEvents(child), (std::vector<PowerSeen>{Sys(IRP_MN_SET_POWER, PowerSystemWorking),
                                                          Dev(IRP_MN_SET_POWER, PowerDeviceD0)}));
    EXPECT_FALSE(irp.completed());
    EXPECT_EQ(Extension(child)->SystemPower, PowerSystemWorking);
    EXPECT_EQ(Extension(child)->DevicePower, PowerDeviceD3);
    EXPECT_EQ(Extension(child)->RemoveLock.Usage, 3);  // one hold per request in the machine

    usbsim::CompleteHeldPower(child);  // the device request comes back
    kmodel::WaitForQuiescence();
    EXPECT_EQ(irp.status(), STATUS_SUCCESS);
    EXPECT_EQ(Extension(child)->DevicePower, PowerDeviceD0);
    ExpectSettled(child, pool);
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    EXPECT_EQ(highestDispatchIrql, PASSIVE_LEVEL);
}

// A system set-power request is never failed: the bus's success stands,
// and the device stays where it was.
TEST_F(PowerSystemRisingTest, AFailedDeviceRequestLeavesTheSystemRequestTheBusStatus) {
    usbsim::Child* child = PlugQuiet();
    Sleep(child);
    child->options.failDevicePower = kBusFailure;
    size_t pool = DriverPool();
    EXPECT_EQ(SetSystem(child, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(PowerEvents(child), (std::vector<PowerSeen>{Sys(IRP_MN_SET_POWER, PowerSystemWorking),
                                                          Dev(IRP_MN_SET_POWER, PowerDeviceD0, kBusFailure)}));
    EXPECT_EQ(Extension(child)->SystemPower, PowerSystemWorking);
    EXPECT_EQ(Extension(child)->DevicePower, PowerDeviceD3);
    ExpectSettled(child, pool);
}

TEST_F(PowerSystemRisingTest, ALowerDriverFailureAsksForNoDeviceRequest) {
    usbsim::Child* child = PlugQuiet();
    Sleep(child);
    child->options.failSystemPower = kBusFailure;
    size_t pool = DriverPool();
    EXPECT_EQ(SetSystem(child, PowerSystemWorking), kBusFailure);
    EXPECT_EQ(PowerEvents(child), (std::vector<PowerSeen>{Sys(IRP_MN_SET_POWER, PowerSystemWorking, kBusFailure)}));
    EXPECT_EQ(Extension(child)->SystemPower, PowerSystemSleeping3);
    EXPECT_EQ(Extension(child)->DevicePower, PowerDeviceD3);
    ExpectSettled(child, pool);
}

// The system request had already succeeded below; it goes on with that
// status (a system set-power request is not to be failed), and the device
// stays where it was.
TEST_F(PowerSystemRisingTest, AFailedPoRequestPowerIrpLetsTheCompletionGoOnWithTheLowerStatus) {
    usbsim::Child* child = PlugQuiet();
    Sleep(child);
    size_t pool = DriverPool();
    FailNth(kmodel::kIrpAllocation, 1);
    EXPECT_EQ(SetSystem(child, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(kmodel::FailedAllocations(), 1u);
    kmodel::ClearFaultPlan();
    EXPECT_EQ(PowerEvents(child), (std::vector<PowerSeen>{Sys(IRP_MN_SET_POWER, PowerSystemWorking)}));
    EXPECT_EQ(Extension(child)->SystemPower, PowerSystemWorking);
    EXPECT_EQ(Extension(child)->DevicePower, PowerDeviceD3);
    ExpectSettled(child, pool);
}

TEST_F(PowerSystemRisingTest, AQueryForAHigherStateLeadsToADeviceQueryAndChangesNothing) {
    usbsim::Child* child = PlugQuiet();
    Sleep(child);
    EXPECT_EQ(QuerySystem(child, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(PowerEvents(child), (std::vector<PowerSeen>{Sys(IRP_MN_QUERY_POWER, PowerSystemWorking),
                                                          Dev(IRP_MN_QUERY_POWER, PowerDeviceD0)}));
    EXPECT_EQ(Extension(child)->SystemPower, PowerSystemSleeping3);
    EXPECT_EQ(Extension(child)->DevicePower, PowerDeviceD3);
}

// ---- system requests that lower or keep power -----------------------------------

using PowerSystemFallingTest = PowerTest;

TEST_F(PowerSystemFallingTest, TheDeviceRequestGoesFirstAndTheSystemRequestFollows) {
    usbsim::Child* child = PlugQuiet();
    size_t pool = DriverPool();
    PowerIrp irp(child, IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3);
    EXPECT_EQ(irp.returned(), STATUS_PENDING);
    kmodel::WaitForQuiescence();
    EXPECT_EQ(irp.status(), STATUS_SUCCESS);
    EXPECT_EQ(PowerEvents(child), (std::vector<PowerSeen>{Dev(IRP_MN_SET_POWER, PowerDeviceD3),
                                                          Sys(IRP_MN_SET_POWER, PowerSystemSleeping3)}));
    EXPECT_EQ(Extension(child)->SystemPower, PowerSystemSleeping3);
    EXPECT_EQ(Extension(child)->DevicePower, PowerDeviceD3);
    ExpectSettled(child, pool);
}

TEST_F(PowerSystemFallingTest, TheSystemRequestWaitsForTheDeviceRequestWhenTheBusAnswersLater) {
    usbsim::Child* child = PlugQuiet();
    size_t pool = DriverPool();
    child->options.holdPower = true;
    PowerIrp irp(child, IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3);
    kmodel::WaitForQuiescence();
    EXPECT_EQ(PowerEvents(child), (std::vector<PowerSeen>{Dev(IRP_MN_SET_POWER, PowerDeviceD3)}));
    EXPECT_EQ(Extension(child)->DevicePower, PowerDeviceD3);  // recorded before it went down
    usbsim::CompleteHeldPower(child);
    kmodel::WaitForQuiescence();
    EXPECT_EQ(PowerEvents(child), (std::vector<PowerSeen>{Dev(IRP_MN_SET_POWER, PowerDeviceD3),
                                                          Sys(IRP_MN_SET_POWER, PowerSystemSleeping3)}));
    EXPECT_FALSE(irp.completed());
    EXPECT_EQ(Extension(child)->SystemPower, PowerSystemWorking);
    usbsim::CompleteHeldPower(child);
    kmodel::WaitForQuiescence();
    EXPECT_EQ(irp.status(), STATUS_SUCCESS);
    EXPECT_EQ(Extension(child)->SystemPower, PowerSystemSleeping3);
    ExpectSettled(child, pool);
}

// Whatever the bus maps a sleeping state to (D1, D2, unspecified, even D0
// or no state at all), the device is asked to go to D3.
TEST_F(PowerSystemFallingTest, EverySleepingStateAsksForD3WhateverTheCapabilitiesSay) {
    usbsim::Child* child = PlugQuiet();
    struct Case {
        SYSTEM_POWER_STATE system;
        DEVICE_POWER_STATE mapped;
    };
    const Case cases[] = {
        {PowerSystemSleeping1, PowerDeviceD1},          {PowerSystemSleeping2, PowerDeviceD2},
        {PowerSystemSleeping3, PowerDeviceUnspecified}, {PowerSystemHibernate, PowerDeviceD3},
        {PowerSystemShutdown, PowerDeviceD0},           {PowerSystemSleeping3, PowerDeviceMaximum},
    };
    for (const Case& c : cases) {
        child->options.deviceState[c.system] = c.mapped;
        DEVICE_CAPABILITIES caps;
        ASSERT_EQ(kmodel::QueryCapabilities(child->node, &caps), STATUS_SUCCESS);
        ASSERT_EQ(Extension(child)->DeviceCaps.DeviceState[c.system], c.mapped);
        child->events.clear();
        EXPECT_EQ(SetSystem(child, c.system), STATUS_SUCCESS);
        EXPECT_EQ(PowerEvents(child), (std::vector<PowerSeen>{Dev(IRP_MN_SET_POWER, PowerDeviceD3),
                                                              Sys(IRP_MN_SET_POWER, c.system)}))
            << "S" << c.system - 1 << " mapped to D" << c.mapped - 1;
        EXPECT_EQ(Extension(child)->DevicePower, PowerDeviceD3);
        ASSERT_EQ(SetSystem(child, PowerSystemWorking), STATUS_SUCCESS);
        ASSERT_EQ(Extension(child)->DevicePower, PowerDeviceD0);
    }
}

// A system state beyond the capability map is not looked up in it (the
// sanitizer build checks the array bounds).
TEST_F(PowerSystemFallingTest, AStateOutsideTheCapabilityMapAsksForD3) {
    usbsim::Child* child = PlugQuiet();
    const LONG outside = PowerSystemMaximum;
    EXPECT_EQ(SendPower(child, IRP_MN_QUERY_POWER, SystemPowerState, outside), STATUS_SUCCESS);
    EXPECT_EQ(PowerEvents(child), (std::vector<PowerSeen>{Dev(IRP_MN_QUERY_POWER, PowerDeviceD3),
                                                          PowerSeen{IRP_MN_QUERY_POWER, SystemPowerState, outside,
                                                                    STATUS_SUCCESS}}));
}

TEST_F(PowerSystemFallingTest, TheStateTheSystemIsInIsHandledAsFalling) {
    usbsim::Child* child = PlugQuiet();
    EXPECT_EQ(SetSystem(child, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(PowerEvents(child), (std::vector<PowerSeen>{Dev(IRP_MN_SET_POWER, PowerDeviceD0),
                                                          Sys(IRP_MN_SET_POWER, PowerSystemWorking)}));
    EXPECT_EQ(Extension(child)->SystemPower, PowerSystemWorking);
    EXPECT_EQ(Extension(child)->DevicePower, PowerDeviceD0);

    Sleep(child);
    EXPECT_EQ(SetSystem(child, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(PowerEvents(child), (std::vector<PowerSeen>{Dev(IRP_MN_SET_POWER, PowerDeviceD3),
                                                          Sys(IRP_MN_SET_POWER, PowerSystemSleeping3)}));
    EXPECT_EQ(Extension(child)->SystemPower, PowerSystemSleeping3);
    EXPECT_EQ(Extension(child)->DevicePower, PowerDeviceD3);
}

// A system set-power request always reaches the bus, whatever the device
// request did.
TEST_F(PowerSystemFallingTest, AFailedDeviceRequestStillLetsTheSystemRequestReachTheBus) {
    usbsim::Child* child = PlugQuiet();
    child->options.failDevicePower = kBusFailure;
    size_t pool = DriverPool();
    EXPECT_EQ(SetSystem(child, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(PowerEvents(child), (std::vector<PowerSeen>{Dev(IRP_MN_SET_POWER, PowerDeviceD3, kBusFailure),
                                                          Sys(IRP_MN_SET_POWER, PowerSystemSleeping3)}));
    EXPECT_EQ(Extension(child)->SystemPower, PowerSystemSleeping3);
    EXPECT_EQ(Extension(child)->DevicePower, PowerDeviceD3);  // recorded before the device request went down
    ExpectSettled(child, pool);
}

TEST_F(PowerSystemFallingTest, ALowerDriverFailureStillRecordsTheSystemState) {
    usbsim::Child* child = PlugQuiet();
    child->options.failSystemPower = kBusFailure;
    size_t pool = DriverPool();
    EXPECT_EQ(SetSystem(child, PowerSystemSleeping3), kBusFailure);
    EXPECT_EQ(PowerEvents(child), (std::vector<PowerSeen>{Dev(IRP_MN_SET_POWER, PowerDeviceD3),
                                                          Sys(IRP_MN_SET_POWER, PowerSystemSleeping3, kBusFailure)}));
    EXPECT_EQ(Extension(child)->SystemPower, PowerSystemSleeping3);
    EXPECT_EQ(Extension(child)->DevicePower, PowerDeviceD3);
    ExpectSettled(child, pool);
}

TEST_F(PowerSystemFallingTest, AFailedPoRequestPowerIrpStillLetsTheSystemRequestReachTheBus) {
    usbsim::Child* child = PlugQuiet();
    size_t pool = DriverPool();
    FailNth(kmodel::kIrpAllocation, 1);
    PowerIrp irp(child, IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3);
    EXPECT_EQ(irp.returned(), STATUS_PENDING);
    kmodel::WaitForQuiescence();
    EXPECT_EQ(irp.status(), STATUS_SUCCESS);
    EXPECT_EQ(kmodel::FailedAllocations(), 1u);
    kmodel::ClearFaultPlan();
    EXPECT_EQ(PowerEvents(child), (std::vector<PowerSeen>{Sys(IRP_MN_SET_POWER, PowerSystemSleeping3)}));
    EXPECT_EQ(Extension(child)->SystemPower, PowerSystemSleeping3);
    EXPECT_EQ(Extension(child)->DevicePower, PowerDeviceD0);  // no device request was made
    ExpectSettled(child, pool);
}

// ---- system queries -------------------------------------------------------------------

using PowerSystemQueryTest = PowerTest;

TEST_F(PowerSystemQueryTest, AQueryLeadsToADeviceQueryAndChangesNothing) {
    usbsim::Child* child = PlugQuiet();
    size_t pool = DriverPool();
    EXPECT_EQ(QuerySystem(child, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(PowerEvents(child), (std::vector<PowerSeen>{Dev(IRP_MN_QUERY_POWER, PowerDeviceD3),
                                                          Sys(IRP_MN_QUERY_POWER, PowerSystemSleeping3)}));
    EXPECT_EQ(Extension(child)->SystemPower, PowerSystemWorking);
    EXPECT_EQ(Extension(child)->DevicePower, PowerDeviceD0);
    ExpectSettled(child, pool);
}

TEST_F(PowerSystemQueryTest, ARefusedDeviceQueryRefusesTheSystemQuery) {
    usbsim::Child* child = PlugQuiet();
    child->options.failDevicePower = kBusFailure;
    EXPECT_EQ(QuerySystem(child, PowerSystemSleeping3), kBusFailure);
    EXPECT_EQ(PowerEvents(child), (std::vector<PowerSeen>{Dev(IRP_MN_QUERY_POWER, PowerDeviceD3, kBusFailure)}));
    EXPECT_EQ(Extension(child)->SystemPower, PowerSystemWorking);
    EXPECT_EQ(Extension(child)->DevicePower, PowerDeviceD0);
}

TEST_F(PowerSystemQueryTest, ALowerRefusalIsTheAnswer) {
    usbsim::Child* child = PlugQuiet();
    child->options.failSystemPower = kBusFailure;
    EXPECT_EQ(QuerySystem(child, PowerSystemSleeping3), kBusFailure);
    EXPECT_EQ(PowerEvents(child), (std::vector<PowerSeen>{Dev(IRP_MN_QUERY_POWER, PowerDeviceD3),
                                                          Sys(IRP_MN_QUERY_POWER, PowerSystemSleeping3, kBusFailure)}));
    EXPECT_EQ(Extension(child)->SystemPower, PowerSystemWorking);
    EXPECT_EQ(Extension(child)->DevicePower, PowerDeviceD0);
}

TEST_F(PowerSystemQueryTest, AFailedPoRequestPowerIrpRefusesTheQuery) {
    usbsim::Child* child = PlugQuiet();
    size_t pool = DriverPool();
    FailNth(kmodel::kIrpAllocation, 1);
    EXPECT_EQ(QuerySystem(child, PowerSystemSleeping3), STATUS_INSUFFICIENT_RESOURCES);
    kmodel::ClearFaultPlan();
    EXPECT_TRUE(PowerEvents(child).empty());
    ExpectSettled(child, pool);
}

// The power manager's own transitions: sleep and shutdown are queried first.
TEST_F(PowerSystemQueryTest, SleepResumeAndShutdownAsThePowerManagerRunsThem) {
    usbsim::Child* child = PlugQuiet();
    size_t pool = DriverPool();
    EXPECT_EQ(kmodel::SetSystemPowerState(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(kmodel::SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(PowerEvents(child), (std::vector<PowerSeen>{
                                      Dev(IRP_MN_QUERY_POWER, PowerDeviceD3),
                                      Sys(IRP_MN_QUERY_POWER, PowerSystemSleeping3),
                                      Dev(IRP_MN_SET_POWER, PowerDeviceD3),
                                      Sys(IRP_MN_SET_POWER, PowerSystemSleeping3),
                                      Sys(IRP_MN_SET_POWER, PowerSystemWorking),
                                      Dev(IRP_MN_SET_POWER, PowerDeviceD0),
                                  }));
    EXPECT_EQ(Extension(child)->SystemPower, PowerSystemWorking);
    EXPECT_EQ(Extension(child)->DevicePower, PowerDeviceD0);
    ExpectSettled(child, pool);

    child->events.clear();
    EXPECT_EQ(kmodel::SetSystemPowerState(PowerSystemShutdown), STATUS_SUCCESS);
    EXPECT_EQ(PowerEvents(child), (std::vector<PowerSeen>{
                                      Dev(IRP_MN_QUERY_POWER, PowerDeviceD3),
                                      Sys(IRP_MN_QUERY_POWER, PowerSystemShutdown),
                                      Dev(IRP_MN_SET_POWER, PowerDeviceD3),
                                      Sys(IRP_MN_SET_POWER, PowerSystemShutdown),
                                  }));
    EXPECT_EQ(Extension(child)->SystemPower, PowerSystemShutdown);
    ExpectSettled(child, pool);
}

// ---- device set-power -------------------------------------------------------------------

using PowerDeviceSetTest = PowerTest;

TEST_F(PowerDeviceSetTest, RisingPowerIsRecordedAfterTheBusSucceeded) {
    usbsim::Child* child = PlugQuiet();
    ASSERT_EQ(SetDevice(child, PowerDeviceD3), STATUS_SUCCESS);
    size_t pool = DriverPool();
    child->options.holdPower = true;
    child->events.clear();
    DeviceRequest request;
    POWER_STATE d2;
    d2.DeviceState = PowerDeviceD2;
    ASSERT_EQ(PoRequestPowerIrp(child->pdo, IRP_MN_SET_POWER, d2, DeviceRequest::Done, &request, nullptr),
              STATUS_PENDING);
    kmodel::WaitForQuiescence();
    EXPECT_EQ(PowerEvents(child), (std::vector<PowerSeen>{Dev(IRP_MN_SET_POWER, PowerDeviceD2)}));
    EXPECT_EQ(Extension(child)->DevicePower, PowerDeviceD3);  // not yet
    usbsim::CompleteHeldPower(child);
    kmodel::WaitForQuiescence();
    EXPECT_EQ(request.callbacks, 1);
    EXPECT_EQ(request.status, STATUS_SUCCESS);
    EXPECT_EQ(Extension(child)->DevicePower, PowerDeviceD2);
    child->options.holdPower = false;

    EXPECT_EQ(SetDevice(child, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(Extension(child)->DevicePower, PowerDeviceD0);
    EXPECT_EQ(PowerEvents(child), (std::vector<PowerSeen>{Dev(IRP_MN_SET_POWER, PowerDeviceD2),
                                                          Dev(IRP_MN_SET_POWER, PowerDeviceD0)}));
    EXPECT_EQ(Extension(child)->SystemPower, PowerSystemWorking);
    ExpectSettled(child, pool);
}

TEST_F(PowerDeviceSetTest, ABusFailureWhileRisingKeepsTheOldState) {
    usbsim::Child* child = PlugQuiet();
    ASSERT_EQ(SetDevice(child, PowerDeviceD3), STATUS_SUCCESS);
    child->options.failDevicePower = kBusFailure;
    size_t pool = DriverPool();
    EXPECT_EQ(SetDevice(child, PowerDeviceD0), kBusFailure);
    EXPECT_EQ(Extension(child)->DevicePower, PowerDeviceD3);
    ExpectSettled(child, pool);
}

TEST_F(PowerDeviceSetTest, FallingPowerIsRecordedBeforeTheRequestGoesDown) {
    usbsim::Child* child = PlugQuiet();
    size_t pool = DriverPool();
    child->options.holdPower = true;
    DeviceRequest request;
    POWER_STATE d2;
    d2.DeviceState = PowerDeviceD2;
    ASSERT_EQ(PoRequestPowerIrp(child->pdo, IRP_MN_SET_POWER, d2, DeviceRequest::Done, &request, nullptr),
              STATUS_PENDING);
    kmodel::WaitForQuiescence();
    EXPECT_EQ(Extension(child)->DevicePower, PowerDeviceD2);  // already
    EXPECT_EQ(request.callbacks, 0);
    usbsim::CompleteHeldPower(child);
    kmodel::WaitForQuiescence();
    EXPECT_EQ(request.status, STATUS_SUCCESS);
    child->options.holdPower = false;

    EXPECT_EQ(SetDevice(child, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(Extension(child)->DevicePower, PowerDeviceD3);
    EXPECT_EQ(PowerEvents(child), (std::vector<PowerSeen>{Dev(IRP_MN_SET_POWER, PowerDeviceD2),
                                                          Dev(IRP_MN_SET_POWER, PowerDeviceD3)}));
    EXPECT_EQ(Extension(child)->SystemPower, PowerSystemWorking);
    ExpectSettled(child, pool);
}

TEST_F(PowerDeviceSetTest, ABusFailureWhileFallingKeepsTheNewState) {
    usbsim::Child* child = PlugQuiet();
    child->options.failDevicePower = kBusFailure;
    size_t pool = DriverPool();
    EXPECT_EQ(SetDevice(child, PowerDeviceD3), kBusFailure);
    EXPECT_EQ(Extension(child)->DevicePower, PowerDeviceD3);
    EXPECT_EQ(PowerEvents(child), (std::vector<PowerSeen>{Dev(IRP_MN_SET_POWER, PowerDeviceD3, kBusFailure)}));
    ExpectSettled(child, pool);
}

TEST_F(PowerDeviceSetTest, TheCurrentStateIsPassedDownAndLeavesTheStateAlone) {
    usbsim::Child* child = PlugQuiet();
    EXPECT_EQ(SetDevice(child, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(Extension(child)->DevicePower, PowerDeviceD0);
    ASSERT_EQ(SetDevice(child, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(SetDevice(child, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(Extension(child)->DevicePower, PowerDeviceD3);
    EXPECT_EQ(PowerEvents(child), (std::vector<PowerSeen>{Dev(IRP_MN_SET_POWER, PowerDeviceD0),
                                                          Dev(IRP_MN_SET_POWER, PowerDeviceD3),
                                                          Dev(IRP_MN_SET_POWER, PowerDeviceD3)}));
}

// Without pool for its context a request is completed at once and never
// reaches the bus.
TEST_F(PowerDeviceSetTest, WithoutPoolTheRequestFailsAndNothingChanges) {
    usbsim::Child* child = PlugQuiet();
    size_t pool = DriverPool();
    FailNth(kmodel::kPoolAllocation, 1);
    PowerIrp irp(child, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3);
    EXPECT_EQ(irp.returned(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(kmodel::FailedAllocations(), 1u);
    kmodel::ClearFaultPlan();
    EXPECT_TRUE(PowerEvents(child).empty());
    EXPECT_EQ(Extension(child)->DevicePower, PowerDeviceD0);
    ExpectSettled(child, pool);
}

// ---- device queries -----------------------------------------------------------------------

using PowerDeviceQueryTest = PowerTest;

TEST_F(PowerDeviceQueryTest, QueriesEitherWayArePassedDownAndChangeNothing) {
    usbsim::Child* child = PlugQuiet();
    size_t pool = DriverPool();
    EXPECT_EQ(QueryDevice(child, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(QueryDevice(child, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(Extension(child)->DevicePower, PowerDeviceD0);
    ASSERT_EQ(SetDevice(child, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(QueryDevice(child, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(QueryDevice(child, PowerDeviceD2), STATUS_SUCCESS);
    EXPECT_EQ(Extension(child)->DevicePower, PowerDeviceD3);
    EXPECT_EQ(Extension(child)->SystemPower, PowerSystemWorking);
    EXPECT_EQ(PowerEvents(child), (std::vector<PowerSeen>{
                                      Dev(IRP_MN_QUERY_POWER, PowerDeviceD3),
                                      Dev(IRP_MN_QUERY_POWER, PowerDeviceD0),
                                      Dev(IRP_MN_SET_POWER, PowerDeviceD3),
                                      Dev(IRP_MN_QUERY_POWER, PowerDeviceD0),
                                      Dev(IRP_MN_QUERY_POWER, PowerDeviceD2),
                                  }));
    ExpectSettled(child, pool);
}

TEST_F(PowerDeviceQueryTest, TheBusAnswerIsTheAnswerEitherWay) {
    usbsim::Child* child = PlugQuiet();
    child->options.failDevicePower = kBusFailure;
    EXPECT_EQ(QueryDevice(child, PowerDeviceD3), kBusFailure);
    child->options.failDevicePower = STATUS_SUCCESS;
    ASSERT_EQ(SetDevice(child, PowerDeviceD3), STATUS_SUCCESS);
    child->options.failDevicePower = kBusFailure;
    EXPECT_EQ(QueryDevice(child, PowerDeviceD0), kBusFailure);
    EXPECT_EQ(Extension(child)->DevicePower, PowerDeviceD3);
}

TEST_F(PowerDeviceQueryTest, WithoutPoolTheQueryIsRefused) {
    usbsim::Child* child = PlugQuiet();
    FailNth(kmodel::kPoolAllocation, 1);
    EXPECT_EQ(QueryDevice(child, PowerDeviceD3), STATUS_INSUFFICIENT_RESOURCES);
    kmodel::ClearFaultPlan();
    EXPECT_TRUE(PowerEvents(child).empty());
}

// ---- other power requests -------------------------------------------------------------------

using PowerPassThroughTest = PowerTest;

// Passed down as they came, after PoStartNextPowerIrp (the verifier stops
// the test if it is missing), with no context.
TEST_F(PowerPassThroughTest, WaitWakeAndPowerSequenceArePassedDownUntouched) {
    usbsim::Child* child = PlugQuiet();
    size_t pool = DriverPool();
    kmodel::FaultPlan plan;
    plan.driver = driver;
    kmodel::SetFaultPlan(plan);  // counts what the driver allocates
    EXPECT_EQ(SendPower(child, IRP_MN_WAIT_WAKE, SystemPowerState, PowerSystemSleeping1), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(SendPower(child, IRP_MN_POWER_SEQUENCE, SystemPowerState, 0), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(SendPower(child, 0x04, SystemPowerState, 0), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(kmodel::CountedAllocations(), 0u);
    kmodel::ClearFaultPlan();
    const std::vector<usbsim::BusEvent>& events = child->events;
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].minor, IRP_MN_WAIT_WAKE);
    EXPECT_EQ(events[1].minor, IRP_MN_POWER_SEQUENCE);
    EXPECT_EQ(events[2].minor, 0x04);
    EXPECT_EQ(Extension(child)->DevicePower, PowerDeviceD0);
    EXPECT_EQ(Extension(child)->SystemPower, PowerSystemWorking);
    ExpectSettled(child, pool);
}

// ---- removal -----------------------------------------------------------------------------------

using PowerRemovalTest = PowerTest;

// While the removal waits for the remove lock (here held by a request parked
// at the bus), the lock refuses every new power request: each is completed
// with STATUS_DELETE_PENDING (after PoStartNextPowerIrp) and nothing more
// reaches the bus.
TEST_F(PowerRemovalTest, RequestsDuringRemovalAreRefused) {
    usbsim::Child* child = PlugQuiet();
    child->options.holdPower = true;
    DeviceRequest parked;
    POWER_STATE d2;
    d2.DeviceState = PowerDeviceD2;
    ASSERT_EQ(PoRequestPowerIrp(child->pdo, IRP_MN_SET_POWER, d2, DeviceRequest::Done, &parked, nullptr),
              STATUS_PENDING);
    NTSTATUS removal = STATUS_PENDING;
    kmodel::ModelThread pnp([&] { removal = kmodel::RemoveDevice(child->node); });
    kmodel::WaitForQuiescence();
    EXPECT_EQ(removal, STATUS_PENDING);
    EXPECT_TRUE(Extension(child)->RemoveLock.Removing);
    size_t pool = DriverPool();
    child->events.clear();

    EXPECT_EQ(SetSystem(child, PowerSystemSleeping3), STATUS_DELETE_PENDING);
    EXPECT_EQ(QuerySystem(child, PowerSystemSleeping3), STATUS_DELETE_PENDING);
    EXPECT_EQ(SetDevice(child, PowerDeviceD3), STATUS_DELETE_PENDING);
    EXPECT_EQ(QueryDevice(child, PowerDeviceD3), STATUS_DELETE_PENDING);
    EXPECT_EQ(SendPower(child, IRP_MN_WAIT_WAKE, SystemPowerState, PowerSystemSleeping1), STATUS_DELETE_PENDING);
    EXPECT_TRUE(child->events.empty());
    EXPECT_EQ(DriverPool(), pool);
    EXPECT_EQ(Extension(child)->SystemPower, PowerSystemWorking);
    EXPECT_EQ(Extension(child)->DevicePower, PowerDeviceD2);

    usbsim::CompleteHeldPower(child);
    pnp.Join();
    kmodel::WaitForQuiescence();  // the parked request's walk may still be on its way up
    EXPECT_EQ(parked.callbacks, 1);
    EXPECT_EQ(parked.status, STATUS_SUCCESS);
    EXPECT_EQ(removal, STATUS_SUCCESS);
    EXPECT_EQ(DriverDevices(), 0u);
    EXPECT_EQ(DriverPool(), 0u);
}

// Query-remove and surprise removal leave power requests to the machine.
TEST_F(PowerRemovalTest, RequestsAfterQueryRemoveAndSurpriseRemovalAreStillHandled) {
    usbsim::Child* child = PlugQuiet();
    ASSERT_EQ(kmodel::SendPnpRequest(child->node, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(Extension(child)->State, PendingRemove);
    EXPECT_EQ(SetDevice(child, PowerDeviceD2), STATUS_SUCCESS);
    EXPECT_EQ(Extension(child)->DevicePower, PowerDeviceD2);
    ASSERT_EQ(kmodel::SendPnpRequest(child->node, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);

    ASSERT_EQ(kmodel::SendPnpRequest(child->node, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    ASSERT_EQ(Extension(child)->State, SurpriseRemoved);
    EXPECT_EQ(SetDevice(child, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(Extension(child)->DevicePower, PowerDeviceD3);
    EXPECT_EQ(PowerEvents(child), (std::vector<PowerSeen>{Dev(IRP_MN_SET_POWER, PowerDeviceD2),
                                                          Dev(IRP_MN_SET_POWER, PowerDeviceD3)}));
    ASSERT_EQ(kmodel::SendPnpRequest(child->node, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(DriverDevices(), 0u);
    EXPECT_EQ(DriverPool(), 0u);
}

// A request in the machine holds the remove lock until it is finished, so
// the removal waits for it.
TEST_F(PowerRemovalTest, RemovalWaitsForARequestInTheMachine) {
    usbsim::Child* child = PlugQuiet();
    child->options.holdPower = true;
    DeviceRequest request;
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    ASSERT_EQ(PoRequestPowerIrp(child->pdo, IRP_MN_SET_POWER, d3, DeviceRequest::Done, &request, nullptr),
              STATUS_PENDING);
    kmodel::WaitForQuiescence();
    ASSERT_EQ(child->heldPower.size(), 1u);
    EXPECT_EQ(Extension(child)->RemoveLock.Usage, 2);

    NTSTATUS removal = STATUS_PENDING;
    kmodel::ModelThread pnp([&] { removal = kmodel::RemoveDevice(child->node); });
    kmodel::WaitForQuiescence();
    EXPECT_EQ(removal, STATUS_PENDING);
    EXPECT_EQ(DriverDevices(), 1u);

    usbsim::CompleteHeldPower(child);
    pnp.Join();
    kmodel::WaitForQuiescence();
    EXPECT_EQ(request.callbacks, 1);
    EXPECT_EQ(request.status, STATUS_SUCCESS);
    EXPECT_EQ(removal, STATUS_SUCCESS);
    EXPECT_EQ(DriverDevices(), 0u);
    EXPECT_EQ(DriverPool(), 0u);
}

// Removal begins between the dispatch routine's hold and the machine's own:
// the machine refuses the request as the dispatch routine would have, and
// takes no hold that it would then give back.
NTSTATUS NTAPI RemovalBeginsAfterDispatch(PDEVICE_OBJECT fdo, PIRP irp) {
    PDEVICE_EXTENSION pdx = DeviceExtensionOf(fdo);
    EXPECT_EQ(UTILAcquireRemoveLock(&pdx->RemoveLock, irp), STATUS_SUCCESS);
    auto* ctx = static_cast<PPOWCONTEXT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(POWCONTEXT), QV_POOL_TAG));
    RtlZeroMemory(ctx, sizeof(POWCONTEXT));
    ctx->DeviceExtension = pdx;
    ctx->Irp = irp;
    pdx->RemoveLock.Removing = TRUE;  // on another processor, just now
    NTSTATUS status = HandlePowerEvent(ctx, IrpArrived);
    EXPECT_EQ(pdx->RemoveLock.Usage, 2);  // the device's own hold and this routine's
    pdx->RemoveLock.Removing = FALSE;     // so the test can remove the device normally
    UTILReleaseRemoveLock(&pdx->RemoveLock, irp);
    return status;
}

TEST_F(PowerRemovalTest, TheMachineRefusesARequestWhenRemovalBeganAfterDispatch) {
    usbsim::Child* child = PlugQuiet();
    size_t pool = DriverPool();
    driver->MajorFunction[IRP_MJ_POWER] = RemovalBeginsAfterDispatch;
    {
        PowerIrp irp(child, IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3);
        EXPECT_EQ(irp.returned(), STATUS_PENDING);
        kmodel::WaitForQuiescence();
        EXPECT_EQ(irp.status(), STATUS_DELETE_PENDING);
    }
    {
        PowerIrp irp(child, IRP_MN_SET_POWER, DevicePowerState, PowerDeviceD3);
        kmodel::WaitForQuiescence();
        EXPECT_EQ(irp.status(), STATUS_DELETE_PENDING);
    }
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    EXPECT_TRUE(PowerEvents(child).empty());
    EXPECT_EQ(Extension(child)->SystemPower, PowerSystemWorking);
    EXPECT_EQ(Extension(child)->DevicePower, PowerDeviceD0);
    ExpectSettled(child, pool);
    ASSERT_EQ(kmodel::RemoveDevice(child->node), STATUS_SUCCESS);
    EXPECT_EQ(DriverPool(), 0u);
}

// ---- the table --------------------------------------------------------------------------------

// An event with no action in the context's state changes nothing, neither
// the context nor the request.
TEST(PowerMachineTableTest, UnexpectedEventsChangeNothing) {
    kmodel::System system;
    PIRP irp = IoAllocateIrp(2, FALSE);
    ASSERT_NE(irp, nullptr);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    const std::vector<std::pair<LONG, POWEVENT>> expected = {
        {NotStarted, IrpArrived},
        {SystemUpAtLower, LowerCompleted},
        {DeviceIrpAfterSystemUp, DeviceIrpCompleted},
        {DeviceIrpBeforeSystemDown, DeviceIrpCompleted},
        {SystemDownAtLower, LowerCompleted},
        {DeviceUpAtLower, LowerCompleted},
        {DeviceDownAtLower, LowerCompleted},
        {DeviceQueryUpAtLower, LowerCompleted},
        {DeviceQueryDownAtLower, LowerCompleted},
    };
    int unexpected = 0;
    for (LONG state = -1; state <= 13; ++state) {
        for (POWEVENT event : {IrpArrived, LowerCompleted, DeviceIrpCompleted}) {
            if (std::find(expected.begin(), expected.end(), std::make_pair(state, event)) != expected.end()) {
                continue;
            }
            POWCONTEXT ctx{};
            ctx.Irp = irp;
            ctx.MachineState = state;
            ctx.LastStatus = 0x12345678;
            POWCONTEXT before = ctx;
            EXPECT_EQ(HandlePowerEvent(&ctx, event), STATUS_UNSUCCESSFUL) << state << "/" << event;
            EXPECT_EQ(std::memcmp(&ctx, &before, sizeof(ctx)), 0) << state << "/" << event;
            ++unexpected;
        }
    }
    EXPECT_EQ(unexpected, 15 * 3 - 9);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
    IoFreeIrp(irp);
}

// ---- a sleep with the port open ----------------------------------------------------------------

class CountingObserver : public usbsim::UrbObserver {
public:
    void OnUrb(const usbsim::UrbRecord& r) override {
        if (!r.completion) {
            submitted++;
        }
    }
    std::atomic<int> submitted{0};
};

class PowerWithPortOpenTest : public PowerTest {
protected:
    CountingObserver observer;  // outlives the host stack's last URB
};

std::vector<unsigned char> Snapshot(PDEVICE_EXTENSION pdx) {
    auto* bytes = reinterpret_cast<const unsigned char*>(pdx);
    return std::vector<unsigned char>(bytes, bytes + sizeof(DEVICE_EXTENSION));
}

// Byte for byte, but for DevicePower and SystemPower.
void ExpectOnlyPowerChanged(const std::vector<unsigned char>& before, const std::vector<unsigned char>& after) {
    ASSERT_EQ(after.size(), before.size());
    const size_t devicePower = offsetof(DEVICE_EXTENSION, DevicePower);
    const size_t systemPower = offsetof(DEVICE_EXTENSION, SystemPower);
    for (size_t i = 0; i < after.size(); ++i) {
        bool power = (i >= devicePower && i < devicePower + sizeof(DEVICE_POWER_STATE)) ||
                     (i >= systemPower && i < systemPower + sizeof(SYSTEM_POWER_STATE));
        if (!power) {
            ASSERT_EQ(after[i], before[i]) << "DEVICE_EXTENSION byte " << i << " changed";
        }
    }
}

// Nothing goes to the modem and nothing in the record changes but the two
// power fields: the transfers in flight stay in flight.
TEST_F(PowerWithPortOpenTest, SleepAndResumeSendNothingToTheModemAndLeaveTheSerialStateAlone) {
    usbsim::Child* child = PlugModem(u"COM5", "5551000");
    PFILE_OBJECT file;
    ASSERT_EQ(kmodel::io::Open(u"\\??\\COM5", &file), STATUS_SUCCESS);
    kmodel::WaitForQuiescence();
    PDEVICE_EXTENSION pdx = Extension(child);
    Stack().AddObserver(&observer);
    std::vector<unsigned char> before = Snapshot(pdx);
    size_t pool = DriverPool();

    ASSERT_EQ(kmodel::SetSystemPowerState(PowerSystemSleeping3), STATUS_SUCCESS);
    kmodel::WaitForQuiescence();
    EXPECT_EQ(observer.submitted, 0);
    EXPECT_EQ(pdx->SystemPower, PowerSystemSleeping3);
    EXPECT_EQ(pdx->DevicePower, PowerDeviceD3);

    ASSERT_EQ(kmodel::SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
    kmodel::WaitForQuiescence();
    EXPECT_EQ(observer.submitted, 0);
    EXPECT_EQ(pdx->SystemPower, PowerSystemWorking);
    EXPECT_EQ(pdx->DevicePower, PowerDeviceD0);
    // The bus driver's child went to sleep and came back with the port.
    EXPECT_EQ(kmodel::RecordedSystemPowerState(child->pdo), PowerSystemWorking);
    EXPECT_EQ(kmodel::RecordedDevicePowerState(child->pdo), PowerDeviceD0);
    EXPECT_EQ(DriverPool(), pool);

    ExpectOnlyPowerChanged(before, Snapshot(pdx));

    kmodel::io::CloseHandle(file);
    kmodel::WaitForQuiescence();
}

// A read, a wait and a write in flight (besides the driver's own two
// transfers) through a sleep and a resume: none of them moves, no URB is
// submitted or completed, and afterwards the line works as before.
class PowerWithRequestsInFlightTest : public PortTest {};

TEST_F(PowerWithRequestsInFlightTest, ReadWaitAndWriteStayInFlightAndDataFlowsAfterResume) {
    OpenPort();
    SetTimeouts(MAXULONG, 0, 0);  // reads return at once while the echo is drained
    Pending echoOff;
    ASSERT_EQ(StartWrite(echoOff, {'A', 'T', 'E', '0', '\r'}), STATUS_PENDING);
    kmodel::WaitForQuiescence();
    ASSERT_TRUE(echoOff.Done());
    while (!ReadNow(4096).empty()) {
    }
    SetTimeouts(MAXULONG, MAXULONG, 60000);  // reads wait for the first data
    SetWaitMask(SERIAL_EV_RXCHAR);
    Pending read, wait, write;
    ASSERT_EQ(StartRead(read, 64), STATUS_PENDING);
    ASSERT_EQ(StartWait(wait), STATUS_PENDING);
    Stack().faults(0x02).delayMs = 50;  // the write stays out until the clock moves
    ASSERT_EQ(StartWrite(write, {'A', 'T'}), STATUS_PENDING);
    kmodel::WaitForQuiescence();
    ASSERT_FALSE(write.Done());
    ASSERT_EQ(pdx->PendingActionCount, 3);  // status read, bulk-in read, the write

    size_t urbs = log.records.size();
    std::vector<unsigned char> before = Snapshot(pdx);
    ASSERT_EQ(kmodel::SetSystemPowerState(PowerSystemSleeping3), STATUS_SUCCESS);
    kmodel::WaitForQuiescence();
    EXPECT_EQ(pdx->DevicePower, PowerDeviceD3);
    ASSERT_EQ(kmodel::SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
    kmodel::WaitForQuiescence();
    EXPECT_EQ(pdx->DevicePower, PowerDeviceD0);
    EXPECT_EQ(log.records.size(), urbs);
    EXPECT_FALSE(read.Done());
    EXPECT_FALSE(wait.Done());
    EXPECT_FALSE(write.Done());
    ExpectOnlyPowerChanged(before, Snapshot(pdx));

    kmodel::AdvanceClock(50);
    ASSERT_TRUE(write.Done());
    EXPECT_EQ(write.Status(), STATUS_SUCCESS);
    EXPECT_EQ(write.Information(), 2u);
    Stack().faults(0x02).delayMs = 0;
    Pending enter;
    StartWrite(enter, {'\r'});
    kmodel::WaitForQuiescence();
    ASSERT_TRUE(enter.Done());
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(read.Status(), STATUS_SUCCESS);
    std::string answer(read.buffer.begin(), read.buffer.begin() + read.Information());
    while (answer.find("OK") == std::string::npos) {
        std::vector<uint8_t> more = ReadNow(64);
        if (more.empty()) {
            break;
        }
        answer.append(more.begin(), more.end());
    }
    EXPECT_NE(answer.find("OK"), std::string::npos) << answer;
    ASSERT_TRUE(wait.Done());
    EXPECT_EQ(wait.Status(), STATUS_SUCCESS);
    EXPECT_EQ(wait.Events() & SERIAL_EV_RXCHAR, static_cast<ULONG>(SERIAL_EV_RXCHAR));
}

// ---- low resources ------------------------------------------------------------------------------

// One power path: how to bring the device to where it starts, and the
// request(s) to send.
struct PowerPath {
    const char* name;
    std::function<void(PowerTest&, usbsim::Child*)> setup;
    std::function<NTSTATUS(usbsim::Child*)> run;
};

class PowerLowResourcesTest : public PowerTest {
public:
    // Working and D0, reached with no fault plan.
    void Awake(usbsim::Child* child) {
        if (Extension(child)->SystemPower != PowerSystemWorking || Extension(child)->DevicePower != PowerDeviceD0) {
            ASSERT_EQ(SetSystem(child, PowerSystemWorking), STATUS_SUCCESS);
            if (Extension(child)->DevicePower != PowerDeviceD0) {
                ASSERT_EQ(SetDevice(child, PowerDeviceD0), STATUS_SUCCESS);
            }
        }
        ASSERT_EQ(Extension(child)->SystemPower, PowerSystemWorking);
        ASSERT_EQ(Extension(child)->DevicePower, PowerDeviceD0);
    }
    void Asleep(usbsim::Child* child) {
        Awake(child);
        ASSERT_EQ(SetSystem(child, PowerSystemSleeping3), STATUS_SUCCESS);
    }

    // Runs the path once with nothing failing to count its allocations, then
    // once per allocation with that one failing.
    void Sweep(usbsim::Child* child, const PowerPath& path, uint64_t expectedAllocations) {
        SCOPED_TRACE(path.name);
        path.setup(*this, child);
        kmodel::FaultPlan plan;
        plan.driver = driver;
        kmodel::SetFaultPlan(plan);
        EXPECT_EQ(path.run(child), STATUS_SUCCESS);
        uint64_t allocations = kmodel::CountedAllocations();
        kmodel::ClearFaultPlan();
        EXPECT_EQ(allocations, expectedAllocations);
        for (uint64_t k = 1; k <= allocations; ++k) {
            SCOPED_TRACE("allocation " + std::to_string(k) + " fails");
            path.setup(*this, child);
            size_t pool = DriverPool();
            plan.failNth = k;
            kmodel::SetFaultPlan(plan);
            NTSTATUS status = path.run(child);
            uint64_t failed = kmodel::FailedAllocations();
            kmodel::ClearFaultPlan();
            kmodel::WaitForQuiescence();
            EXPECT_EQ(failed, 1u);
            EXPECT_NE(status, STATUS_PENDING);  // every request came back
            EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_INSUFFICIENT_RESOURCES)
                << std::hex << static_cast<ULONG>(status);
            ExpectSettled(child, pool);
        }
    }
};

TEST_F(PowerLowResourcesTest, EveryPowerPathWithEachAllocationFailingInTurn) {
    usbsim::Child* child = PlugQuiet();
    auto awake = [](PowerTest& t, usbsim::Child* c) { static_cast<PowerLowResourcesTest&>(t).Awake(c); };
    auto asleep = [](PowerTest& t, usbsim::Child* c) { static_cast<PowerLowResourcesTest&>(t).Asleep(c); };
    auto deviceOff = [](PowerTest& t, usbsim::Child* c) {
        static_cast<PowerLowResourcesTest&>(t).Awake(c);
        ASSERT_EQ(SetDevice(c, PowerDeviceD3), STATUS_SUCCESS);
    };
    const PowerPath paths[] = {
        {"system set, rising", asleep, [](usbsim::Child* c) { return SetSystem(c, PowerSystemWorking); }},
        {"system query, rising", asleep, [](usbsim::Child* c) { return QuerySystem(c, PowerSystemWorking); }},
        {"system set, falling", awake, [](usbsim::Child* c) { return SetSystem(c, PowerSystemSleeping3); }},
        {"system set, equal", awake, [](usbsim::Child* c) { return SetSystem(c, PowerSystemWorking); }},
        {"system query, falling", awake, [](usbsim::Child* c) { return QuerySystem(c, PowerSystemHibernate); }},
    };
    for (const PowerPath& path : paths) {
        Sweep(child, path, 3);  // the system request's context, the device request, its context
    }
    const PowerPath devicePaths[] = {
        {"device set, rising", deviceOff, [](usbsim::Child* c) { return SetDevice(c, PowerDeviceD0); }},
        {"device set, falling", awake, [](usbsim::Child* c) { return SetDevice(c, PowerDeviceD3); }},
        {"device set, equal", awake, [](usbsim::Child* c) { return SetDevice(c, PowerDeviceD0); }},
        {"device query, rising", deviceOff, [](usbsim::Child* c) { return QueryDevice(c, PowerDeviceD0); }},
        {"device query, falling", awake, [](usbsim::Child* c) { return QueryDevice(c, PowerDeviceD3); }},
    };
    for (const PowerPath& path : devicePaths) {
        Sweep(child, path, 1);
    }
    const PowerPath passThrough[] = {
        {"wait-wake", awake,
         [](usbsim::Child* c) {
             NTSTATUS s = SendPower(c, IRP_MN_WAIT_WAKE, SystemPowerState, PowerSystemSleeping1);
             return s == STATUS_NOT_SUPPORTED ? STATUS_SUCCESS : s;
         }},
        {"power sequence", awake,
         [](usbsim::Child* c) {
             NTSTATUS s = SendPower(c, IRP_MN_POWER_SEQUENCE, SystemPowerState, 0);
             return s == STATUS_NOT_SUPPORTED ? STATUS_SUCCESS : s;
         }},
    };
    for (const PowerPath& path : passThrough) {
        Sweep(child, path, 0);
    }
}

// The power manager's sleep and resume, each allocation failing in turn:
// a failure in the queries aborts the sleep (the stack hears it stays
// working), one in the sleep or the resume fails that step; the device
// always ends up settled.
TEST_F(PowerLowResourcesTest, SleepAndResumeWithEachAllocationFailingInTurn) {
    usbsim::Child* child = PlugQuiet();
    PowerPath path{"sleep and resume",
                   [](PowerTest& t, usbsim::Child* c) { static_cast<PowerLowResourcesTest&>(t).Awake(c); },
                   [](usbsim::Child*) {
                       NTSTATUS sleep = kmodel::SetSystemPowerState(PowerSystemSleeping3);
                       NTSTATUS resume = kmodel::SetSystemPowerState(PowerSystemWorking);
                       return NT_SUCCESS(sleep) ? resume : sleep;
                   }};
    Sweep(child, path, 9);
}

}  // namespace
}  // namespace qvtest
