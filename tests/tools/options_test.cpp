// comsim's command line: what it accepts, and the errors a user sees.
#include <gtest/gtest.h>

#include "options.h"

namespace comsim {
namespace {

std::string ParseError(const std::vector<std::string>& args) {
    Options options;
    std::string error;
    return ParseOptions(args, &options, &error) ? "" : error;
}

TEST(ComsimOptions, DefaultsToTheBuiltInSessionOnCom5AndCom6) {
    Options options;
    std::string error;
    ASSERT_TRUE(ParseOptions({}, &options, &error));
    EXPECT_EQ(options.ports, (std::vector<std::string>{"COM5", "COM6"}));
    EXPECT_TRUE(options.script.empty());
    EXPECT_TRUE(options.interactive.empty());
    EXPECT_FALSE(options.trace);
}

TEST(ComsimOptions, TakesEveryOption) {
    Options options;
    std::string error;
    ASSERT_TRUE(ParseOptions({"--ports", "COM45,COM46", "--script", "s.comsim", "--pcap", "s.pcap", "--trace",
                              "--virtual-time"},
                             &options, &error))
        << error;
    EXPECT_EQ(options.ports, (std::vector<std::string>{"COM45", "COM46"}));
    EXPECT_EQ(options.script, "s.comsim");
    EXPECT_EQ(options.pcap, "s.pcap");
    EXPECT_TRUE(options.trace);
    EXPECT_TRUE(options.virtualTime);
}

TEST(ComsimOptions, RejectsWhatItDoesNotKnow) {
    struct Case {
        std::vector<std::string> args;
        const char* error;
    };
    const Case cases[] = {
        {{"--bogus"}, "unknown option \"--bogus\""},
        {{"COM5"}, "unknown option \"COM5\""},
        {{"--script"}, "--script needs a value"},
        {{"--pcap", "--trace"}, "--pcap needs a value"},
        {{"--ports", "COM5,LPT1"}, "--ports: \"LPT1\" is not a port name (COM1 to COM256)"},
        {{"--ports", "COM5,"}, "--ports: \"\" is not a port name (COM1 to COM256)"},
        {{"--ports", "COM0"}, "--ports: \"COM0\" is not a port name (COM1 to COM256)"},
        {{"--ports", "COM257"}, "--ports: \"COM257\" is not a port name (COM1 to COM256)"},
        {{"--ports", "COM5,COM5"}, "--ports: COM5 is named twice"},
        {{"--interactive", "COM9"}, "--interactive: no port COM9 (the ports are COM5, COM6)"},
        {{"--script", "a", "--interactive", "COM5"}, "--script and --interactive exclude each other"},
        {{"--virtual-time", "--interactive", "COM5"},
         "--virtual-time and --interactive exclude each other: a person types in real time"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseError(c.args), c.error) << c.args.front();
    }
}

TEST(ComsimOptions, UsageNamesEveryOption) {
    for (const char* option : {"--ports", "--script", "--interactive", "--pcap", "--trace", "--virtual-time", "--help"}) {
        EXPECT_NE(Usage().find(option), std::string::npos) << option;
    }
}

}  // namespace
}  // namespace comsim
