// The I/O trace of the simulated machine: one line for each request sent to
// the driver (time, port, major function and IOCTL, length asked, status and
// Information) and for each URB the driver sends down (function, pipe,
// length, status). It is the model's view, from outside the driver.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <wdm.h>

#include <kmodel/io.h>
#include <usbsim/urb_record.h>

namespace comsim {

// Names of the numbers a trace shows; unknown values come out in hex.
std::string MajorFunctionName(UCHAR major);
std::string MinorFunctionName(UCHAR major, UCHAR minor);  // PnP and power
std::string IoControlName(ULONG code);
std::string NtStatusName(NTSTATUS status);
std::string UsbdStatusName(int32_t status);
std::string UrbFunctionName(uint16_t function);
std::string PipeName(uint8_t endpoint);
std::string CdcRequestName(uint8_t request);

class Tracer {
public:
    // `portOf` names the port whose stack `device` heads; an empty name
    // marks a device of another driver, not traced.
    Tracer(std::FILE* out, std::function<std::string(PDEVICE_OBJECT)> portOf);
    ~Tracer();

    // An observer for one port's host stack; the tracer owns it.
    usbsim::UrbObserver* UrbObserverFor(const std::string& port);

    // A request the I/O manager sends (named by its port then) and its
    // completion (traced then).
    void OnRequest(const kmodel::io::RequestRecord& record);
    void OnUrb(const std::string& port, const usbsim::UrbRecord& record);

private:
    class PortUrbs;

    void Line(const std::string& port, std::string text);

    std::FILE* out_;
    std::mutex mutex_;
    std::function<std::string(PDEVICE_OBJECT)> portOf_;
    std::map<uint64_t, std::string> sent_;  // requests in flight: id to port
    std::map<uint64_t, uint32_t> asked_;  // URB submissions in flight: IRP to length asked
    std::vector<std::unique_ptr<PortUrbs>> observers_;
};

}  // namespace comsim
