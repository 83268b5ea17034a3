#include "world.h"

#include <cstdio>
#include <system_error>

#include <kmodel/pnp.h>
#include <win32/win32sim.h>

#include "qvusbbus.h"
#include "stddcls.h"

namespace comsim {

namespace {

std::string StatusText(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}

kmodel::BootOptions Boot(bool virtualTime) {
    kmodel::BootOptions options;
    options.clock = virtualTime ? kmodel::ClockMode::Virtual : kmodel::ClockMode::Real;
    return options;
}

// Every modem's host stack reports its URBs as device 1; in a capture of
// several, each speaks from its own address.
class BusAddress : public usbsim::UrbObserver {
public:
    BusAddress(usbsim::UrbObserver* next, uint16_t address) : next_(next), address_(address) {}
    void OnUrb(const usbsim::UrbRecord& record) override {
        usbsim::UrbRecord addressed = record;
        addressed.device = address_;
        next_->OnUrb(addressed);
    }

private:
    usbsim::UrbObserver* next_;
    uint16_t address_;
};

// Capture timestamps from the model's clock, so they agree with the trace.
int64_t UnixTime() {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return now.QuadPart - usbsim::UsbPcapWriter::kNtTimeAtUnixEpoch;
}

// 5551000, 5552000, ...: the numbers the modems answer, in port order.
std::string ModemNumber(size_t index) {
    return "555" + std::to_string(index + 1) + "000";
}

}  // namespace

std::unique_ptr<Machine> MakeMachine(const Options& options) {
    return std::make_unique<World>(options);
}

World::World(const Options& options) : options_(options), system_(Boot(options.virtualTime)) {
    for (size_t i = 0; i < options.ports.size(); ++i) {
        modems_.push_back(Modem{options.ports[i], ModemNumber(i), nullptr, {}, nullptr});
    }
}

World::~World() = default;

bool World::Start(std::string* error) {
    NTSTATUS status = kmodel::LoadDriver(u"qvsimdm", DriverEntry, &driver_);
    if (!NT_SUCCESS(status)) {
        driver_ = nullptr;
        *error = "the driver did not load: " + StatusText(status);
        return false;
    }
    status = kmodel::LoadDriver(u"qvusbbus", BusDriverEntry, &busDriver_);
    if (!NT_SUCCESS(status)) {
        busDriver_ = nullptr;
        *error = "the bus driver did not load: " + StatusText(status);
        return false;
    }
    std::printf("comsim: a USB modem driver presented as COM ports, on a simulated machine\n");
    if (!options_.pcap.empty() && !StartCapture(error)) {
        return false;
    }
    if (options_.trace) {
        tracer_ = std::make_unique<Tracer>(stdout, [this](PDEVICE_OBJECT device) { return PortOf(device); });
        kmodel::io::SetRequestObserver([this](const kmodel::io::RequestRecord& r) { tracer_->OnRequest(r); });
    }
    uint16_t index = 0;
    for (Modem& modem : modems_) {
        modem.stack = std::make_unique<usbsim::HostStack>(&usb_, modem.number);
        Observe(modem, ++index);
        std::u16string instance = u"USB\\VID_F1D0&PID_0A7C\\" + kmodel::ToU16(std::to_string(index));
        modem.plugged = usbsim::PlugThroughBus(&hub_, instance, modem.stack.get(), busDriver_, driver_,
                                               kmodel::ToU16(modem.port));
        status = modem.plugged.status;
        if (!NT_SUCCESS(status)) {
            *error = "plugging " + modem.port + " failed: " + StatusText(status);
            return false;
        }
        std::printf("  %-5s a modem answering %s\n", modem.port.c_str(), modem.number.c_str());
    }
    std::fflush(stdout);
    return true;
}

bool World::StartCapture(std::string* error) {
    try {
        pcap_ = std::make_unique<usbsim::UsbPcapWriter>(options_.pcap, UnixTime);
    } catch (const std::system_error& e) {
        *error = std::string("--pcap: ") + e.what();
        return false;
    }
    for (size_t i = 1; i < modems_.size(); ++i) {
        pcap_->AnnounceDevice(static_cast<uint16_t>(i + 1));
    }
    return true;
}

// Before the device starts, so that its configuration is seen too.
void World::Observe(Modem& modem, uint16_t address) {
    if (pcap_) {
        modem.capture = std::make_unique<BusAddress>(pcap_.get(), address);
        modem.stack->AddObserver(modem.capture.get());
    }
    if (tracer_) {
        modem.stack->AddObserver(tracer_->UrbObserverFor(modem.port));
    }
}

// The port whose device stack `device` heads: the driver's device above a
// modem's PDO, the bus driver's child.
std::string World::PortOf(PDEVICE_OBJECT device) const {
    for (const Modem& modem : modems_) {
        if (modem.plugged.child != nullptr && kmodel::PhysicalDevice(modem.plugged.child)->AttachedDevice == device) {
            return modem.port;
        }
    }
    return {};
}

int World::Run(const std::function<int()>& application) {
    int status = 1;
    kmodel::ModelThread thread([&] { status = application(); }, "comsim");
    thread.Join();
    return status;
}

bool World::Unplug(const std::string& port, std::string* error) {
    for (Modem& modem : modems_) {
        if (modem.port == port && modem.plugged.device != nullptr && !kmodel::NodeRemoved(modem.plugged.device->node)) {
            hub_.Unplug(modem.plugged.device);
            return true;
        }
    }
    *error = "unplug " + port + ": no such device present";
    return false;
}

bool World::Stop() {
    std::printf("\n== Removing the devices\n");
    uint64_t transfers = UsbTransfers();
    for (Modem& modem : modems_) {
        if (modem.plugged.device != nullptr && !kmodel::NodeRemoved(modem.plugged.device->node)) {
            hub_.Unplug(modem.plugged.device);
        }
    }
    kmodel::WaitForQuiescence();
    kmodel::io::SetRequestObserver(nullptr);
    if (pcap_) {
        pcap_->Flush();
        std::printf("  USB packets captured in %s: %llu\n", options_.pcap.c_str(),
                    static_cast<unsigned long long>(pcap_->PacketsWritten()));
    }
    size_t left = driver_ != nullptr ? kmodel::PoolBytesHeld(driver_) : 0;
    size_t busLeft = busDriver_ != nullptr ? kmodel::PoolBytesHeld(busDriver_) : 0;
    if (driver_ != nullptr && left == 0) {
        kmodel::UnloadDriver(driver_);
        driver_ = nullptr;
    }
    if (busDriver_ != nullptr && busLeft == 0) {
        kmodel::UnloadDriver(busDriver_);
        busDriver_ = nullptr;
    }
    std::printf("  USB transfers: %llu\n", static_cast<unsigned long long>(transfers));
    std::printf("  driver pool left after removal: %zu bytes\n", left);
    std::printf("  bus driver pool left after removal: %zu bytes\n", busLeft);
    std::fflush(stdout);
    return left == 0 && busLeft == 0;
}

uint64_t World::UsbTransfers() const {
    uint64_t n = 0;
    for (const Modem& modem : modems_) {
        n += modem.stack != nullptr ? modem.stack->transfers() : 0;
    }
    return n;
}

}  // namespace comsim
