// Interlocked operations: full barriers, as on x86, and scheduling points:
// only one model thread runs at a time, so each is atomic by construction.
// Each checks that its target is not in a deleted device (see device.cpp).
#include <atomic>

#include "model.h"

using kmodel::detail::RequireNotInFreedDevice;

namespace {

template <typename T>
std::atomic_ref<T> Ref(T volatile* p) {
    return std::atomic_ref<T>(*const_cast<T*>(p));
}

}  // namespace

LONG InterlockedIncrement(LONG volatile* Addend) {
    kmodel::detail::SchedulingPoint("InterlockedIncrement");
    RequireNotInFreedDevice(Addend, "InterlockedIncrement");
    return Ref(Addend).fetch_add(1) + 1;
}

LONG InterlockedDecrement(LONG volatile* Addend) {
    kmodel::detail::SchedulingPoint("InterlockedDecrement");
    RequireNotInFreedDevice(Addend, "InterlockedDecrement");
    return Ref(Addend).fetch_sub(1) - 1;
}

LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
    kmodel::detail::SchedulingPoint("InterlockedExchange");
    RequireNotInFreedDevice(Target, "InterlockedExchange");
    return Ref(Target).exchange(Value);
}

LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
    kmodel::detail::SchedulingPoint("InterlockedExchangeAdd");
    RequireNotInFreedDevice(Addend, "InterlockedExchangeAdd");
    return Ref(Addend).fetch_add(Value);
}

LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comperand) {
    kmodel::detail::SchedulingPoint("InterlockedCompareExchange");
    RequireNotInFreedDevice(Destination, "InterlockedCompareExchange");
    Ref(Destination).compare_exchange_strong(Comperand, Exchange);
    return Comperand;
}

LONG InterlockedOr(LONG volatile* Destination, LONG Value) {
    kmodel::detail::SchedulingPoint("InterlockedOr");
    RequireNotInFreedDevice(Destination, "InterlockedOr");
    return Ref(Destination).fetch_or(Value);
}

LONG InterlockedAnd(LONG volatile* Destination, LONG Value) {
    kmodel::detail::SchedulingPoint("InterlockedAnd");
    RequireNotInFreedDevice(Destination, "InterlockedAnd");
    return Ref(Destination).fetch_and(Value);
}

PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
    kmodel::detail::SchedulingPoint("InterlockedExchangePointer");
    RequireNotInFreedDevice(Target, "InterlockedExchangePointer");
    return Ref(Target).exchange(Value);
}

PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange, PVOID Comperand) {
    kmodel::detail::SchedulingPoint("InterlockedCompareExchangePointer");
    RequireNotInFreedDevice(Destination, "InterlockedCompareExchangePointer");
    Ref(Destination).compare_exchange_strong(Comperand, Exchange);
    return Comperand;
}
