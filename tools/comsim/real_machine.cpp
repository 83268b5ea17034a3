// The machine of the Windows build: the ports exist already, installed with
// the driver's INF; comsim only talks to them.
#include <cstdio>

#include "machine.h"
#include "options.h"

namespace comsim {

namespace {

class RealMachine : public Machine {
public:
    explicit RealMachine(const Options& options) : options_(options) {}

    bool Start(std::string* error) override {
        if (!options_.pcap.empty() || options_.trace) {
            *error = "--pcap and --trace need the simulated machine (on Windows, capture with USBPcap)";
            return false;
        }
        return true;
    }

    int Run(const std::function<int()>& application) override { return application(); }

    bool Unplug(const std::string& port, std::string* error) override {
        *error = "unplug " + port + ": a program cannot pull out a real device";
        return false;
    }

    bool Stop() override { return true; }

private:
    Options options_;
};

}  // namespace

std::unique_ptr<Machine> MakeMachine(const Options& options) {
    return std::make_unique<RealMachine>(options);
}

}  // namespace comsim
