// The terminal shows each received CR, LF or CR LF as one new line.
#include <gtest/gtest.h>

#include "terminal.h"

namespace comsim {
namespace {

TEST(TerminalLineEnds, EachLineEndBecomesOneNewLine) {
    struct Case {
        std::vector<std::string> reads;
        const char* shown;
    };
    const Case cases[] = {
        {{"OK\r\n"}, "OK\n"},
        {{"AT\r"}, "AT\n"},
        {{"a\nb\n"}, "a\nb\n"},
        {{"AT\r", "\r\nOK\r\n"}, "AT\n\nOK\n"},
        {{"RING\r", "\n"}, "RING\n"},  // a CR LF split across two reads
        {{"\r\r\n"}, "\n\n"},
        {{"\n\r"}, "\n\n"},
    };
    for (const Case& c : cases) {
        LineEnds ends;
        std::string shown;
        for (const std::string& read : c.reads) {
            shown += ends.Convert(read);
        }
        EXPECT_EQ(shown, c.shown);
    }
}

}  // namespace
}  // namespace comsim
