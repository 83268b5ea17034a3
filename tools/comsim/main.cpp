// comsim: the driver at work, seen from an application.
//
// With no arguments it plays the built-in session between two ports whose
// modems share a telephone line, and prints what each side sees and a
// summary. --script plays another session, --interactive is a terminal on a
// port; --help lists everything.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "machine.h"
#include "options.h"
#include "player.h"
#include "script.h"
#include "terminal.h"

namespace comsim {
namespace {

int UsageError(const std::string& message) {
    std::fprintf(stderr, "comsim: %s\n\n%s", message.c_str(), Usage().c_str());
    return 2;
}

// The script to play, parsed; false after printing why not.
bool LoadScript(const Options& options, std::vector<Statement>* statements) {
    std::string source = kBuiltInSession;
    std::string name = "built-in session";
    if (!options.script.empty()) {
        std::ifstream file(options.script, std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "comsim: cannot read script %s\n", options.script.c_str());
            return false;
        }
        std::ostringstream text;
        text << file.rdbuf();
        source = text.str();
        name = options.script;
    }
    ScriptError error;
    if (!ParseScript(source, options.ports, statements, &error)) {
        std::fprintf(stderr, "%s:%d:%d: error: %s\n", name.c_str(), error.line, error.column, error.message.c_str());
        return false;
    }
    return true;
}

int PlaySession(Machine* machine, const Options& options, const std::vector<Statement>& statements) {
    Player player(machine, options.ports);
    std::string error;
    bool ok = player.Play(statements, &error);
    if (!ok) {
        std::printf("\nFAILED: %s\n", error.c_str());
    }
    player.CloseAll();
    Heading("Summary");
    player.PrintSummary();
    return ok ? 0 : 1;
}

}  // namespace
}  // namespace comsim

int main(int argc, char** argv) {
    using namespace comsim;
    Options options;
    std::string error;
    if (!ParseOptions(std::vector<std::string>(argv + 1, argv + argc), &options, &error)) {
        return UsageError(error);
    }
    if (options.help) {
        std::fputs(Usage().c_str(), stdout);
        return 0;
    }
    std::vector<Statement> statements;
    if (options.interactive.empty() && !LoadScript(options, &statements)) {
        return 2;
    }
    std::unique_ptr<Machine> machine = MakeMachine(options);
    if (!machine->Start(&error)) {
        std::printf("FAILED: %s\n", error.c_str());
        machine->Stop();
        return 1;
    }
    int status = machine->Run([&] {
        return options.interactive.empty() ? PlaySession(machine.get(), options, statements)
                                           : RunTerminal(options.interactive);
    });
    bool clean = machine->Stop();
    if (options.interactive.empty()) {
        std::printf("\n%s\n", status == 0 && clean ? "session completed" : "session FAILED");
    }
    return status != 0 ? status : clean ? 0 : 1;
}
