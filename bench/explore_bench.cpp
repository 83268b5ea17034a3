// Schedules explored per second for a close racing the bulk-in completion,
// followed by a reopen and the removal: each schedule a forked run, one at a
// time, so the wall-clock rate is the rate on one core.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include <kmodel/explore.h>
#include <kmodel/io.h>
#include <kmodel/pnp.h>
#include <kmodel/system.h>
#include <usbsim/bus.h>
#include <usbsim/host_stack.h>

#include "stddcls.h"

namespace {

class OpenPort {
public:
    OpenPort() {
        kmodel::LoadDriver(u"qvsimdm", DriverEntry, &driver_);
        child_ = bus_.AddChild(u"USB\\VID_F1D0&PID_0A7C\\1", u"COM5", &stack_, stack_.pipes());
        usbsim::PlugFunctionDriver(child_, driver_);
        kmodel::io::Open(u"\\??\\COM5", &file_);
        kmodel::WaitForQuiescence();
    }
    ~OpenPort() {
        kmodel::io::CloseHandle(file_);
        stack_.Unplug(&bus_, child_);
        kmodel::WaitForQuiescence();
        kmodel::UnloadDriver(driver_);
    }

    // The racing parties, then what every scenario checks.
    void Race() {
        kmodel::ModelThread device(
            [this] {
                KIRQL irql;
                KeAcquireSpinLock(&usb_.lock, &irql);
                stack_.modem().bulkIn.assign(8, 'x');
                KeReleaseSpinLock(&usb_.lock, irql);
                stack_.Poke();
            },
            "device");
        kmodel::io::CloseHandle(file_);
        device.Join();
        kmodel::WaitForQuiescence();
        PFILE_OBJECT again = nullptr;
        if (kmodel::io::Open(u"\\??\\COM5", &again) != STATUS_SUCCESS) {
            std::abort();
        }
        kmodel::io::CloseHandle(again);
        kmodel::WaitForQuiescence();
        if (kmodel::RemoveDevice(child_->node) != STATUS_SUCCESS || kmodel::PoolBlocksHeld(driver_) != 0) {
            std::abort();
        }
    }

private:
    kmodel::System system_;
    usbsim::ParentBus bus_;
    usbsim::UsbWorld usb_;
    usbsim::HostStack stack_{&usb_, "5551000"};
    usbsim::Child* child_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
    PFILE_OBJECT file_ = nullptr;
};

void BM_ExploreCloseAgainstTheBulkInCompletion(benchmark::State& state) {
    OpenPort port;
    kmodel::ExploreOptions options;
    options.seeds = 200;
    int64_t schedules = 0;
    for (auto _ : state) {
        kmodel::ExploreResult result = kmodel::Explore(options, [&] { port.Race(); }, [] { return false; });
        if (result.failed) {
            state.SkipWithError(("a schedule failed: QV_SCHEDULE=" + result.replay).c_str());
            break;
        }
        options.firstSeed += static_cast<uint64_t>(options.seeds);
        schedules += result.schedules;
    }
    state.counters["schedules_per_second"] = benchmark::Counter(static_cast<double>(schedules), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ExploreCloseAgainstTheBulkInCompletion)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
