// Private state of the kernel model shared by its services.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <wdm.h>

#include <kmodel/io.h>
#include <kmodel/observe.h>
#include <kmodel/system.h>
#include <kmodel/verifier.h>

// Freed memory the model keeps for a while (IRPs, deleted devices) is
// filled with this byte and, under ASan, poisoned, so that a late use is
// recognised instead of landing in reused memory.
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define QV_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define QV_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define QV_POISON(p, n) ((void)(p), (void)(n))
#define QV_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace kmodel {
struct DeviceNode;
}

namespace kmodel::detail {

inline constexpr unsigned char kFreedFill = 0xF7;

// ---- per-thread state --------------------------------------------------------

struct ThreadState {
    KIRQL irql = PASSIVE_LEVEL;
    PDRIVER_OBJECT driver = nullptr;     // driver whose code runs now
    std::vector<PKSPIN_LOCK> heldLocks;  // spin locks this thread holds
    ULONG_PTR token = 0;                 // non-zero owner value for spin locks
    int processor = -1;                  // the processor held while at DISPATCH_LEVEL or above
    int modelLocks = 0;                  // model locks held: no switch may happen meanwhile
    std::vector<PFILE_OBJECT>* deferredDereferences = nullptr;  // see ThreadDeferredDereferences
    uintptr_t applicationSlot = 0;       // kept for the application layer
};
ThreadState& Self();

// Runs code of `driver` on this thread: the verifier attributes pool and
// checks IRQL discipline at the boundary.
class DriverCall {
public:
    explicit DriverCall(PDRIVER_OBJECT driver) : saved_(Self().driver) { Self().driver = driver; }
    ~DriverCall() { Self().driver = saved_; }

private:
    PDRIVER_OBJECT saved_;
};

// Wrong IRQL for a DDI, as Microsoft documents each DDI's range.
void RequireIrqlAtMost(const char* ddi, KIRQL max);
void RequireIrqlExactly(const char* ddi, KIRQL level);
// After a call into a driver: it must come back at the IRQL it was called at,
// holding no spin lock it did not hold before.
void CheckReturnState(const char* what, KIRQL irql, size_t locksBefore);

std::string Hex(const void* p);
std::string Hex(uint64_t v);

// ---- the scheduler -------------------------------------------------------------
//
// Every model thread is a fiber; one runs at a time, on the one operating
// system thread that booted the model, and the scheduler alone decides which
// (scheduler.cpp). Threads meet only at scheduling points: each DDI entry
// calls SchedulingPoint, and a thread that cannot go on calls Block.

struct Fiber;

// A place where the scheduler may switch threads. `what` names the DDI or
// step, for the schedule report.
void SchedulingPoint(const char* what);
// Blocks the calling thread until `ready` holds (checked by the scheduler;
// it reads model state only). `deadline` is the model time at which a timed
// wait ends by itself, or -1. Called with the scheduler lock held by `lock`,
// which is released meanwhile.
void BlockLocked(std::unique_lock<Mutex>& lock, const char* what, std::function<bool()> ready, int64_t deadline = -1);

// Tells the routine observer about a driver routine the model calls.
void ObserveRoutine(RoutineCall::Kind kind, bool begin, const void* routine, const void* object);

// The processor this thread runs on when it must name one (DPC targeting).
int CurrentProcessor();
// The thread's IRQL changed: it takes or gives back a processor.
void IrqlChanged(KIRQL from, KIRQL to);

// Spin locks spin by blocking until the lock word is free.
void SpinUntilFree(PKSPIN_LOCK lock);

struct WorkEntry {
    PWORK_QUEUE_ITEM item;
    PDRIVER_OBJECT driver;
};

struct SystemWork {
    std::function<void()> fn;
    KIRQL irql;
};

struct Scheduler {
    Mutex mutex;  // dispatcher objects, timers and queues

    std::deque<WorkEntry> work;
    std::deque<SystemWork> systemWork;
    std::multimap<int64_t, PKTIMER> timers;  // armed, by due time

    ClockMode clockMode = ClockMode::Manual;
    int64_t manualNow = 0;
    int64_t realBase = 0;  // steady clock at boot, 100 ns units
    int activity = 0;      // held by simulated hardware
    bool stopping = false;
};
Scheduler& Sched();

int64_t NowLocked();
bool IsSignaled(const DISPATCHER_HEADER* h);
void SatisfyWait(DISPATCHER_HEADER* h);  // consumes a synchronization object

// DPC queues, one per processor.
bool InsertDpcLocked(PKDPC dpc, PVOID a1, PVOID a2);
bool RemoveDpcLocked(PKDPC dpc);
// Per processor, how many DPCs have been queued; DpcsPassed says whether all
// of those have run (or left the queue) since.
std::vector<uint64_t> DpcMarks();
bool DpcsPassed(const std::vector<uint64_t>& marks);
// Expires the timers due by `now`; their DPCs go to `processor`, or where
// the hardware's interrupts land next (-1).
void FireDueTimersLocked(int64_t now, int processor = -1);
// A timer is due by the clock and has not expired (exploring strategies
// leave expiries to their own decision).
bool ExpiryDueLocked();
// True under an exploring strategy: due timers wait for its decision.
bool ExpiriesDeferred();

void StartKernelThreads(const BootOptions& options);
void StopKernelThreads();

// For the verifier: is this memory range free of armed timers and queued
// or running DPCs? Names the first object found.
std::string ActiveKernelObjectIn(const void* begin, size_t bytes);
// A DPC routine running now whose KDPC or context lies in the range.
std::string RunningDpcIn(const void* begin, size_t bytes);
// The scheduler's part of a bug-check report.
std::string ScheduleReport();

// ---- IRPs --------------------------------------------------------------------

enum class IrpState : uint32_t { Allocated = 0x1A11, Freed = 0xDEAD };

// What the completion walk and the dispatch routines at one stack location
// said, until both have spoken: the pending-return rules compare a
// dispatch's STATUS_PENDING with the location's SL_PENDING_RETURNED as the
// walk finds it, whichever happens first. Drivers that share a location
// (one skipped its own) share one generation.
struct LocationGeneration {
    bool walked = false;
    bool marked = false;
    std::vector<std::pair<bool, PDEVICE_OBJECT>> returned;  // (returned pending, device) awaiting the walk
};

struct IrpMeta {
    IrpState state = IrpState::Allocated;
    PDRIVER_OBJECT allocator = nullptr;  // whose top-location routine runs with NULL device
    int callRefs = 0;                    // dispatch calls and cancellations in progress
    bool freePending = false;
    bool threaded = false;  // issued on behalf of a thread: the I/O manager frees it
    bool completed = false; // the completion walk reached the top
    bool checkInformation = false;  // Information is a byte count bounded by outputLength
    PVOID userBuffer = nullptr;
    ULONG outputLength = 0;  // the caller's buffer: copy-back size and Information limit
    io::Request* request = nullptr;
    PKEVENT userEvent = nullptr;       // IoBuildDeviceIoControlRequest's event
    PIO_STATUS_BLOCK userIosb = nullptr;
    PFILE_OBJECT file = nullptr;  // holds a reference while outstanding
    uint64_t completions = 0;  // IoCompleteRequest calls, to catch one made inside a routine
    std::vector<std::shared_ptr<LocationGeneration>> generation;  // per location
    std::vector<std::vector<PDRIVER_OBJECT>> powerDispatched;      // per location: drivers that got it
    std::vector<std::vector<PDRIVER_OBJECT>> powerStarted;         // per location: PoStartNextPowerIrp callers
    bool power = false;                  // an IRP_MJ_POWER request
    std::vector<std::pair<void*, int>> urbs;  // URBs submitted with it, by the location they went to
    bool observed = false;                    // sent while a request observer was set
    io::RequestRecord record;                 // what the observer was told at send
};

// URBs between submission and completion (rule URB_SUBMITTED_WHILE_IN_FLIGHT).
struct IrpBlock;
void NoteUrbSubmitted(IrpBlock* block, void* urb, int location);
void NoteLocationCompleted(IrpBlock* block, int location);

struct IrpBlock {
    uint64_t magic;
    IrpMeta meta;
    IRP irp;
    // IO_STACK_LOCATIONs follow: [0] is a guard below location 1, then 1..StackCount.
};

// Tells the request observer about a threaded IRP the I/O manager is about
// to send to `device`, or about its completion.
void ObserveSend(PDEVICE_OBJECT device, PIRP irp);
void ObserveCompletion(PIRP irp);

IrpBlock* BlockOf(PIRP irp, const char* ddi);  // bug-checks for a freed or foreign IRP
PIRP AllocateIrp(CCHAR stackSize, PDRIVER_OBJECT allocator);
IrpMeta& IrpMetaOf(PIRP irp);
PDRIVER_DISPATCH DefaultDispatch();  // fails a request with STATUS_INVALID_DEVICE_REQUEST
BOOLEAN CancelIrpInternal(PIRP irp);  // tolerates an IRP that finished meanwhile
bool HoldIrpIfOutstanding(PFILE_OBJECT file, PIRP irp);  // keeps its memory while cancelling
void ReleaseIrpHold(PIRP irp);
// Fills the buffers of a device control request by its transfer method.
void SetupDeviceControlBuffers(PIRP irp, ULONG code, const void* input, ULONG inputLength, void* output,
                               ULONG outputLength);
void FreeIrpBlock(IrpBlock* block);
void ReleaseQuarantine();  // at shutdown: freed IRPs kept for diagnosis, and those still in flight
PIO_STACK_LOCATION StackLocation(PIRP irp, int location);  // 0 is the guard
NTSTATUS CallDriverInternal(PDEVICE_OBJECT device, PIRP irp, bool viaPo);
Mutex& IrpMutex();  // guards callRefs/freePending

// ---- devices and files ---------------------------------------------------------

struct DeviceNodeImpl;

struct DeviceMeta {
    PDEVICE_OBJECT attachedTo = nullptr;  // the device this one is attached over
    std::u16string name;
    bool deleted = false;
    bool exclusive = false;
    DeviceNodeImpl* node = nullptr;  // for a PDO
    int openFiles = 0;
    DEVICE_POWER_STATE devicePower = PowerDeviceUnspecified;
    SYSTEM_POWER_STATE systemPower = PowerSystemUnspecified;
};
DeviceMeta& MetaOf(PDEVICE_OBJECT device);
Mutex& ObjectMutex();  // object namespace, device lists, references

void ReferenceDevice(PDEVICE_OBJECT device);
void DereferenceDevice(PDEVICE_OBJECT device);
void DeleteDriverObject(PDRIVER_OBJECT driver);
// Deleted devices' memory, kept for a while (see device.cpp): whether
// `object` lies in it, and a stop of the run if it does.
bool InFreedDevice(const volatile void* object);
void RequireNotInFreedDevice(const volatile void* object, const char* ddi);

// The entry of a DDI that works on an object in the driver's memory: a
// scheduling point, then the object must not lie in a deleted device.
inline void EnterDdiOn(const char* ddi, const volatile void* object) {
    SchedulingPoint(ddi);
    RequireNotInFreedDevice(object, ddi);
}

// The file references a thread's own requests give back when they complete
// while the thread is still inside the I/O call that sent them: dropped when
// that call returns, as Windows does in the thread's completion stage.
std::vector<PFILE_OBJECT>*& ThreadDeferredDereferences();
void DereferenceFileAfterCompletion(PVOID thread, PFILE_OBJECT file);

struct FileMeta {
    LONG references = 1;
    bool cleanedUp = false;
    std::set<PIRP> outstanding;
};
FileMeta& MetaOf(PFILE_OBJECT file);
void ReferenceFile(PFILE_OBJECT file);
void DereferenceFile(PFILE_OBJECT file);

// Sends a request built by the model itself and waits for it at PASSIVE_LEVEL.
NTSTATUS SendAndWait(PDEVICE_OBJECT device, PIRP irp, IO_STATUS_BLOCK* result, bool viaPo = false);

// ---- namespace ---------------------------------------------------------------

std::u16string Canonical(const std::u16string& name);  // \DosDevices -> \??, case folded
NTSTATUS InsertNamedDevice(const std::u16string& name, PDEVICE_OBJECT device);
void RemoveNamedDevice(const std::u16string& name);
NTSTATUS ResolveName(const std::u16string& name, PDEVICE_OBJECT* device, std::u16string* remainder = nullptr);
NTSTATUS CreateLink(const std::u16string& link, const std::u16string& target);
NTSTATUS DeleteLink(const std::u16string& link);

// ---- pool --------------------------------------------------------------------

void* ModelAllocate(size_t bytes, ULONG tag);  // never failed by fault injection
void CheckPoolAtUnload(PDRIVER_OBJECT driver);
// At the removal of a driver's last device: everything it allocated since
// its DriverEntry returned is freed (pool it keeps until unload may stay).
void CheckPoolAtLastRemoval(PDRIVER_OBJECT driver);
void MarkDriverInitialized(PDRIVER_OBJECT driver);
void ResetPool();

// ---- registry and PnP --------------------------------------------------------

void ResetRegistry();
HANDLE OpenKeyHandle(const std::u16string& path, ACCESS_MASK access, bool create);
void ResetNamespace();
void ResetPnp();
void ResetPower();
void RegisterPowerNode(DeviceNode* node);
void ResetVerifier();
void ResetDevices();
DeviceNodeImpl* NodeOf(PDEVICE_OBJECT pdo);
void NotifyFileClosed(PDEVICE_OBJECT device);  // may send a deferred removal

std::u16string ToLower(const std::u16string& s);
std::u16string FromWide(PCWSTR s);

}  // namespace kmodel::detail
