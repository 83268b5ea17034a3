// comsim scripts: every statement parses to what it says, and each kind of
// mistake is reported at its line and column.
#include <gtest/gtest.h>

#include <windows.h>

#include "script.h"

namespace comsim {
namespace {

const std::vector<std::string> kPorts{"COM5", "COM6"};

TEST(ComsimScript, ParsesEveryStatement) {
    const char* source =
        "# a comment line\n"
        "\n"
        "open COM5   # and a trailing comment\n"
        "send $2 \"ATD#1\\r\\n\\t\\\\\\\"\\x41\"\n"
        "expect COM5 \"OK\"\n"
        "expect COM5 \"RING\" 30s\r\n"
        "event COM6 RXCHAR|RING 250ms\n"
        "carrier COM5\n"
        "wait 1200ms\n"
        "note \"$1 calls $2, $3 stays\"\n"
        "unplug COM6\n"
        "close COM5\n";
    std::vector<Statement> s;
    ScriptError error;
    ASSERT_TRUE(ParseScript(source, kPorts, &s, &error)) << error.line << ":" << error.column << " " << error.message;
    ASSERT_EQ(s.size(), 10u);
    EXPECT_EQ(s[0].verb, Verb::Open);
    EXPECT_EQ(s[0].port, "COM5");
    EXPECT_EQ(s[0].line, 3);
    EXPECT_EQ(s[1].verb, Verb::Send);
    EXPECT_EQ(s[1].port, "COM6");
    EXPECT_EQ(s[1].text, "ATD#1\r\n\t\\\"A");
    EXPECT_EQ(s[2].timeoutMs, 5000u);
    EXPECT_EQ(s[3].timeoutMs, 30000u);
    EXPECT_EQ(s[4].eventMask, static_cast<uint32_t>(EV_RXCHAR | EV_RING));
    EXPECT_EQ(s[4].timeoutMs, 250u);
    EXPECT_EQ(s[5].verb, Verb::Carrier);
    EXPECT_EQ(s[5].timeoutMs, 5000u);
    EXPECT_EQ(s[6].timeoutMs, 1200u);
    EXPECT_EQ(s[7].text, "COM5 calls COM6, $3 stays");
    EXPECT_EQ(s[8].verb, Verb::Unplug);
    EXPECT_EQ(s[9].verb, Verb::Close);
    EXPECT_EQ(s[9].line, 12);
}

TEST(ComsimScript, ErrorsNameTheLineAndColumn) {
    struct Case {
        const char* source;
        int line;
        int column;
        const char* message;
    };
    const Case cases[] = {
        {"dial COM5", 1, 1, "unknown statement \"dial\""},
        {"open COM5\n  \"open\" COM5", 2, 3, "unknown statement \"open\""},
        {"open", 1, 5, "expected a port"},
        {"open COM9", 1, 6, "no port COM9 (the ports are COM5, COM6)"},
        {"open $3", 1, 6, "$3 names no port: 2 given"},
        {"open $0", 1, 6, "$0 names no port: 2 given"},
        {"open COM5 COM6", 1, 11, "unexpected \"COM6\" after the statement"},
        {"send COM5 ATZ", 1, 11, "expected a quoted string"},
        {"send COM5 \"ATZ", 1, 11, "string not closed"},
        {"send COM5 \"AT\\q\"", 1, 14, "unknown escape \\q"},
        {"send COM5 \"AT\\x4\"", 1, 14, "\\x needs two hex digits"},
        {"send COM5 \"AT\\", 1, 11, "string not closed"},
        {"\n\nexpect COM5 \"OK\" 5 s", 3, 18, "expected a duration such as 500ms or 5s, not \"5\""},
        {"expect COM5 \"OK\" 5m", 1, 18, "expected a duration such as 500ms or 5s, not \"5m\""},
        {"wait", 1, 5, "expected a duration such as 500ms or 5s"},
        {"wait 3601s", 1, 6, "a duration of at most an hour"},
        {"event COM6 RXCHAR|BELL", 1, 19, "unknown serial event \"BELL\""},
        {"event COM6", 1, 11, "expected serial events such as RXCHAR or RXCHAR|RING"},
        {"note hello", 1, 6, "expected a quoted string"},
    };
    for (const Case& c : cases) {
        std::vector<Statement> statements;
        ScriptError error;
        EXPECT_FALSE(ParseScript(c.source, kPorts, &statements, &error)) << c.source;
        EXPECT_EQ(error.line, c.line) << c.source;
        EXPECT_EQ(error.column, c.column) << c.source;
        EXPECT_EQ(error.message, c.message) << c.source;
    }
}

TEST(ComsimScript, BuiltInSessionUsesThePortsGiven) {
    std::vector<Statement> statements;
    ScriptError error;
    ASSERT_TRUE(ParseScript(kBuiltInSession, {"COM45", "COM46"}, &statements, &error)) << error.message;
    ASSERT_FALSE(statements.empty());
    EXPECT_EQ(statements.front().verb, Verb::Note);
    EXPECT_EQ(statements.front().text, "Opening COM45 and COM46 (115200 8N1)");
    EXPECT_EQ(statements[1].port, "COM45");
    EXPECT_EQ(statements.back().port, "COM46");
    ASSERT_FALSE(ParseScript(kBuiltInSession, {"COM5"}, &statements, &error));
    EXPECT_EQ(error.message, "$2 names no port: 1 given");
}

}  // namespace
}  // namespace comsim
