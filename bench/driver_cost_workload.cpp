// A fixed workload for counting the driver's instructions per byte under
// callgrind (bench/driver_cost.sh): after the port is set up, a number of
// loopback round trips of one payload size. Only the round trips are
// counted: the counts are zeroed before them and dumped right after.
#include <cstdio>
#include <cstdlib>
#include <string>

// Without valgrind's headers the workload still builds (and counts nothing).
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_ZERO_STATS
#define CALLGRIND_DUMP_STATS_AT(name)
#endif

#include "loopback_port.h"

size_t RunWorkload(LoopbackPort& port, const std::string& payload, int rounds) {
    CALLGRIND_ZERO_STATS;
    size_t reads = 0;
    for (int i = 0; i < rounds; ++i) {
        port.Write(payload);
        reads += port.ReadExactly(payload.size());
    }
    CALLGRIND_DUMP_STATS_AT("workload");
    return reads;
}

int main(int argc, char** argv) {
    size_t size = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 4096;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 64;
    LoopbackPort port;
    std::string payload(size, 'x');
    uint64_t transfersBefore = port.UsbTransfers();
    size_t reads = RunWorkload(port, payload, rounds);
    std::printf("bytes %zu rounds %d reads %zu usb_transfers %llu\n", size * rounds, rounds, reads,
                static_cast<unsigned long long>(port.UsbTransfers() - transfersBefore));
    return 0;
}
