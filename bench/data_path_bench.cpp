// Throughput of the data path: bytes written to a port whose modem is
// connected to a loopback line, read back through the receive engine; and,
// measured in the same run as a baseline, the same payloads moved through a
// Linux pseudo-terminal pair in raw mode.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "loopback_port.h"

namespace {

void BM_LoopbackRoundTrip(benchmark::State& state) {
    LoopbackPort port;
    std::string payload(static_cast<size_t>(state.range(0)), 'x');
    size_t reads = 0;
    for (auto _ : state) {
        port.Write(payload);
        reads += port.ReadExactly(payload.size());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
    state.counters["reads_per_write"] = benchmark::Counter(static_cast<double>(reads) / state.iterations());
}
BENCHMARK(BM_LoopbackRoundTrip)->Arg(64)->Arg(1024)->Arg(4096)->Arg(10000)->UseRealTime();

// The payload is written on the terminal side and read on the master side,
// interleaved so that a payload larger than the tty buffer never blocks.
void BM_PtyPairBaseline(benchmark::State& state) {
    int master = -1;
    int terminal = -1;
    if (openpty(&master, &terminal, nullptr, nullptr, nullptr) != 0) {
        state.SkipWithError("openpty failed");
        return;
    }
    termios raw{};
    tcgetattr(terminal, &raw);
    cfmakeraw(&raw);
    tcsetattr(terminal, TCSANOW, &raw);
    fcntl(terminal, F_SETFL, fcntl(terminal, F_GETFL) | O_NONBLOCK);
    std::string payload(static_cast<size_t>(state.range(0)), 'x');
    std::string buffer(4096, '\0');
    size_t reads = 0;
    for (auto _ : state) {
        size_t sent = 0;
        size_t got = 0;
        while (got < payload.size()) {
            if (sent < payload.size()) {
                ssize_t n = write(terminal, payload.data() + sent, payload.size() - sent);
                sent += n > 0 ? static_cast<size_t>(n) : 0;
            }
            pollfd fd{master, POLLIN, 0};
            if (poll(&fd, 1, 1000) <= 0) {
                state.SkipWithError("the pty pair stalled");
                break;
            }
            ssize_t n = read(master, buffer.data(), buffer.size());
            got += n > 0 ? static_cast<size_t>(n) : 0;
            ++reads;
        }
    }
    close(terminal);
    close(master);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
    state.counters["reads_per_write"] = benchmark::Counter(static_cast<double>(reads) / state.iterations());
}
BENCHMARK(BM_PtyPairBaseline)->Arg(64)->Arg(1024)->Arg(4096)->Arg(10000)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
