// The I/O trace of the simulated machine: one line for each request sent to
// the driver (time, port, major function and IOCTL, length asked, status and
// Information) and for each URB the driver sends down (function, pipe,
// length, status). It is the model's view, from outside the driver.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <wdm.h>

#include <usbsim/urb_record.h>
#include <win32/win32sim.h>

namespace comsim {

// Names of the numbers a trace shows; unknown values come out in hex.
std::string MajorFunctionName(UCHAR major);
std::string IoControlName(ULONG code);
std::string NtStatusName(NTSTATUS status);
std::string UsbdStatusName(int32_t status);
std::string UrbFunctionName(uint16_t function);
std::string PipeName(uint8_t endpoint);
std::string CdcRequestName(uint8_t request);

class Tracer {
public:
    explicit Tracer(std::FILE* out);
    ~Tracer();

    // The port whose requests go to `device` (the device its name opens).
    void AddPort(PDEVICE_OBJECT device, const std::string& port);
    // An observer for one port's host stack; the tracer owns it.
    usbsim::UrbObserver* UrbObserverFor(const std::string& port);

    void OnRequest(const win32sim::RequestRecord& record);
    void OnUrb(const std::string& port, const usbsim::UrbRecord& record);

private:
    class PortUrbs;

    void Line(const std::string& port, std::string text);

    std::FILE* out_;
    std::mutex mutex_;
    std::map<PDEVICE_OBJECT, std::string> ports_;
    std::map<uint64_t, uint32_t> asked_;  // URB submissions in flight: IRP to length asked
    std::vector<std::unique_ptr<PortUrbs>> observers_;
};

}  // namespace comsim
