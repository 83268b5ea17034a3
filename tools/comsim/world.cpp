#include "world.h"

#include <cstdio>

#include <kmodel/pnp.h>

#include "stddcls.h"

namespace comsim {

namespace {

std::string StatusText(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}

kmodel::BootOptions RealTime() {
    kmodel::BootOptions options;
    options.clock = kmodel::ClockMode::Real;
    options.delayedWorkerThreads = 2;
    return options;
}

}  // namespace

World::World() : system_(RealTime()) {
    modems_.push_back(Modem{u"COM5", "5551000", nullptr, nullptr});
    modems_.push_back(Modem{u"COM6", "5552000", nullptr, nullptr});
}

World::~World() = default;

bool World::Start(std::string* error) {
    NTSTATUS status = kmodel::LoadDriver(u"qvsimdm", DriverEntry, &driver_);
    if (!NT_SUCCESS(status)) {
        *error = "the driver did not load: " + StatusText(status);
        return false;
    }
    int index = 0;
    for (Modem& modem : modems_) {
        modem.stack = std::make_unique<usbsim::HostStack>(&usb_, modem.number);
        std::u16string instance = u"USB\\VID_F1D0&PID_0A7C\\" + kmodel::ToU16(std::to_string(++index));
        modem.child = bus_.AddChild(instance, modem.port, modem.stack.get(), modem.stack->pipes());
        status = usbsim::PlugFunctionDriver(modem.child, driver_);
        if (!NT_SUCCESS(status)) {
            *error = "plugging " + kmodel::ToUtf8(modem.port) + " failed: " + StatusText(status);
            return false;
        }
    }
    return true;
}

size_t World::Stop() {
    for (Modem& modem : modems_) {
        if (modem.child != nullptr && !kmodel::NodeRemoved(modem.child->node)) {
            modem.stack->Unplug(&bus_, modem.child);
        }
    }
    kmodel::WaitForQuiescence();
    size_t left = driver_ != nullptr ? kmodel::PoolBytesHeld(driver_) : 0;
    if (driver_ != nullptr && left == 0) {
        kmodel::UnloadDriver(driver_);
        driver_ = nullptr;
    }
    return left;
}

uint64_t World::UsbTransfers() const {
    uint64_t n = 0;
    for (const Modem& modem : modems_) {
        n += modem.stack->transfers();
    }
    return n;
}

}  // namespace comsim
