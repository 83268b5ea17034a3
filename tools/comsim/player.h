// Plays a parsed script on the ports, printing what each side sees.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "machine.h"
#include "port.h"
#include "script.h"

namespace comsim {

class Player {
public:
    Player(Machine* machine, const std::vector<std::string>& ports);

    // Runs every statement in order; false at the first that fails, with the
    // reason (an expect that timed out says what arrived instead).
    bool Play(const std::vector<Statement>& statements, std::string* error);
    // Closes the ports still open.
    void CloseAll();
    // Bytes and calls per port.
    void PrintSummary() const;

private:
    bool Step(const Statement& s, std::string* error);

    Machine* machine_;
    std::vector<std::string> names_;
    std::map<std::string, std::unique_ptr<Port>> ports_;
};

// Prints a heading of the transcript.
void Heading(const std::string& text);

}  // namespace comsim
