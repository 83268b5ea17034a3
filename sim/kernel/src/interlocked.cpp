// Interlocked operations: full barriers, as on x86.
#include <atomic>

#include "model.h"

namespace {

template <typename T>
std::atomic_ref<T> Ref(T volatile* p) {
    return std::atomic_ref<T>(*const_cast<T*>(p));
}

}  // namespace

LONG InterlockedIncrement(LONG volatile* Addend) {
    return Ref(Addend).fetch_add(1) + 1;
}

LONG InterlockedDecrement(LONG volatile* Addend) {
    return Ref(Addend).fetch_sub(1) - 1;
}

LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
    return Ref(Target).exchange(Value);
}

LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
    return Ref(Addend).fetch_add(Value);
}

LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comperand) {
    Ref(Destination).compare_exchange_strong(Comperand, Exchange);
    return Comperand;
}

LONG InterlockedOr(LONG volatile* Destination, LONG Value) {
    return Ref(Destination).fetch_or(Value);
}

LONG InterlockedAnd(LONG volatile* Destination, LONG Value) {
    return Ref(Destination).fetch_and(Value);
}

PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
    return Ref(Target).exchange(Value);
}

PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange, PVOID Comperand) {
    Ref(Destination).compare_exchange_strong(Comperand, Exchange);
    return Comperand;
}
