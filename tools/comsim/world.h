// The simulated machine comsim runs: the kernel model with the real-time
// clock, the parent bus, two modems on one telephone line, and the driver
// loaded above them as COM5 and COM6.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <kmodel/system.h>
#include <usbsim/bus.h>
#include <usbsim/host_stack.h>

namespace comsim {

struct Modem {
    std::u16string port;
    std::string number;
    std::unique_ptr<usbsim::HostStack> stack;
    usbsim::Child* child = nullptr;
};

class World {
public:
    World();
    ~World();

    // Loads the driver and plugs every modem; false if anything failed.
    bool Start(std::string* error);
    // Unplugs the modems and unloads the driver; returns the driver's pool
    // still held after its devices were removed (it must be zero).
    size_t Stop();

    const std::vector<Modem>& modems() const { return modems_; }
    uint64_t UsbTransfers() const;

private:
    kmodel::System system_;
    usbsim::ParentBus bus_;
    usbsim::UsbWorld usb_;
    std::vector<Modem> modems_;
    PDRIVER_OBJECT driver_ = nullptr;
};

}  // namespace comsim
