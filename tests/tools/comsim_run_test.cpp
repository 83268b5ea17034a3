// The main job end to end: comsim run as a program on the simulated machine,
// its scripts, its capture (decoded by tshark where installed) and its trace.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Outcome {
    int status = -1;
    std::string output;  // stdout and stderr
};

Outcome Shell(const std::string& command) {
    Outcome run;
    std::FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
        run.output.append(buffer, got);
    }
    int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// On virtual time: the session runs the same however loaded the machine is.
Outcome Comsim(const std::string& args) {
    return Shell(std::string(COMSIM_PATH) + " --virtual-time " + args + " </dev/null");
}

std::filesystem::path TempFile(const std::string& name) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::filesystem::temp_directory_path() /
           ("comsim_" + std::string(info->name()) + "_" + std::to_string(getpid()) + "_" + name);
}

std::filesystem::path WriteScript(const std::string& text) {
    std::filesystem::path path = TempFile("script.comsim");
    std::ofstream(path) << text;
    return path;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(ComsimRun, ShippedSessionScriptReplaysTheBuiltInSession) {
    Outcome run = Comsim(std::string("--script ") + COMSIM_SESSION_SCRIPT);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(Contains(run.output, "== COM6 answers")) << run.output;
    EXPECT_TRUE(Contains(run.output, "CONNECT 115200")) << run.output;
    EXPECT_TRUE(Contains(run.output, "driver pool left after removal: 0 bytes")) << run.output;
    EXPECT_TRUE(Contains(run.output, "session completed")) << run.output;
}

TEST(ComsimRun, BrokenScriptNamesLineAndColumn) {
    std::filesystem::path script = WriteScript("open $1\n  send $1 \"AT\\q\"\n");
    Outcome run = Comsim("--script " + script.string());
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.output, script.string() + ":2:14: error: unknown escape \\q\n");
    std::filesystem::remove(script);
}

TEST(ComsimRun, ExpectThatTimesOutShowsWhatArrived) {
    std::filesystem::path script = WriteScript("open $1\nsend $1 \"AT\\r\"\nexpect $1 \"CONNECT\" 1s\n");
    Outcome run = Comsim("--script " + script.string());
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Contains(run.output, "FAILED: line 3: COM5: expected \"CONNECT\" within 1000 ms, got \"AT\\r\\r\\nOK\\r\\n\""))
        << run.output;
    EXPECT_TRUE(Contains(run.output, "session FAILED")) << run.output;
    std::filesystem::remove(script);
}

TEST(ComsimRun, UnplugWhileOpenLeavesNoPool) {
    std::filesystem::path script = WriteScript("open $1\nunplug $1\nclose $1\n");
    Outcome run = Comsim("--script " + script.string());
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(Contains(run.output, "driver pool left after removal: 0 bytes")) << run.output;
    std::filesystem::remove(script);
}

TEST(ComsimRun, UnknownOptionShowsUsage) {
    Outcome run = Comsim("--frobnicate");
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(Contains(run.output, "comsim: unknown option \"--frobnicate\"")) << run.output;
    EXPECT_TRUE(Contains(run.output, "usage: comsim")) << run.output;
}

TEST(ComsimRun, TerminalShowsRepliesLineByLine) {
    Outcome run = Shell(std::string("printf 'help\\nATI\\n' | ") + COMSIM_PATH + " --interactive COM6");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(Contains(run.output, "exit   closes the port")) << run.output;
    EXPECT_TRUE(Contains(run.output, "ATI\n\nQVSIM USB MODEM 1.0\n\nOK\n")) << run.output;
    EXPECT_FALSE(Contains(run.output, "\r")) << run.output;
}

// Every request and URB line names what it shows: the major function, the
// IOCTL, the URB function and the statuses by name, never by number.
TEST(ComsimRun, TraceNamesEveryRequestAndUrb) {
    Outcome run = Comsim("--trace");
    ASSERT_EQ(run.status, 0) << run.output;
    std::map<std::string, int> seen;
    int traced = 0;
    for (const std::string& line : Lines(run.output)) {
        std::istringstream words(line);
        std::string time, port, what;
        if (!(words >> time >> port >> what) || time.find('.') == std::string::npos ||
            (what.rfind("IRP_MJ_", 0) != 0 && what.rfind("URB_FUNCTION_", 0) != 0)) {
            continue;
        }
        ++traced;
        std::string names = line;  // less the pipe, whose endpoint address is a number
        if (size_t open = names.find('('); open != std::string::npos) {
            names.erase(open, names.find(')') - open);
        }
        EXPECT_FALSE(Contains(names, "0x")) << "a number where a name belongs: " << line;
        for (std::string word; words >> word;) {
            seen[word]++;
        }
        seen[what]++;
    }
    EXPECT_GT(traced, 50);
    for (const char* name :
         {"IRP_MJ_CREATE", "IRP_MJ_READ", "IRP_MJ_WRITE", "IRP_MJ_DEVICE_CONTROL", "IOCTL_SERIAL_SET_BAUD_RATE",
          "IOCTL_SERIAL_SET_LINE_CONTROL", "IOCTL_SERIAL_SET_TIMEOUTS", "IOCTL_SERIAL_WAIT_ON_MASK",
          "IOCTL_SERIAL_GET_MODEMSTATUS", "STATUS_SUCCESS", "URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER",
          "URB_FUNCTION_CLASS_INTERFACE", "SET_LINE_CODING", "SET_CONTROL_LINE_STATE", "URB_FUNCTION_ABORT_PIPE",
          "USBD_STATUS_SUCCESS", "USBD_STATUS_CANCELED", "(bulk-in", "(bulk-out", "(interrupt-in"}) {
        EXPECT_GT(seen[name], 0) << name << " missing from the trace";
    }
}

std::string Tshark(const std::filesystem::path& capture, const std::string& args) {
    return Shell("tshark -r " + capture.string() + " " + args + " 2>/dev/null").output;
}

TEST(ComsimRun, CaptureDecodesWithTshark) {
    if (Shell("command -v tshark").status != 0) {
        GTEST_SKIP() << "tshark is not installed";
    }
    std::filesystem::path capture = TempFile("session.pcap");
    Outcome run = Comsim("--pcap " + capture.string());
    ASSERT_EQ(run.status, 0) << run.output;

    // Class requests and notifications, per device address (COM5 is 1, COM6 is 2).
    std::string classes = Tshark(capture, "-Y usbcom -T fields -e usb.device_address -e _ws.col.Info");
    for (const char* device : {"1", "2"}) {
        for (const char* request : {"SET LINE CODING Request", "SET CONTROL LINE STATE Request", "SERIAL STATE"}) {
            EXPECT_TRUE(Contains(classes, std::string(device) + "\t" + request)) << device << " " << request;
        }
    }
    // Bulk data both ways: what each port wrote went out on its bulk-out
    // pipe, byte for byte; replies came in on bulk-in.
    std::string bulk = Tshark(capture, "-Y \"usb.transfer_type==3 && usb.data_len>0\" -T fields "
                                       "-e usb.device_address -e usb.endpoint_address -e usb.data_len");
    std::map<std::string, long> bytes;
    for (const std::string& line : Lines(bulk)) {
        std::istringstream fields(line);
        std::string device, endpoint;
        long length = 0;
        if (fields >> device >> endpoint >> length) {
            bytes[device + " " + endpoint] += length;
        }
    }
    EXPECT_TRUE(Contains(run.output, "COM5: " + std::to_string(bytes["1 0x02"]) + " bytes written")) << run.output;
    EXPECT_TRUE(Contains(run.output, "COM6: " + std::to_string(bytes["2 0x02"]) + " bytes written")) << run.output;
    EXPECT_GT(bytes["1 0x81"], 0);
    EXPECT_GT(bytes["2 0x81"], 0);
    std::filesystem::remove(capture);
}

}  // namespace
