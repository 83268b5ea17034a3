// A small reader of Windows INF files, enough to check that a driver
// package's INF says what installing the driver needs.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace package {

// One line of a section: "key = value, value" or a bare "value, value".
struct InfLine {
    int number = 0;
    std::string key;                  // empty for a line without '='
    std::vector<std::string> values;  // comma-separated, trimmed, quotes removed
};

class Inf {
public:
    // Parses INF text: [sections] (names are case-insensitive), ';'
    // comments outside quotes, '\' continuation lines. %strings% from
    // [Strings] are left as written.
    static Inf Parse(const std::string& text);

    bool HasSection(const std::string& name) const;
    // The section's lines; empty if it is missing.
    const std::vector<InfLine>& Section(const std::string& name) const;
    // The first value of the first line whose key is `key`, or empty.
    std::string Value(const std::string& section, const std::string& key) const;

private:
    std::map<std::string, std::vector<InfLine>> sections_;  // by lower-case name
};

// What a Ports-class INF for `driverFile` (e.g. "qvsimdm.sys") must have and
// this one lacks, one problem per entry; empty when it is complete: Version
// with Class=Ports and its ClassGuid, Manufacturer with NTx86 and NTamd64
// models, DestinationDirs, CopyFiles of the driver, AddService with
// ServiceType 1 and the binary, the hardware AddReg that writes PortName,
// and models matching the bus driver's child (QVUSBBUS\CDC_ACM).
std::vector<std::string> CheckPortsInf(const Inf& inf, const std::string& driverFile);

// The same for the bus driver's System-class INF (e.g. "qvusbbus.sys"):
// Class=System and its ClassGuid, models matching USB\Class_02&SubClass_02
// in both architectures, the files and the service; no PortName.
std::vector<std::string> CheckBusInf(const Inf& inf, const std::string& driverFile);

}  // namespace package
