// What lies under the ports comsim talks to. In the model build it is the
// simulated machine (the kernel model, the driver and a modem per port); on
// Windows it is the real machine, whose ports already exist.
//
// Everything above this interface speaks only the Win32 API of <windows.h>.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace comsim {

struct Options;

class Machine {
public:
    virtual ~Machine() = default;

    // Brings up the ports named in the options; false with a reason if not.
    virtual bool Start(std::string* error) = 0;
    // Runs the application: on the simulated machine as one of its threads.
    virtual int Run(const std::function<int()>& application) = 0;
    // Pulls the device of `port` out; false with a reason where a program
    // cannot do that (a real machine).
    virtual bool Unplug(const std::string& port, std::string* error) = 0;
    // Ends the session: removes the devices still present. Prints what the
    // machine itself counted; false if that shows a fault (pool left by the
    // driver after its devices went).
    virtual bool Stop() = 0;
};

// The machine of this build.
std::unique_ptr<Machine> MakeMachine(const Options& options);

}  // namespace comsim
