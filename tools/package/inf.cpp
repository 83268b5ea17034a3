#include "inf.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace package {

namespace {

const char kPortsClassGuid[] = "{4D36E978-E325-11CE-BFC1-08002BE10318}";
const char kSystemClassGuid[] = "{4D36E97D-E325-11CE-BFC1-08002BE10318}";

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

bool SameText(const std::string& a, const std::string& b) {
    return Lower(a) == Lower(b);
}

std::string Trim(const std::string& s) {
    size_t begin = s.find_first_not_of(" \t\r");
    if (begin == std::string::npos) {
        return {};
    }
    return s.substr(begin, s.find_last_not_of(" \t\r") - begin + 1);
}

// Drops a ';' comment that is not inside quotes.
std::string WithoutComment(const std::string& line) {
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') {
            quoted = !quoted;
        } else if (line[i] == ';' && !quoted) {
            return line.substr(0, i);
        }
    }
    return line;
}

// Splits at commas outside quotes; trims each value and removes its quotes.
std::vector<std::string> Values(const std::string& text) {
    std::vector<std::string> values;
    std::string current;
    bool quoted = false;
    for (char c : text) {
        if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            values.push_back(Trim(current));
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    values.push_back(Trim(current));
    return values;
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && SameText(text.substr(text.size() - tail.size()), tail);
}

long Number(const std::string& text) {
    try {
        return std::stol(text, nullptr, 0);
    } catch (...) {
        return -1;
    }
}

// Checks of one architecture's install sections, reached from its model.
class InstallCheck {
public:
    InstallCheck(const Inf& inf, const std::string& driverFile, bool portName, std::vector<std::string>* problems)
        : inf_(inf), driver_(driverFile), portName_(portName), problems_(problems) {}

    // The DDInstall section a model line names, as Windows picks it for the
    // architecture: the most decorated one that exists.
    std::string InstallSection(const std::string& name, const std::string& arch) {
        for (const std::string& candidate : {name + "." + arch, name + ".NT", name}) {
            if (inf_.HasSection(candidate)) {
                return candidate;
            }
        }
        return {};
    }

    void Check(const std::string& install) {
        CheckCopyFiles(install);
        CheckService(install + ".Services");
        if (portName_) {
            CheckPortName(install + ".HW");
        }
    }

private:
    void Problem(const std::string& text) {
        if (std::find(problems_->begin(), problems_->end(), text) == problems_->end()) {
            problems_->push_back(text);
        }
    }

    void CheckCopyFiles(const std::string& install) {
        std::string list = inf_.Value(install, "CopyFiles");
        if (list.empty()) {
            Problem("[" + install + "] has no CopyFiles");
            return;
        }
        const auto& files = inf_.Section(list);
        bool copied = std::any_of(files.begin(), files.end(), [&](const InfLine& l) {
            return l.key.empty() && !l.values.empty() && SameText(l.values[0], driver_);
        });
        if (!copied) {
            Problem("[" + list + "] does not copy " + driver_);
        }
        const auto& dirs = inf_.Section("DestinationDirs");
        bool placed = std::any_of(dirs.begin(), dirs.end(), [&](const InfLine& l) {
            return SameText(l.key, list) || SameText(l.key, "DefaultDestDir");
        });
        if (!placed) {
            Problem("[DestinationDirs] gives no directory for " + list);
        }
    }

    void CheckService(const std::string& services) {
        const InfLine* add = nullptr;
        for (const InfLine& l : inf_.Section(services)) {
            if (SameText(l.key, "AddService")) {
                add = &l;
            }
        }
        if (add == nullptr || add->values.size() < 3) {
            Problem("[" + services + "] has no AddService with a service section");
            return;
        }
        if ((Number(add->values[1]) & 0x2) == 0) {
            Problem("AddService does not make " + add->values[0] + " the function driver (flag 0x2)");
        }
        const std::string& section = add->values[2];
        if (Number(inf_.Value(section, "ServiceType")) != 1) {
            Problem("[" + section + "] ServiceType is not 1 (a kernel driver)");
        }
        if (!EndsWith(inf_.Value(section, "ServiceBinary"), "\\" + driver_)) {
            Problem("[" + section + "] ServiceBinary is not the path of " + driver_);
        }
        for (const char* key : {"StartType", "ErrorControl"}) {
            if (inf_.Value(section, key).empty()) {
                Problem("[" + section + "] has no " + key);
            }
        }
    }

    void CheckPortName(const std::string& hw) {
        std::string addReg = inf_.Value(hw, "AddReg");
        const auto& lines = inf_.Section(addReg);
        bool writes = std::any_of(lines.begin(), lines.end(), [](const InfLine& l) {
            return l.key.empty() && l.values.size() >= 3 && SameText(l.values[0], "HKR") &&
                   SameText(l.values[2], "PortName");
        });
        if (addReg.empty() || !writes) {
            Problem("[" + hw + "] does not write PortName (HKR,,PortName) with an AddReg");
        }
    }

    const Inf& inf_;
    std::string driver_;
    bool portName_;
    std::vector<std::string>* problems_;
};

// What one kind of INF must say beyond what every driver INF says.
struct InfRules {
    const char* className;
    const char* classGuid;
    bool portName;                  // the hardware AddReg writes PortName
    std::vector<std::string> ids;   // hardware or compatible IDs every architecture's models match
};

void CheckVersion(const Inf& inf, const InfRules& rules, std::vector<std::string>* problems) {
    if (!SameText(inf.Value("Version", "Signature"), "$WINDOWS NT$")) {
        problems->push_back("[Version] Signature is not \"$WINDOWS NT$\"");
    }
    if (!SameText(inf.Value("Version", "Class"), rules.className)) {
        problems->push_back(std::string("[Version] Class is not ") + rules.className);
    }
    if (!SameText(inf.Value("Version", "ClassGuid"), rules.classGuid)) {
        problems->push_back(std::string("[Version] ClassGuid is not the ") + rules.className + " class " +
                            rules.classGuid);
    }
}

void CheckSourceFiles(const Inf& inf, const std::string& driverFile, std::vector<std::string>* problems) {
    const auto& files = inf.Section("SourceDisksFiles");
    bool listed = std::any_of(files.begin(), files.end(),
                              [&](const InfLine& l) { return SameText(l.key, driverFile); });
    if (!listed) {
        problems->push_back("[SourceDisksFiles] does not list " + driverFile);
    }
    if (!inf.HasSection("SourceDisksNames")) {
        problems->push_back("[SourceDisksNames] is missing");
    }
}

}  // namespace

Inf Inf::Parse(const std::string& text) {
    Inf inf;
    std::vector<InfLine>* section = nullptr;
    std::istringstream in(text);
    std::string raw;
    int number = 0;
    while (std::getline(in, raw)) {
        int first = ++number;
        std::string line = Trim(WithoutComment(raw));
        while (!line.empty() && line.back() == '\\' && std::getline(in, raw)) {
            ++number;
            line = Trim(line.substr(0, line.size() - 1) + Trim(WithoutComment(raw)));
        }
        if (line.empty()) {
            continue;
        }
        if (line.front() == '[' && line.back() == ']') {
            section = &inf.sections_[Lower(Trim(line.substr(1, line.size() - 2)))];
            continue;
        }
        if (section == nullptr) {
            continue;  // before the first section: not part of the INF
        }
        InfLine entry;
        entry.number = first;
        size_t equals = std::string::npos;
        bool quoted = false;
        for (size_t i = 0; i < line.size() && equals == std::string::npos; ++i) {
            quoted = line[i] == '"' ? !quoted : quoted;
            if (line[i] == '=' && !quoted) {
                equals = i;
            }
        }
        if (equals != std::string::npos) {
            entry.key = Trim(line.substr(0, equals));
            entry.values = Values(line.substr(equals + 1));
        } else {
            entry.values = Values(line);
        }
        section->push_back(entry);
    }
    return inf;
}

bool Inf::HasSection(const std::string& name) const {
    return sections_.count(Lower(name)) != 0;
}

const std::vector<InfLine>& Inf::Section(const std::string& name) const {
    static const std::vector<InfLine> kNone;
    auto it = sections_.find(Lower(name));
    return it == sections_.end() ? kNone : it->second;
}

std::string Inf::Value(const std::string& section, const std::string& key) const {
    for (const InfLine& line : Section(section)) {
        if (SameText(line.key, key) && !line.values.empty()) {
            return line.values[0];
        }
    }
    return {};
}

namespace {

std::vector<std::string> CheckDriverInf(const Inf& inf, const std::string& driverFile, const InfRules& rules) {
    std::vector<std::string> problems;
    CheckVersion(inf, rules, &problems);
    CheckSourceFiles(inf, driverFile, &problems);
    if (!inf.HasSection("DestinationDirs")) {
        problems.push_back("[DestinationDirs] is missing");
    }
    const auto& manufacturers = inf.Section("Manufacturer");
    if (manufacturers.empty()) {
        problems.push_back("[Manufacturer] is missing or empty");
    }
    InstallCheck install(inf, driverFile, rules.portName, &problems);
    for (const InfLine& m : manufacturers) {
        const std::string& models = m.values[0];
        for (const std::string arch : {"NTx86", "NTamd64"}) {
            bool declared = std::any_of(m.values.begin() + 1, m.values.end(),
                                        [&](const std::string& v) { return SameText(v, arch); });
            const auto& devices = inf.Section(models + "." + arch);
            for (const std::string& id : rules.ids) {
                bool matched = std::any_of(devices.begin(), devices.end(), [&](const InfLine& d) {
                    return std::any_of(d.values.begin() + (d.values.empty() ? 0 : 1), d.values.end(),
                                       [&](const std::string& v) { return SameText(v, id); });
                });
                if (!matched) {
                    problems.push_back("[" + models + "." + arch + "] does not match " + id);
                }
            }
            if (!declared || devices.empty()) {
                problems.push_back("[Manufacturer] has no " + arch + " models with devices ([" + models + "." +
                                   arch + "])");
                continue;
            }
            for (const InfLine& device : devices) {
                if (device.values.size() < 2 || device.values[1].empty()) {
                    problems.push_back("[" + models + "." + arch + "] line " + std::to_string(device.number) +
                                       " names no hardware ID");
                    continue;
                }
                std::string section = install.InstallSection(device.values[0], arch);
                if (section.empty()) {
                    problems.push_back("[" + models + "." + arch + "] installs with " + device.values[0] +
                                       ", which is missing");
                    continue;
                }
                install.Check(section);
            }
        }
    }
    return problems;
}

}  // namespace

std::vector<std::string> CheckPortsInf(const Inf& inf, const std::string& driverFile) {
    return CheckDriverInf(inf, driverFile, {"Ports", kPortsClassGuid, true, {"QVUSBBUS\\CDC_ACM"}});
}

std::vector<std::string> CheckBusInf(const Inf& inf, const std::string& driverFile) {
    return CheckDriverInf(inf, driverFile, {"System", kSystemClassGuid, false, {"USB\\Class_02&SubClass_02"}});
}

}  // namespace package
