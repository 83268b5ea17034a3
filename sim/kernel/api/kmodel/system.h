// Booting, driving and inspecting the kernel model from tests, tools and the
// simulated hardware. Drivers never include this.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <wdm.h>

namespace kmodel {

// Manual: time moves only when a test advances it. Virtual: it also jumps to
// the next due time whenever no model thread can run (a program's session
// then takes no real time and runs the same every time). Real: the host's.
enum class ClockMode { Manual, Virtual, Real };

struct BootOptions {
    ClockMode clock = ClockMode::Manual;
    int processors = 2;            // 1 remains possible
    int delayedWorkerThreads = 3;  // several, as Windows has
};

// One running model. Tests make one per test; its destructor stops the
// model's threads and releases every object the model still holds. (Pool
// left by a driver is checked when it unloads or loses its last device.)
class System {
public:
    explicit System(const BootOptions& options = {});
    ~System();
    System(const System&) = delete;
    System& operator=(const System&) = delete;
};

// ---- time -----------------------------------------------------------------

// Model time in 100 ns units since boot.
int64_t Now();
// Manual clock only: moves time forward, firing due timers one by one at
// their own due times (waiting for quiescence after each) and ending timed
// waits that run out.
void AdvanceClock(int64_t milliseconds);
// Manual or virtual clock: moves time forward at once, without waiting for
// quiescence, as a clock interrupt would while threads still run. Under the
// default strategy the timers that fall due expire here; under an exploring
// strategy each expiry waits for a scheduling point and processor the
// strategy chooses (at the latest, the moment nothing else can run).
void StepClock(int64_t milliseconds);

// ---- threads and quiescence -------------------------------------------------
//
// Every model thread is a fiber on the operating-system thread that made the
// System; one runs at a time and the model's scheduler decides which, at
// scheduling points (each DDI entry). A model thread must therefore never
// block in the host (a host sleep, a host lock held across a DDI call): it
// waits through the model.

// A lock for state shared by model threads (the model's own tables, a
// test's bookkeeping). While a thread holds one the scheduler never switches
// away from it; waiting while holding one is a model bug and stops the run.
class Mutex {
public:
    void lock();
    void unlock();

private:
    void* owner_ = nullptr;
};

// Starts a thread the model knows of (an application thread of a test, a
// simulated device's own thread). It runs at PASSIVE_LEVEL.
class ModelThread {
public:
    explicit ModelThread(std::function<void()> body, std::string name = "app");
    ~ModelThread();  // joins
    void Join();
    ModelThread(const ModelThread&) = delete;
    ModelThread& operator=(const ModelThread&) = delete;

private:
    struct Impl;
    Impl* impl_;
};

// Returns once no model thread can run: DPC and work queues empty, every
// model thread blocked in a wait that nothing has satisfied, and no external
// activity registered with HoldActivity.
void WaitForQuiescence();

// Lets simulated hardware say it still has work in hand (a transfer being
// moved) that quiescence must wait for.
void HoldActivity();
void ReleaseActivity();

// Runs `work` later on the model's system-thread queue at the IRQL given
// (PASSIVE_LEVEL or DISPATCH_LEVEL). Used by simulated hardware to complete
// requests from "another processor", never from the caller's stack.
void QueueSystemWork(std::function<void()> work, KIRQL irql);

// The calling model thread's identity, stable for its life.
uint64_t CurrentThreadId();
// A word the application layer keeps per model thread (its last error).
uintptr_t& ApplicationSlot();
// Processors of the running model, and the one simulated hardware should
// interrupt next (its completion DPCs run on every processor in turn).
int ProcessorCount();
int NextHardwareProcessor();

// ---- drivers --------------------------------------------------------------

// Creates a driver object and runs its entry point at PASSIVE_LEVEL.
// Returns the entry point's status; on failure the object is gone.
NTSTATUS LoadDriver(const std::u16string& name, PDRIVER_INITIALIZE entry, PDRIVER_OBJECT* driver);
// Calls DriverUnload and frees the driver object. Its devices must be gone;
// pool the driver still holds is a verifier failure.
void UnloadDriver(PDRIVER_OBJECT driver);
// Pool the given driver (or any caller, for nullptr) holds now.
size_t PoolBytesHeld(PDRIVER_OBJECT driver);
size_t PoolBlocksHeld(PDRIVER_OBJECT driver);
size_t PoolBlocksWithTag(ULONG tag);

// The driver the current thread is running code of (set by the model on
// every call into a driver).
PDRIVER_OBJECT CurrentDriver();
// Runs `body` as code of `driver`, as white-box tests call a driver's
// internal routines: pool is attributed to it and fault plans apply.
void RunAsDriver(PDRIVER_OBJECT driver, const std::function<void()>& body);

// ---- object namespace -------------------------------------------------------

PDEVICE_OBJECT LookupDevice(const std::u16string& name);         // no links followed
bool SymbolicLinkTarget(const std::u16string& link, std::u16string* target);
std::vector<std::u16string> ListDirectory(const std::u16string& directory);

// ---- registry ---------------------------------------------------------------

struct RegistryValue {
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};
void RegistrySetValue(const std::u16string& keyPath, const std::u16string& name, const RegistryValue& value);
bool RegistryGetValue(const std::u16string& keyPath, const std::u16string& name, RegistryValue* value);
std::vector<std::pair<std::u16string, RegistryValue>> RegistryEnumValues(const std::u16string& keyPath);
bool RegistryKeyExists(const std::u16string& keyPath);
void RegistryCreateKey(const std::u16string& keyPath);
RegistryValue RegSz(const std::u16string& text);  // with its NUL
RegistryValue RegDword(ULONG value);

inline constexpr const char16_t* kDeviceMapPath = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP";

// ---- strings ----------------------------------------------------------------

std::u16string ToU16(const std::string& text);
std::string ToUtf8(const std::u16string& text);
std::u16string FromUnicodeString(const UNICODE_STRING& s);

}  // namespace kmodel
