// comsim's terminal: lines typed go to the port, what the port receives is
// shown as it arrives.
#pragma once

#include <string>

namespace comsim {

// Shows received text on a line display: CR, LF and CR LF each end a line
// once, even when a CR LF pair arrives split across two reads.
class LineEnds {
public:
    std::string Convert(const std::string& text);

private:
    bool afterCr_ = false;
};

// Runs until "exit" or the end of input; the exit status.
int RunTerminal(const std::string& portName);

}  // namespace comsim
