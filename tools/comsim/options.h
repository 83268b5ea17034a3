// comsim's command line.
#pragma once

#include <string>
#include <vector>

namespace comsim {

struct Options {
    // The ports the session uses; on the simulated machine also the names
    // its modems' ports are given, in this order.
    std::vector<std::string> ports{"COM5", "COM6"};
    std::string script;       // empty: the built-in session
    std::string interactive;  // a port: the terminal instead of a script
    std::string pcap;         // capture file (simulated machine only)
    bool trace = false;       // the I/O trace (simulated machine only)
    bool virtualTime = false; // the simulated machine's clock jumps when it idles
    bool help = false;
};

// Fills `options` from the arguments after the program name; false with a
// one-line reason for an unknown option, a missing or bad value, or a port
// that is not among --ports.
bool ParseOptions(const std::vector<std::string>& args, Options* options, std::string* error);

// Every option, one per line.
std::string Usage();

}  // namespace comsim
