// comsim scripts: a small send/expect language for replaying a modem
// dialogue on one or more ports.
//
//   # a comment
//   open COM5                       opens a port (115200 8N1)
//   send COM5 "ATDT5552000\r"       writes text (\r \n \t \\ \" \xHH escapes)
//   expect COM6 "RING" 5s           waits for text (5s unless given)
//   event COM6 RXCHAR|RING 5s       waits for a serial event (WaitCommEvent)
//   carrier COM5 5s                 waits for carrier detect in the modem status
//   wait 500ms                      pauses
//   note "Dialling"                 prints a heading
//   unplug COM5                     pulls the port's device out
//   close COM5
//
// A port is a name (COM5) or $1, $2 ...: the ports given to comsim, in order.
// $N in a note is replaced too.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace comsim {

enum class Verb { Open, Close, Send, Expect, Event, Carrier, Wait, Note, Unplug };

struct Statement {
    Verb verb = Verb::Note;
    int line = 0;
    std::string port;
    std::string text;         // send, expect, note
    uint32_t timeoutMs = 0;   // expect, event, carrier, wait
    uint32_t eventMask = 0;   // event: EV_* bits
};

struct ScriptError {
    int line = 0;
    int column = 0;
    std::string message;
};

// Parses a whole script; ports must be among `ports`. On the first error,
// returns false with its line and column (both from 1).
bool ParseScript(const std::string& source, const std::vector<std::string>& ports,
                 std::vector<Statement>* statements, ScriptError* error);

// The session comsim plays when no script is given.
extern const char* const kBuiltInSession;

}  // namespace comsim
