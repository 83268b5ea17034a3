#include "terminal.h"

#include <cstdio>

#include <windows.h>

#ifndef _WIN32
#include <poll.h>
#include <unistd.h>
#endif

#include "port.h"

namespace comsim {

namespace {

// How long the terminal waits for the port before it looks at the keyboard
// again: short enough that typing feels immediate.
const DWORD kPollMs = 20;
// At the end of input, the port counts as quiet after this long without data.
const DWORD kQuietMs = 300;

const char kHelp[] =
    "Lines you type go to the modem with a carriage return. The terminal itself\n"
    "understands:\n"
    "  +++    sent as it is, without a carriage return: the escape to command mode\n"
    "  help   this text\n"
    "  exit   closes the port and quits (so does the end of input)\n"
    "The modems answer AT, ATZ, ATI, ATE0/ATE1, ATD<number>, ATDLOOP (a loopback\n"
    "line), ATA and ATH.\n";

// Complete lines typed on standard input, without ever blocking: the
// terminal runs as a thread of the simulated machine, which a blocking read
// would stop.
class Input {
public:
    enum class State { None, Line, End };

    State Poll(std::string* line) {
        if (TakeLine(line)) {
            return State::Line;
        }
        while (!ended_) {
            char buffer[256];
            long got = ReadReady(buffer, sizeof(buffer));
            if (got == 0) {
                break;
            }
            if (got < 0) {
                ended_ = true;
            } else {
                pending_.append(buffer, static_cast<size_t>(got));
            }
            if (TakeLine(line)) {
                return State::Line;
            }
        }
        if (ended_ && !pending_.empty()) {
            line->swap(pending_);  // a last line without its newline
            pending_.clear();
            return State::Line;
        }
        return ended_ ? State::End : State::None;
    }

private:
    bool TakeLine(std::string* line) {
        size_t end = pending_.find('\n');
        if (end == std::string::npos) {
            return false;
        }
        *line = pending_.substr(0, end);
        if (!line->empty() && line->back() == '\r') {
            line->pop_back();
        }
        pending_.erase(0, end + 1);
        return true;
    }

#ifdef _WIN32
    // Bytes that can be read now; 0 if none; -1 at the end of input.
    static long ReadReady(char* buffer, DWORD size) {
        HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
        DWORD available = size;
        switch (GetFileType(in)) {
        case FILE_TYPE_PIPE:
            if (!PeekNamedPipe(in, nullptr, 0, nullptr, &available, nullptr)) {
                return -1;
            }
            if (available == 0) {
                return 0;
            }
            break;
        case FILE_TYPE_CHAR:
            if (!ConsoleLineTyped(in)) {
                return 0;
            }
            break;
        default:
            break;  // a file: always ready
        }
        DWORD got = 0;
        if (!ReadFile(in, buffer, available < size ? available : size, &got, nullptr) || got == 0) {
            return -1;
        }
        return static_cast<long>(got);
    }

    // The console hands out a line once Enter has been pressed.
    static bool ConsoleLineTyped(HANDLE in) {
        INPUT_RECORD records[128];
        DWORD count = 0;
        if (!PeekConsoleInputA(in, records, 128, &count)) {
            return false;
        }
        for (DWORD i = 0; i < count; ++i) {
            const KEY_EVENT_RECORD& key = records[i].Event.KeyEvent;
            if (records[i].EventType == KEY_EVENT && key.bKeyDown && key.uChar.AsciiChar == '\r') {
                return true;
            }
        }
        return false;
    }
#else
    static long ReadReady(char* buffer, size_t size) {
        pollfd fd{STDIN_FILENO, POLLIN, 0};
        if (poll(&fd, 1, 0) <= 0) {
            return 0;
        }
        ssize_t got = read(STDIN_FILENO, buffer, size);
        return got > 0 ? static_cast<long>(got) : -1;
    }
#endif

    std::string pending_;
    bool ended_ = false;
};

void Show(const std::string& text) {
    if (!text.empty()) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }
}

void ShowUntilQuiet(Port& port, LineEnds& ends) {
    std::string text;
    while (!(text = port.Receive(kQuietMs)).empty()) {
        Show(ends.Convert(text));
    }
}

}  // namespace

std::string LineEnds::Convert(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n' && afterCr_) {
            afterCr_ = false;  // the LF of a CR LF: its line has already ended
            continue;
        }
        afterCr_ = c == '\r';
        out.push_back(c == '\r' ? '\n' : c);
    }
    return out;
}

int RunTerminal(const std::string& portName) {
    Port port(portName);
    port.set_quiet(true);
    if (!port.Open()) {
        std::printf("FAILED: %s\n", port.lastError().c_str());
        return 1;
    }
    std::printf("comsim terminal on %s. Type 'help' for help, 'exit' to quit.\n", portName.c_str());
    std::fflush(stdout);
    LineEnds ends;
    Input input;
    int status = 0;
    while (true) {
        Show(ends.Convert(port.Receive(kPollMs)));
        if (!port.lastError().empty()) {
            std::printf("\nFAILED: %s\n", port.lastError().c_str());  // the port went away
            status = 1;
            break;
        }
        std::string line;
        Input::State state = input.Poll(&line);
        if (state == Input::State::End) {
            ShowUntilQuiet(port, ends);  // replies to the last lines of a piped session
            break;
        }
        if (state == Input::State::Line && line == "exit") {
            break;
        }
        if (state != Input::State::Line) {
            continue;
        }
        if (line == "help") {
            std::fputs(kHelp, stdout);
            std::fflush(stdout);
        } else if (!port.Send(line == "+++" ? line : line + "\r")) {
            std::printf("FAILED: %s\n", port.lastError().c_str());
            status = 1;
            break;
        }
    }
    port.Close();
    return status;
}

}  // namespace comsim
