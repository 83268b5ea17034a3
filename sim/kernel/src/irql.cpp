// Per-thread IRQL and the IRQL rules of the DDIs.
#include <sstream>

#include "model.h"

namespace kmodel::detail {

std::string Hex(const void* p) {
    std::ostringstream out;
    out << p;
    return out.str();
}

std::string Hex(uint64_t v) {
    std::ostringstream out;
    out << "0x" << std::hex << v;
    return out.str();
}

// Rule IRQL_WRONG_FOR_DDI: each DDI runs only in the IRQL range Microsoft
// documents for it; calling it higher is a driver bug even where it happens
// to work.
void RequireIrqlAtMost(const char* ddi, KIRQL max) {
    KIRQL now = Self().irql;
    if (now > max) {
        BugCheck(rule::kIrqlWrongForDdi,
                 std::string(ddi) + " called at IRQL " + std::to_string(now) + ", allowed up to " + std::to_string(max));
    }
}

void RequireIrqlExactly(const char* ddi, KIRQL level) {
    KIRQL now = Self().irql;
    if (now != level) {
        BugCheck(rule::kIrqlWrongForDdi,
                 std::string(ddi) + " called at IRQL " + std::to_string(now) + ", must be " + std::to_string(level));
    }
}

// Rule RETURNED_AT_RAISED_IRQL: dispatch, completion, cancel, DPC and worker
// routines return at the IRQL they were entered at and release the spin locks
// they took.
void CheckReturnState(const char* what, KIRQL irql, size_t locksBefore) {
    ThreadState& self = Self();
    if (self.irql != irql || self.heldLocks.size() != locksBefore) {
        BugCheck(rule::kReturnAtRaisedIrql, std::string(what) + " returned at IRQL " + std::to_string(self.irql) +
                                                " (entered at " + std::to_string(irql) + ") holding " +
                                                std::to_string(self.heldLocks.size()) + " spin lock(s)");
    }
}

}  // namespace kmodel::detail

using namespace kmodel;
using namespace kmodel::detail;

KIRQL KeGetCurrentIrql() {
    return Self().irql;
}

// Rule IRQL_NOT_GREATER_OR_EQUAL: KeRaiseIrql never lowers.
VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    ThreadState& self = Self();
    if (NewIrql < self.irql) {
        BugCheck(rule::kIrqlNotGreaterOrEqual,
                 "KeRaiseIrql to " + std::to_string(NewIrql) + " from " + std::to_string(self.irql));
    }
    *OldIrql = self.irql;
    self.irql = NewIrql;
    IrqlChanged(*OldIrql, NewIrql);
}

// Rule IRQL_NOT_LESS_OR_EQUAL: KeLowerIrql never raises.
VOID KeLowerIrql(KIRQL NewIrql) {
    ThreadState& self = Self();
    if (NewIrql > self.irql) {
        BugCheck(rule::kIrqlNotLessOrEqual,
                 "KeLowerIrql to " + std::to_string(NewIrql) + " from " + std::to_string(self.irql));
    }
    KIRQL old = self.irql;
    self.irql = NewIrql;
    IrqlChanged(old, NewIrql);
    // Lowering below DISPATCH_LEVEL is where a processor takes its DPCs.
    if (old >= DISPATCH_LEVEL && NewIrql < DISPATCH_LEVEL) {
        SchedulingPoint("KeLowerIrql");
    }
}

ULONG KeGetCurrentProcessorNumber() {
    return static_cast<ULONG>(CurrentProcessor());
}

KIRQL KeRaiseIrqlToDpcLevel() {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

[[noreturn]] VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
    BugCheck("KeBugCheckEx", Hex(BugCheckCode) + " (" + Hex(P1) + ", " + Hex(P2) + ", " + Hex(P3) + ", " + Hex(P4) +
                                 ")");
}
