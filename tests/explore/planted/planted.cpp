#include "stddcls.h"

VOID NTAPI CompletionSide(PDEVICE_EXTENSION pdx) {
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    pdx->Guarded += 1;
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    pdx->Unguarded += 1;
    InterlockedIncrement(&pdx->Counted);
}

ULONG DispatchSide(PDEVICE_EXTENSION pdx) {
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    if (pdx->Guarded == 0) {
        KeReleaseSpinLock(&pdx->SpinLock, irql);
        return pdx->Unguarded;
    }
    ULONG guarded = pdx->Guarded;
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    return guarded + static_cast<ULONG>(InterlockedExchange(&pdx->Counted, 0));
}

// Expects SpinLock held: the access inside counts as guarded only for it.
ULONG GuardedLocked(PDEVICE_EXTENSION pdx) {
    return pdx->Guarded;
}

ULONG LockedCaller(PDEVICE_EXTENSION pdx) {
    KIRQL irql;
    KeAcquireSpinLock(&pdx->SpinLock, &irql);
    ULONG guarded = GuardedLocked(pdx);
    KeReleaseSpinLock(&pdx->SpinLock, irql);
    return guarded;
}

ULONG UnlockedCaller(PDEVICE_EXTENSION pdx) {
    return GuardedLocked(pdx);
}
