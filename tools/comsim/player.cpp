#include "player.h"

#include <cstdio>

#include <windows.h>

namespace comsim {

void Heading(const std::string& text) {
    std::printf("\n== %s\n", text.c_str());
    std::fflush(stdout);
}

Player::Player(Machine* machine, const std::vector<std::string>& ports) : machine_(machine), names_(ports) {
    for (const std::string& name : ports) {
        ports_[name] = std::make_unique<Port>(name);
    }
}

bool Player::Play(const std::vector<Statement>& statements, std::string* error) {
    for (const Statement& s : statements) {
        std::string why;
        if (!Step(s, &why)) {
            *error = "line " + std::to_string(s.line) + ": " + why;
            return false;
        }
    }
    return true;
}

bool Player::Step(const Statement& s, std::string* error) {
    if (s.verb == Verb::Wait) {
        Sleep(s.timeoutMs);
        return true;
    }
    if (s.verb == Verb::Note) {
        Heading(s.text);
        return true;
    }
    Port& port = *ports_.at(s.port);
    bool needsOpen = s.verb != Verb::Open && s.verb != Verb::Unplug && s.verb != Verb::Close;
    if (needsOpen && !port.is_open()) {
        *error = port.name() + " is not open";
        return false;
    }
    bool ok = true;
    DWORD value = 0;
    switch (s.verb) {
    case Verb::Open:
        if (port.is_open()) {
            *error = port.name() + " is already open";
            return false;
        }
        ok = port.Open();
        break;
    case Verb::Close:
        port.Close();
        break;
    case Verb::Send:
        ok = port.Send(s.text);
        break;
    case Verb::Expect:
        ok = port.Expect(s.text, s.timeoutMs);
        break;
    case Verb::Event:
        ok = port.WaitEvent(s.eventMask, s.timeoutMs, &value);
        if (ok) {
            std::printf("  %-5s woke for serial event 0x%04lx\n", port.name().c_str(), static_cast<unsigned long>(value));
        }
        break;
    case Verb::Carrier:
        ok = port.WaitModemStatus(MS_RLSD_ON, s.timeoutMs, &value);
        if (ok) {
            std::printf("  %-5s carrier detected (modem status 0x%02lx)\n", port.name().c_str(),
                        static_cast<unsigned long>(value));
        }
        break;
    case Verb::Wait:
    case Verb::Note:
        break;
    case Verb::Unplug:
        std::printf("  %-5s unplugged\n", port.name().c_str());
        return machine_->Unplug(port.name(), error);
    }
    std::fflush(stdout);
    if (!ok) {
        *error = port.lastError();
    }
    return ok;
}

void Player::CloseAll() {
    for (auto& [name, port] : ports_) {
        port->Close();
    }
}

void Player::PrintSummary() const {
    uint64_t calls = 0;
    for (const std::string& name : names_) {
        const Port& port = *ports_.at(name);
        std::printf("  %s: %llu bytes written, %llu bytes read (modem replies and echo included)\n", name.c_str(),
                    static_cast<unsigned long long>(port.bytesSent()),
                    static_cast<unsigned long long>(port.bytesReceived()));
        calls += port.calls();
    }
    std::printf("  Win32 calls on the ports: %llu\n", static_cast<unsigned long long>(calls));
}

}  // namespace comsim
