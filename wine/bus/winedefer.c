/* Under Wine only: timers, their DPCs and system work items as Windows
 * runs them.
 *
 * Wine runs a timer's DPC on a thread-pool callback and, once the routine
 * has returned, writes to the KTIMER again; its KeCancelTimer waits for a
 * DPC that is already running, and a KeSetTimer from the timer's own DPC
 * waits for that DPC to end. Windows does none of this: a timer leaves the
 * timer queue when it expires, before its DPC is queued, so the DPC may
 * free the memory that holds the timer; KeCancelTimer only takes a timer
 * still in the queue out of it and never waits, so it may be called under a
 * spin lock the DPC takes; and a DPC may set its own timer again.
 *
 * The modem driver does all three (a read's timers live in the read's own
 * context, which the DPC that ends the read frees; a read's end cancels its
 * timers under the device's lock; the interval time-out re-arms itself). So
 * the test bus points ntoskrnl's KeSetTimer, KeSetTimerEx, KeCancelTimer and
 * KeFlushQueuedDpcs at the routines here: one timer queue in due-time order
 * and one thread that runs the DPC of each timer as it expires, as one
 * processor's DPC queue would. A timer is in the queue while its
 * TimerListEntry is linked (KeInitializeTimer zeroes it). Waiting on a timer
 * object is not provided: the modem driver does not.
 *
 * Wine has no ExQueueWorkItem (its export is a stub that ends the driver
 * host). The modem driver starts its next write and its receive recovery
 * from system work items, so ExQueueWorkItem is given a queue and a few
 * worker threads here; every queue type shares them. */
#include "winefix.h"

static KSPIN_LOCK queueLock;
static LIST_ENTRY queue;  /* armed timers, earliest first; DueTime is interrupt time */
static KEVENT wake;       /* the queue's head may have changed */
static KEVENT idle;       /* no DPC of an expired timer is waiting or running */
static BOOLEAN dpcRunning;

static BOOLEAN IsQueued(PKTIMER timer) {
    return timer->TimerListEntry.Flink != NULL;
}

static void Unqueue(PKTIMER timer) {
    RemoveEntryList(&timer->TimerListEntry);
    timer->TimerListEntry.Flink = NULL;
    timer->TimerListEntry.Blink = NULL;
}

static void QueueInOrder(PKTIMER timer) {
    PLIST_ENTRY after = queue.Blink;
    while (after != &queue && CONTAINING_RECORD(after, KTIMER, TimerListEntry)->DueTime.QuadPart >
                                  timer->DueTime.QuadPart) {
        after = after->Blink;
    }
    timer->TimerListEntry.Flink = after->Flink;
    timer->TimerListEntry.Blink = after;
    after->Flink->Blink = &timer->TimerListEntry;
    after->Flink = &timer->TimerListEntry;
}

/* Under queueLock: the first timer due by now, taken out of the queue and
 * signalled, a periodic one queued again for its next period; or NULL with
 * the time to wait (0: nothing queued). */
static PKTIMER TakeExpired(LONGLONG* wait) {
    *wait = 0;
    if (IsListEmpty(&queue)) {
        return NULL;
    }
    PKTIMER first = CONTAINING_RECORD(queue.Flink, KTIMER, TimerListEntry);
    ULONGLONG now = KeQueryInterruptTime();
    if (first->DueTime.QuadPart > now) {
        *wait = (LONGLONG)(first->DueTime.QuadPart - now);
        return NULL;
    }
    Unqueue(first);
    first->Header.SignalState = TRUE;
    if (first->Period != 0) {
        first->DueTime.QuadPart = now + (ULONGLONG)first->Period * 10000;
        QueueInOrder(first);
    }
    return first;
}

static VOID NTAPI TimerThread(PVOID unused) {
    (void)unused;
    for (;;) {
        LONGLONG wait;
        KIRQL irql;
        KeAcquireSpinLock(&queueLock, &irql);
        PKTIMER expired = TakeExpired(&wait);
        /* Read before the lock goes: from then on the timer may be freed. */
        PKDPC dpc = expired != NULL ? expired->Dpc : NULL;
        dpcRunning = expired != NULL;
        if (expired != NULL) {
            KeClearEvent(&idle);
        } else {
            KeSetEvent(&idle, IO_NO_INCREMENT, FALSE);
        }
        KeReleaseSpinLock(&queueLock, irql);
        if (expired != NULL) {
            if (dpc != NULL && dpc->DeferredRoutine != NULL) {
                dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
            }
            continue;
        }
        LARGE_INTEGER timeout;
        timeout.QuadPart = -wait;
        KeWaitForSingleObject(&wake, Executive, KernelMode, FALSE, wait != 0 ? &timeout : NULL);
    }
}

static BOOLEAN NTAPI SetTimerEx(PKTIMER timer, LARGE_INTEGER dueTime, LONG period, PKDPC dpc) {
    ULONGLONG now = KeQueryInterruptTime();
    LONGLONG delay = -dueTime.QuadPart;
    if (dueTime.QuadPart >= 0) { /* absolute system time */
        LARGE_INTEGER system;
        KeQuerySystemTime(&system);
        delay = dueTime.QuadPart - system.QuadPart;
    }
    KIRQL irql;
    KeAcquireSpinLock(&queueLock, &irql);
    BOOLEAN wasQueued = IsQueued(timer);
    if (wasQueued) {
        Unqueue(timer);
    }
    timer->DueTime.QuadPart = now + (delay > 0 ? (ULONGLONG)delay : 0);
    timer->Period = (ULONG)period;
    timer->Dpc = dpc;
    timer->Header.SignalState = FALSE;
    QueueInOrder(timer);
    KeReleaseSpinLock(&queueLock, irql);
    KeSetEvent(&wake, IO_NO_INCREMENT, FALSE);
    return wasQueued;
}

static BOOLEAN NTAPI SetTimer(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc) {
    return SetTimerEx(timer, dueTime, 0, dpc);
}

static BOOLEAN NTAPI CancelTimer(PKTIMER timer) {
    KIRQL irql;
    KeAcquireSpinLock(&queueLock, &irql);
    BOOLEAN wasQueued = IsQueued(timer);
    if (wasQueued) {
        Unqueue(timer);
    }
    KeReleaseSpinLock(&queueLock, irql);
    return wasQueued;
}

/* Returns once the DPC of every timer expired by now has run. */
static VOID NTAPI FlushQueuedDpcs(VOID) {
    for (;;) {
        KIRQL irql;
        KeAcquireSpinLock(&queueLock, &irql);
        BOOLEAN pending = dpcRunning || (!IsListEmpty(&queue) &&
                                         CONTAINING_RECORD(queue.Flink, KTIMER, TimerListEntry)->DueTime.QuadPart <=
                                             KeQueryInterruptTime());
        if (pending) {
            KeClearEvent(&idle);
        }
        KeReleaseSpinLock(&queueLock, irql);
        if (!pending) {
            return;
        }
        KeSetEvent(&wake, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&idle, Executive, KernelMode, FALSE, NULL);
    }
}

/* ---- system work items ---- */

#define WORKER_THREADS 4

static KSPIN_LOCK workLock;
static LIST_ENTRY work;
static KSEMAPHORE workReady;  /* one count per queued item */

static VOID NTAPI QueueWorkItem(PWORK_QUEUE_ITEM item, WORK_QUEUE_TYPE type) {
    (void)type;
    KIRQL irql;
    KeAcquireSpinLock(&workLock, &irql);
    InsertTailList(&work, &item->List);
    KeReleaseSpinLock(&workLock, irql);
    KeReleaseSemaphore(&workReady, IO_NO_INCREMENT, 1, FALSE);
}

static VOID NTAPI WorkerThread(PVOID unused) {
    (void)unused;
    for (;;) {
        KeWaitForSingleObject(&workReady, Executive, KernelMode, FALSE, NULL);
        KIRQL irql;
        KeAcquireSpinLock(&workLock, &irql);
        PWORK_QUEUE_ITEM item = CONTAINING_RECORD(RemoveHeadList(&work), WORK_QUEUE_ITEM, List);
        KeReleaseSpinLock(&workLock, irql);
        /* The item may be freed or queued again by its routine. */
        item->WorkerRoutine(item->Parameter);
    }
}

static NTSTATUS StartThread(PKSTART_ROUTINE routine) {
    HANDLE thread;
    NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, routine, NULL);
    if (NT_SUCCESS(status)) {
        ZwClose(thread);
    }
    return status;
}

NTSTATUS WineFixDeferredWork(void) {
    if (!WineIsHost()) {
        return STATUS_SUCCESS;
    }
    KeInitializeSpinLock(&queueLock);
    InitializeListHead(&queue);
    KeInitializeEvent(&wake, SynchronizationEvent, FALSE);
    KeInitializeEvent(&idle, NotificationEvent, TRUE);
    KeInitializeSpinLock(&workLock);
    InitializeListHead(&work);
    KeInitializeSemaphore(&workReady, 0, MAXLONG);
    NTSTATUS status = StartThread(TimerThread);
    for (ULONG i = 0; i < WORKER_THREADS && NT_SUCCESS(status); ++i) {
        status = StartThread(WorkerThread);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    static const struct {
        PCWSTR wide;
        const char* name;
        PVOID routine;
    } redirects[] = {
        {L"KeSetTimer", "KeSetTimer", (PVOID)SetTimer},
        {L"KeSetTimerEx", "KeSetTimerEx", (PVOID)SetTimerEx},
        {L"KeCancelTimer", "KeCancelTimer", (PVOID)CancelTimer},
        {L"KeFlushQueuedDpcs", "KeFlushQueuedDpcs", (PVOID)FlushQueuedDpcs},
        {L"ExQueueWorkItem", "ExQueueWorkItem", (PVOID)QueueWorkItem},
    };
    for (ULONG i = 0; i < sizeof(redirects) / sizeof(redirects[0]); ++i) {
        status = WineRedirectExport(redirects[i].wide, redirects[i].name, redirects[i].routine, NULL);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}
