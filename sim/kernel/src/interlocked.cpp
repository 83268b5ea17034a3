// Interlocked operations: full barriers, as on x86, and scheduling points:
// only one model thread runs at a time, so each is atomic by construction.
// Each checks that its target is not in a deleted device (see device.cpp).
#include <atomic>

#include "model.h"

using kmodel::detail::EnterDdiOn;

namespace {

template <typename T>
std::atomic_ref<T> Ref(T volatile* p) {
    return std::atomic_ref<T>(*const_cast<T*>(p));
}

}  // namespace

LONG InterlockedIncrement(LONG volatile* Addend) {
    EnterDdiOn("InterlockedIncrement", Addend);
    return Ref(Addend).fetch_add(1) + 1;
}

LONG InterlockedDecrement(LONG volatile* Addend) {
    EnterDdiOn("InterlockedDecrement", Addend);
    return Ref(Addend).fetch_sub(1) - 1;
}

LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
    EnterDdiOn("InterlockedExchange", Target);
    return Ref(Target).exchange(Value);
}

LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
    EnterDdiOn("InterlockedExchangeAdd", Addend);
    return Ref(Addend).fetch_add(Value);
}

LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comperand) {
    EnterDdiOn("InterlockedCompareExchange", Destination);
    Ref(Destination).compare_exchange_strong(Comperand, Exchange);
    return Comperand;
}

LONG InterlockedOr(LONG volatile* Destination, LONG Value) {
    EnterDdiOn("InterlockedOr", Destination);
    return Ref(Destination).fetch_or(Value);
}

LONG InterlockedAnd(LONG volatile* Destination, LONG Value) {
    EnterDdiOn("InterlockedAnd", Destination);
    return Ref(Destination).fetch_and(Value);
}

PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
    EnterDdiOn("InterlockedExchangePointer", Target);
    return Ref(Target).exchange(Value);
}

PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange, PVOID Comperand) {
    EnterDdiOn("InterlockedCompareExchangePointer", Destination);
    Ref(Destination).compare_exchange_strong(Comperand, Exchange);
    return Comperand;
}
