// Schedules explored per second for a close racing the bulk-in completion,
// followed by a reopen and the removal: each schedule a forked run, one at a
// time, so the wall-clock rate is the rate on one core.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include <kmodel/explore.h>
#include <kmodel/pnp.h>

#include "loopback_port.h"

namespace {

class OpenPort : public ModemPort {
public:
    OpenPort() { kmodel::WaitForQuiescence(); }

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
        if (kmodel::RemoveDevice(child_) != STATUS_SUCCESS || kmodel::PoolBlocksHeld(driver_) != 0) {
            std::abort();
        }
    }
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
