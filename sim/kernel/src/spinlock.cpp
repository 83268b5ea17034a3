// Spin locks. A KSPIN_LOCK holds the owning thread's token while held, so the
// verifier can tell who owns it. One in a deleted device stops the run
// (see device.cpp).
#include <algorithm>

#include "model.h"

using namespace kmodel;
using namespace kmodel::detail;

namespace {

// Rule SPIN_LOCK_ALREADY_OWNED: a thread that acquires a spin lock it already
// holds would spin forever on Windows.
void AcquireAtDpc(PKSPIN_LOCK lock, const char* ddi) {
    RequireNotInFreedDevice(lock, ddi);
    ThreadState& self = Self();
    if (*lock == self.token) {
        BugCheck(rule::kSpinLockAlreadyOwned, std::string(ddi) + " on lock " + Hex(lock) + " this thread holds");
    }
    while (*lock != 0) {
        SpinUntilFree(lock);
        RequireNotInFreedDevice(lock, ddi);  // freed while this thread spun on it
    }
    *lock = self.token;
    self.heldLocks.push_back(lock);
}

// Rule SPIN_LOCK_NOT_OWNED: only the thread that acquired a spin lock may
// release it.
void ReleaseAtDpc(PKSPIN_LOCK lock, const char* ddi) {
    RequireNotInFreedDevice(lock, ddi);
    ThreadState& self = Self();
    ULONG_PTR owner = *lock;
    if (owner != self.token) {
        BugCheck(rule::kSpinLockNotOwned,
                 std::string(ddi) + " on lock " + Hex(lock) + (owner == 0 ? " that is not held" : " held by another thread"));
    }
    auto it = std::find(self.heldLocks.rbegin(), self.heldLocks.rend(), lock);
    self.heldLocks.erase(std::next(it).base());
    *lock = 0;
}

}  // namespace

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    *SpinLock = 0;
}

VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
    SchedulingPoint("KeAcquireSpinLock");
    RequireIrqlAtMost("KeAcquireSpinLock", DISPATCH_LEVEL);
    KeRaiseIrql(DISPATCH_LEVEL, OldIrql);
    AcquireAtDpc(SpinLock, "KeAcquireSpinLock");
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    SchedulingPoint("KeReleaseSpinLock");
    RequireIrqlExactly("KeReleaseSpinLock", DISPATCH_LEVEL);
    ReleaseAtDpc(SpinLock, "KeReleaseSpinLock");
    KeLowerIrql(NewIrql);
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    SchedulingPoint("KeAcquireSpinLockAtDpcLevel");
    RequireIrqlExactly("KeAcquireSpinLockAtDpcLevel", DISPATCH_LEVEL);
    AcquireAtDpc(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    SchedulingPoint("KeReleaseSpinLockFromDpcLevel");
    RequireIrqlExactly("KeReleaseSpinLockFromDpcLevel", DISPATCH_LEVEL);
    ReleaseAtDpc(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}
