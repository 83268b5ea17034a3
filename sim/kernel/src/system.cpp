// Boot and shutdown of one model instance.
#include <chrono>

#include "model.h"

namespace kmodel {

using namespace detail;

System::System(const BootOptions& options) {
    ResetVerifier();
    ResetPool();
    ResetRegistry();
    ResetNamespace();
    ResetPnp();
    ResetPower();
    ResetDevices();
    Scheduler& s = Sched();
    s.clockMode = options.clock;
    s.manualNow = 0;
    s.realBase =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count() /
        100;
    StartKernelThreads(options);
}

System::~System() {
    StopKernelThreads();
    ResetVerifier();
    ResetPnp();
    ResetPower();
    ResetDevices();
    ResetNamespace();
    ResetRegistry();
    ResetPool();
    ReleaseQuarantine();
}

}  // namespace kmodel
