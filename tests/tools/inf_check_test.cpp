// The INF reader and the checks of the driver's installation INF: the INF
// shipped in driver/ passes, and each thing installing needs, once removed
// or broken, is reported.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "inf.h"

namespace package {
namespace {

std::string ShippedInf(const char* path = DRIVER_INF_PATH) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Joined(const std::vector<std::string>& problems) {
    std::string text;
    for (const std::string& p : problems) {
        text += p + "\n";
    }
    return text;
}

TEST(InfReader, ReadsSectionsKeysValuesAndComments) {
    Inf inf = Inf::Parse(
        "; a comment before any section\n"
        "[Version]\n"
        "Signature = \"$WINDOWS NT$\"  ; trailing comment\n"
        "[strings]\n"
        "Desc = \"a; b, c\"\n"
        "[Files]\n"
        "a.sys, , , 2\n"
        "[Long]\n"
        "AddReg = first, \\\n"
        "         second\n");
    EXPECT_EQ(inf.Value("version", "signature"), "$WINDOWS NT$");
    EXPECT_EQ(inf.Value("Strings", "Desc"), "a; b, c");
    ASSERT_EQ(inf.Section("FILES").size(), 1u);
    EXPECT_EQ(inf.Section("Files")[0].key, "");
    EXPECT_EQ(inf.Section("Files")[0].values, (std::vector<std::string>{"a.sys", "", "", "2"}));
    ASSERT_EQ(inf.Section("Long").size(), 1u);
    EXPECT_EQ(inf.Section("Long")[0].values, (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(inf.Section("Long")[0].number, 9);
    EXPECT_FALSE(inf.HasSection("Missing"));
    EXPECT_TRUE(inf.Section("Missing").empty());
}

TEST(PortsInfCheck, ShippedInfIsComplete) {
    std::string text = ShippedInf();
    ASSERT_FALSE(text.empty()) << DRIVER_INF_PATH;
    EXPECT_EQ(Joined(CheckPortsInf(Inf::Parse(text), "qvsimdm.sys")), "");
}

TEST(PortsInfCheck, EachMissingPieceIsReported) {
    struct Case {
        const char* pattern;      // a regular expression over the whole INF...
        const char* replacement;  // ...and what replaces its matches
        const char* problem;      // one of the problems then reported
    };
    const Case cases[] = {
        {R"(AddService[^\n]*\n)", "", "has no AddService with a service section"},
        {R"(Class\s*=\s*Ports)", "Class = Modem", "[Version] Class is not Ports"},
        {R"(\{4D36E978-E325-11CE-BFC1-08002BE10318\})", "{4D36E96D-E325-11CE-BFC1-08002BE10318}",
         "[Version] ClassGuid is not the Ports class"},
        {R"(Signature\s*=[^\n]*)", "Signature = \"$Chicago$\"", "[Version] Signature is not"},
        {R"(, NTamd64)", "", "[Manufacturer] has no NTamd64 models"},
        {R"(, NTx86)", "", "[Manufacturer] has no NTx86 models"},
        {R"(\[Manufacturer\])", "[NoManufacturer]", "[Manufacturer] is missing or empty"},
        {R"(\[DestinationDirs\])", "[NoDestinationDirs]", "[DestinationDirs] is missing"},
        {R"(CopyFiles\s*=[^\n]*\n)", "", "has no CopyFiles"},
        {R"(\nqvsimdm\.sys\n)", "\n", "does not copy qvsimdm.sys"},
        {R"(qvsimdm\.sys\s*=\s*1)", "other.sys = 1", "[SourceDisksFiles] does not list qvsimdm.sys"},
        {R"(ServiceType\s*=\s*1)", "ServiceType = 2", "ServiceType is not 1"},
        {R"(ServiceBinary\s*=[^\n]*)", "ServiceBinary = %12%\\other.sys", "ServiceBinary is not the path"},
        {R"(StartType\s*=[^\n]*\n)", "", "has no StartType"},
        {R"(0x00000002, QvSimModem_Service)", "0x00000000, QvSimModem_Service", "the function driver (flag 0x2)"},
        {R"(HKR,,PortName)", "HKR,,OtherName", "does not write PortName"},
        {R"(\[QvSimModem_Install\.NT\.HW\])", "[Elsewhere]", "does not write PortName"},
        {R"(QvSimModem_Install, QVSIMBUS)", "Missing_Install, QVSIMBUS", "installs with Missing_Install, which is missing"},
        {R"(QVUSBBUS\\CDC_ACM\n)", "QVUSBBUS\\OTHER\n", "does not match QVUSBBUS\\CDC_ACM"},
    };
    const std::string shipped = ShippedInf();
    for (const Case& c : cases) {
        std::string damaged = std::regex_replace(shipped, std::regex(c.pattern), c.replacement);
        ASSERT_NE(damaged, shipped) << c.pattern << " matches nothing in the INF";
        std::string problems = Joined(CheckPortsInf(Inf::Parse(damaged), "qvsimdm.sys"));
        EXPECT_NE(problems.find(c.problem), std::string::npos) << c.pattern << " gave:\n" << problems;
    }
}

TEST(BusInfCheck, ShippedInfIsComplete) {
    std::string text = ShippedInf(BUS_INF_PATH);
    ASSERT_FALSE(text.empty()) << BUS_INF_PATH;
    EXPECT_EQ(Joined(CheckBusInf(Inf::Parse(text), "qvusbbus.sys")), "");
}

TEST(BusInfCheck, EachMissingPieceIsReported) {
    struct Case {
        const char* pattern;
        const char* replacement;
        const char* problem;
    };
    const Case damage[] = {
        {R"(Class\s*=\s*System)", "Class = Ports", "[Version] Class is not System"},
        {R"(\{4D36E97D-E325-11CE-BFC1-08002BE10318\})", "{4D36E978-E325-11CE-BFC1-08002BE10318}",
         "ClassGuid is not the System class"},
        {R"(USB\\Class_02&SubClass_02)", "USB\\Class_0A", "does not match USB\\Class_02&SubClass_02"},
        {R"(ServiceBinary\s*=[^\n]*)", "ServiceBinary = %12%\\qvsimdm.sys", "ServiceBinary is not the path"},
        {R"(\nqvusbbus\.sys\n)", "\n", "does not copy qvusbbus.sys"},
    };
    const std::string shipped = ShippedInf(BUS_INF_PATH);
    for (const Case& c : damage) {
        std::string damaged = std::regex_replace(shipped, std::regex(c.pattern), c.replacement);
        ASSERT_NE(damaged, shipped) << c.pattern << " matches nothing in the INF";
        std::string problems = Joined(CheckBusInf(Inf::Parse(damaged), "qvusbbus.sys"));
        EXPECT_NE(problems.find(c.problem), std::string::npos) << c.pattern << " gave:\n" << problems;
    }
}

}  // namespace
}  // namespace package
