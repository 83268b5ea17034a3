#include "options.h"

#include <algorithm>
#include <cctype>

namespace comsim {

namespace {

// COM1 to COM256, as Windows names serial ports.
bool IsPortName(const std::string& name) {
    if (name.size() < 4 || name.size() > 6 || name.compare(0, 3, "COM") != 0) {
        return false;
    }
    if (!std::all_of(name.begin() + 3, name.end(), [](unsigned char c) { return std::isdigit(c) != 0; })) {
        return false;
    }
    int number = std::stoi(name.substr(3));
    return name[3] != '0' && number >= 1 && number <= 256;
}

bool ParsePorts(const std::string& list, std::vector<std::string>* ports, std::string* error) {
    ports->clear();
    size_t start = 0;
    while (true) {
        size_t comma = list.find(',', start);
        std::string name = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!IsPortName(name)) {
            *error = "--ports: \"" + name + "\" is not a port name (COM1 to COM256)";
            return false;
        }
        if (std::find(ports->begin(), ports->end(), name) != ports->end()) {
            *error = "--ports: " + name + " is named twice";
            return false;
        }
        ports->push_back(name);
        if (comma == std::string::npos) {
            return true;
        }
        start = comma + 1;
    }
}

std::string Joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        text += (text.empty() ? "" : ", ") + name;
    }
    return text;
}

}  // namespace

bool ParseOptions(const std::vector<std::string>& args, Options* options, std::string* error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= args.size() || args[i + 1].empty() || args[i + 1][0] == '-') {
                *error = arg + " needs a value";
                return false;
            }
            *out = args[++i];
            return true;
        };
        std::string text;
        if (arg == "--help" || arg == "-h") {
            options->help = true;
        } else if (arg == "--trace") {
            options->trace = true;
        } else if (arg == "--virtual-time") {
            options->virtualTime = true;
        } else if (arg == "--ports") {
            if (!value(&text) || !ParsePorts(text, &options->ports, error)) {
                return false;
            }
        } else if (arg == "--script") {
            if (!value(&options->script)) {
                return false;
            }
        } else if (arg == "--interactive") {
            if (!value(&options->interactive)) {
                return false;
            }
        } else if (arg == "--pcap") {
            if (!value(&options->pcap)) {
                return false;
            }
        } else {
            *error = "unknown option \"" + arg + "\"";
            return false;
        }
    }
    if (!options->script.empty() && !options->interactive.empty()) {
        *error = "--script and --interactive exclude each other";
        return false;
    }
    if (options->virtualTime && !options->interactive.empty()) {
        *error = "--virtual-time and --interactive exclude each other: a person types in real time";
        return false;
    }
    const auto& ports = options->ports;
    if (!options->interactive.empty() &&
        std::find(ports.begin(), ports.end(), options->interactive) == ports.end()) {
        *error = "--interactive: no port " + options->interactive + " (the ports are " + Joined(ports) + ")";
        return false;
    }
    return true;
}

std::string Usage() {
    return "usage: comsim [options]\n"
           "\n"
           "With no options, plays the built-in session between COM5 and COM6: reset,\n"
           "dial, ring, answer, text both ways, escape, hang up.\n"
           "\n"
           "  --ports A,B          the ports to use, in order (default COM5,COM6); on the\n"
           "                       simulated machine each gets a modem, numbered\n"
           "                       5551000, 5552000, ...\n"
           "  --script FILE        play FILE instead of the built-in session (statements:\n"
           "                       open, close, send, expect, event, carrier, wait,\n"
           "                       unplug, note; $1, $2 ... stand for the ports of --ports)\n"
           "  --interactive PORT   a terminal on PORT ('help' in it lists its commands)\n"
           "  --pcap FILE          write every USB transfer as a USBPcap capture\n"
           "                       (simulated machine only)\n"
           "  --trace              print each request the I/O manager sends to the driver\n"
           "                       and each URB the driver sends down (simulated machine\n"
           "                       only)\n"
           "  --virtual-time       run the simulated machine on virtual time: its clock\n"
           "                       jumps ahead whenever nothing can run, so a session\n"
           "                       takes no real time and runs the same every time\n"
           "  --help               this text\n";
}

}  // namespace comsim
