#include "script.h"

#include <algorithm>
#include <cctype>

#include <windows.h>

namespace comsim {

namespace {

const uint32_t kDefaultTimeoutMs = 5000;
const uint32_t kLongestMs = 3600 * 1000;

struct EventName {
    const char* name;
    uint32_t bit;
};

const EventName kEvents[] = {
    {"RXCHAR", EV_RXCHAR}, {"RXFLAG", EV_RXFLAG}, {"TXEMPTY", EV_TXEMPTY}, {"CTS", EV_CTS},
    {"DSR", EV_DSR},       {"RLSD", EV_RLSD},     {"BREAK", EV_BREAK},     {"ERR", EV_ERR},
    {"RING", EV_RING},
};

struct Token {
    std::string text;  // a string's text with its escapes resolved
    int column = 0;
    bool quoted = false;
};

// Splits one line into words and quoted strings; a # outside a string ends it.
class LineReader {
public:
    LineReader(const std::string& line, int number, ScriptError* error)
        : line_(line), number_(number), error_(error) {}

    bool Tokens(std::vector<Token>* tokens) {
        size_t i = 0;
        while (true) {
            while (i < line_.size() && std::isspace(static_cast<unsigned char>(line_[i]))) {
                ++i;
            }
            if (i == line_.size() || line_[i] == '#') {
                return true;
            }
            Token token;
            token.column = static_cast<int>(i) + 1;
            if (line_[i] == '"') {
                token.quoted = true;
                if (!String(&i, &token.text)) {
                    return false;
                }
            } else {
                while (i < line_.size() && !std::isspace(static_cast<unsigned char>(line_[i])) && line_[i] != '"' &&
                       line_[i] != '#') {
                    token.text.push_back(line_[i++]);
                }
            }
            tokens->push_back(token);
        }
    }

    bool Fail(size_t index, const std::string& message) {
        *error_ = ScriptError{number_, static_cast<int>(index) + 1, message};
        return false;
    }

private:
    static int HexDigit(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    // From the opening quote at *i to just past the closing one.
    bool String(size_t* i, std::string* text) {
        size_t open = (*i)++;
        while (*i < line_.size() && line_[*i] != '"') {
            char c = line_[(*i)++];
            if (c != '\\') {
                text->push_back(c);
                continue;
            }
            if (*i == line_.size()) {
                break;
            }
            size_t escape = *i - 1;
            char e = line_[(*i)++];
            switch (e) {
            case 'r': text->push_back('\r'); break;
            case 'n': text->push_back('\n'); break;
            case 't': text->push_back('\t'); break;
            case '\\': text->push_back('\\'); break;
            case '"': text->push_back('"'); break;
            case 'x': {
                int high = *i < line_.size() ? HexDigit(line_[*i]) : -1;
                int low = *i + 1 < line_.size() ? HexDigit(line_[*i + 1]) : -1;
                if (high < 0 || low < 0) {
                    return Fail(escape, "\\x needs two hex digits");
                }
                text->push_back(static_cast<char>(high * 16 + low));
                *i += 2;
                break;
            }
            default:
                return Fail(escape, std::string("unknown escape \\") + e);
            }
        }
        if (*i == line_.size()) {
            return Fail(open, "string not closed");
        }
        ++*i;
        return true;
    }

    const std::string& line_;
    int number_;
    ScriptError* error_;
};

// One statement's tokens, consumed left to right.
class StatementReader {
public:
    StatementReader(const std::vector<Token>& tokens, size_t endColumn, const std::vector<std::string>& ports,
                    LineReader* line)
        : tokens_(tokens), endColumn_(endColumn), ports_(ports), line_(line) {}

    bool Port(std::string* port) {
        const Token* t = Next();
        if (t == nullptr || t->quoted) {
            return Fail(t, "expected a port");
        }
        std::string name = t->text;
        if (name.size() > 1 && name[0] == '$') {
            size_t index = 0;
            bool digits = std::all_of(name.begin() + 1, name.end(), [](unsigned char c) { return std::isdigit(c); });
            if (digits && name.size() < 5) {
                index = std::stoul(name.substr(1));
            }
            if (index < 1 || index > ports_.size()) {
                return Fail(t, name + " names no port: " + std::to_string(ports_.size()) + " given");
            }
            *port = ports_[index - 1];
            return true;
        }
        if (std::find(ports_.begin(), ports_.end(), name) == ports_.end()) {
            return Fail(t, "no port " + name + " (the ports are " + PortList() + ")");
        }
        *port = name;
        return true;
    }

    bool String(std::string* text) {
        const Token* t = Next();
        if (t == nullptr || !t->quoted) {
            return Fail(t, "expected a quoted string");
        }
        *text = t->text;
        return true;
    }

    bool Duration(uint32_t* ms) {
        const Token* t = Next();
        if (t == nullptr || t->quoted) {
            return Fail(t, "expected a duration such as 500ms or 5s");
        }
        return ParseDuration(t, ms);
    }

    bool OptionalDuration(uint32_t* ms) {
        *ms = kDefaultTimeoutMs;
        return pos_ == tokens_.size() || Duration(ms);
    }

    bool Events(uint32_t* mask) {
        const Token* t = Next();
        if (t == nullptr || t->quoted) {
            return Fail(t, "expected serial events such as RXCHAR or RXCHAR|RING");
        }
        *mask = 0;
        size_t start = 0;
        while (start <= t->text.size()) {
            size_t bar = std::min(t->text.find('|', start), t->text.size());
            std::string name = t->text.substr(start, bar - start);
            auto known = std::find_if(std::begin(kEvents), std::end(kEvents),
                                      [&](const EventName& e) { return name == e.name; });
            if (known == std::end(kEvents)) {
                return line_->Fail(static_cast<size_t>(t->column - 1) + start, "unknown serial event \"" + name + "\"");
            }
            *mask |= known->bit;
            start = bar + 1;
        }
        return true;
    }

    bool End() {
        if (pos_ < tokens_.size()) {
            return Fail(&tokens_[pos_], "unexpected \"" + tokens_[pos_].text + "\" after the statement");
        }
        return true;
    }

private:
    const Token* Next() { return pos_ < tokens_.size() ? &tokens_[pos_++] : nullptr; }

    bool Fail(const Token* t, const std::string& message) {
        return line_->Fail(t != nullptr ? static_cast<size_t>(t->column - 1) : endColumn_, message);
    }

    bool ParseDuration(const Token* t, uint32_t* ms) {
        const std::string& s = t->text;
        size_t digits = 0;
        while (digits < s.size() && std::isdigit(static_cast<unsigned char>(s[digits]))) {
            ++digits;
        }
        std::string unit = s.substr(digits);
        if (digits == 0 || digits > 7 || (unit != "ms" && unit != "s")) {
            return Fail(t, "expected a duration such as 500ms or 5s, not \"" + s + "\"");
        }
        uint64_t value = std::stoull(s.substr(0, digits)) * (unit == "s" ? 1000 : 1);
        if (value > kLongestMs) {
            return Fail(t, "a duration of at most an hour");
        }
        *ms = static_cast<uint32_t>(value);
        return true;
    }

    std::string PortList() const {
        std::string text;
        for (const std::string& p : ports_) {
            text += (text.empty() ? "" : ", ") + p;
        }
        return text;
    }

    const std::vector<Token>& tokens_;
    size_t endColumn_;
    const std::vector<std::string>& ports_;
    LineReader* line_;
    size_t pos_ = 1;  // past the verb
};

const struct {
    const char* word;
    Verb verb;
} kVerbs[] = {
    {"open", Verb::Open},       {"close", Verb::Close}, {"send", Verb::Send}, {"expect", Verb::Expect},
    {"event", Verb::Event},     {"carrier", Verb::Carrier}, {"wait", Verb::Wait}, {"note", Verb::Note},
    {"unplug", Verb::Unplug},
};

std::string WithPorts(const std::string& text, const std::vector<std::string>& ports) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '$' && i + 1 < text.size() && text[i + 1] >= '1' && text[i + 1] <= '9' &&
            static_cast<size_t>(text[i + 1] - '0') <= ports.size()) {
            out += ports[static_cast<size_t>(text[++i] - '1')];
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

bool ParseStatement(StatementReader& r, Statement* s, const std::vector<std::string>& ports) {
    switch (s->verb) {
    case Verb::Open:
    case Verb::Close:
    case Verb::Unplug:
        return r.Port(&s->port) && r.End();
    case Verb::Send:
        return r.Port(&s->port) && r.String(&s->text) && r.End();
    case Verb::Expect:
        return r.Port(&s->port) && r.String(&s->text) && r.OptionalDuration(&s->timeoutMs) && r.End();
    case Verb::Event:
        return r.Port(&s->port) && r.Events(&s->eventMask) && r.OptionalDuration(&s->timeoutMs) && r.End();
    case Verb::Carrier:
        return r.Port(&s->port) && r.OptionalDuration(&s->timeoutMs) && r.End();
    case Verb::Wait:
        return r.Duration(&s->timeoutMs) && r.End();
    case Verb::Note:
        if (!r.String(&s->text) || !r.End()) {
            return false;
        }
        s->text = WithPorts(s->text, ports);
        return true;
    }
    return false;
}

}  // namespace

bool ParseScript(const std::string& source, const std::vector<std::string>& ports,
                 std::vector<Statement>* statements, ScriptError* error) {
    statements->clear();
    size_t start = 0;
    for (int number = 1; start < source.size(); ++number) {
        size_t end = source.find('\n', start);
        std::string line = source.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? source.size() : end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        LineReader reader(line, number, error);
        std::vector<Token> tokens;
        if (!reader.Tokens(&tokens)) {
            return false;
        }
        if (tokens.empty()) {
            continue;
        }
        const Token& first = tokens.front();
        auto verb = std::find_if(std::begin(kVerbs), std::end(kVerbs),
                                 [&](const auto& v) { return !first.quoted && first.text == v.word; });
        if (verb == std::end(kVerbs)) {
            return reader.Fail(static_cast<size_t>(first.column - 1), "unknown statement \"" + first.text + "\"");
        }
        Statement statement;
        statement.verb = verb->verb;
        statement.line = number;
        StatementReader r(tokens, line.size(), ports, &reader);
        if (!ParseStatement(r, &statement, ports)) {
            return false;
        }
        statements->push_back(statement);
    }
    return true;
}

}  // namespace comsim
