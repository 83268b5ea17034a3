// The model's verifier: the rules a driver must keep, checked where they can
// be broken, always on. A broken rule stops the process with a bug-check
// style report naming the rule and the objects involved.
#pragma once

#include <cstdint>
#include <string>

#include <wdm.h>

namespace kmodel {

// The rules, by name. Each is documented where it is checked.
namespace rule {
inline constexpr const char* kIrpCompletedTwice = "MULTIPLE_IRP_COMPLETE_REQUESTS";
inline constexpr const char* kIrpCompletedPending = "IRP_COMPLETED_WITH_STATUS_PENDING";
inline constexpr const char* kIrpCompletedWithCancelRoutine = "CANCEL_STATE_IN_COMPLETED_IRP";
inline constexpr const char* kPendingWithoutMark = "PENDING_RETURNED_WITHOUT_IOMARKIRPPENDING";
inline constexpr const char* kMarkedButNotPending = "IOMARKIRPPENDING_WITHOUT_STATUS_PENDING";
inline constexpr const char* kStackOverrun = "NO_MORE_IRP_STACK_LOCATIONS";
inline constexpr const char* kIrpUseAfterFree = "IRP_USED_AFTER_FREE";
inline constexpr const char* kIrpWithoutOwner = "IRP_COMPLETED_WITHOUT_OWNER";
inline constexpr const char* kFreeIrpInUse = "FREE_OF_IRP_IN_USE";
inline constexpr const char* kInformationOverrun = "INFORMATION_EXCEEDS_BUFFER";
inline constexpr const char* kIrqlNotLessOrEqual = "IRQL_NOT_LESS_OR_EQUAL";
inline constexpr const char* kIrqlNotGreaterOrEqual = "IRQL_NOT_GREATER_OR_EQUAL";
inline constexpr const char* kIrqlWrongForDdi = "IRQL_WRONG_FOR_DDI";
inline constexpr const char* kWaitAtDispatch = "WAIT_AT_DISPATCH_LEVEL";
inline constexpr const char* kSpinLockNotOwned = "SPIN_LOCK_NOT_OWNED";
inline constexpr const char* kSpinLockAlreadyOwned = "SPIN_LOCK_ALREADY_OWNED";
inline constexpr const char* kFreedMemoryUsed = "DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL";
inline constexpr const char* kSpinLockHeldAcrossWait = "SPIN_LOCK_HELD_ACROSS_WAIT";
inline constexpr const char* kCancelSpinLockHeld = "CANCEL_ROUTINE_RETURNED_HOLDING_CANCEL_SPIN_LOCK";
inline constexpr const char* kPoolDoubleFree = "BAD_POOL_CALLER";
inline constexpr const char* kPoolLeak = "DRIVER_LEFT_POOL_ALLOCATED";
inline constexpr const char* kPoStartNextMissing = "POSTARTNEXTPOWERIRP_NOT_CALLED";
inline constexpr const char* kPoStartNextTwice = "POSTARTNEXTPOWERIRP_CALLED_TWICE";
inline constexpr const char* kPowerIrpViaIoCallDriver = "POWER_IRP_SENT_WITH_IOCALLDRIVER";
inline constexpr const char* kDeleteAttachedDevice = "DELETE_OF_ATTACHED_DEVICE";
inline constexpr const char* kReturnAtRaisedIrql = "RETURNED_AT_RAISED_IRQL";
inline constexpr const char* kDeviceLeftAtRemoval = "DEVICE_NOT_DELETED_AT_REMOVAL";
inline constexpr const char* kUrbInFlight = "URB_SUBMITTED_WHILE_IN_FLIGHT";
inline constexpr const char* kTimerOrDpcInvalid = "TIMER_OR_DPC_INVALID";
inline constexpr const char* kDeleteWhileDpcRuns = "DEVICE_DELETED_WHILE_ITS_DPC_RUNS";
inline constexpr const char* kCorruptListEntry = "KERNEL_SECURITY_CHECK_FAILURE";
inline constexpr const char* kNotAPdo = "PNP_DETECTED_FATAL_ERROR_INVALID_PDO";
}  // namespace rule

// Stops the process with a report naming the rule. Never returns.
[[noreturn]] void BugCheck(const char* rule, const std::string& details);

// Low-resources simulation. Counts allocations made through the DDIs a
// driver calls (pool, IRPs, power IRPs); the model's own bookkeeping is never
// failed.
enum AllocationKind : unsigned { kPoolAllocation = 1, kIrpAllocation = 2 };

struct FaultPlan {
    unsigned kinds = kPoolAllocation | kIrpAllocation;
    PDRIVER_OBJECT driver = nullptr;  // only this driver's calls; null: any caller
    uint64_t failNth = 0;             // 1-based; 0: none by count
    double randomShare = 0.0;         // 0..1 of the counted calls fail
    uint64_t seed = 1;
};

void SetFaultPlan(const FaultPlan& plan);
void ClearFaultPlan();
uint64_t CountedAllocations();  // calls counted since the plan was set
uint64_t FailedAllocations();
// Asked by each allocating DDI: TRUE when this call is to fail.
bool ShouldFailAllocation(AllocationKind kind);

}  // namespace kmodel
