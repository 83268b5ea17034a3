// Checks a test-signed driver package directory: each driver's (the port
// driver's and the bus driver's) Authenticode signature verifies against the
// package's own test certificate (and fails once the image is altered), and
// each INF has what installing needs.
//
//   check_package --dir DIR --osslsigncode PATH --openssl PATH
//   check_package --skip REASON      (tools missing: exit 77, "skipped")
//
// Exit status: 0 all checks pass, 1 a check failed, 2 usage, 77 skipped.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "inf.h"

namespace {

// The drivers of the package, each with its INF and the check for that INF.
struct Driver {
    const char* sys;
    const char* inf;
    std::vector<std::string> (*check)(const package::Inf&, const std::string&);
    const char* says;
};
const Driver kDrivers[] = {
    {"qvsimdm.sys", "qvsimdm.inf", package::CheckPortsInf,
     "the Ports class, both models with the bus child's ID, the files, the service and PortName"},
    {"qvusbbus.sys", "qvusbbus.inf", package::CheckBusInf,
     "the System class, both models matching CDC-ACM devices, the files and the service"},
};
const char kCertificate[] = "qvsimdm-test.cer";
const int kSkipped = 77;

namespace fs = std::filesystem;

int passes = 0;
int failures = 0;

void Report(bool ok, const std::string& what) {
    std::printf("%s %s\n", ok ? "PASS" : "FAIL", what.c_str());
    (ok ? passes : failures)++;
}

std::string Quoted(const fs::path& path) {
    return "'" + path.string() + "'";
}

bool Run(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

void CheckInf(const fs::path& dir, const Driver& driver) {
    fs::path path = dir / driver.inf;
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    std::vector<std::string> problems = driver.check(package::Inf::Parse(text.str()), driver.sys);
    for (const std::string& problem : problems) {
        Report(false, path.filename().string() + ": " + problem);
    }
    Report(problems.empty() && in, path.filename().string() + " has " + driver.says);
}

// Flips one byte in the middle of the image, past the headers.
bool Tamper(const fs::path& from, const fs::path& to) {
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    std::fstream file(to, std::ios::in | std::ios::out | std::ios::binary);
    auto middle = static_cast<std::streamoff>(fs::file_size(to) / 2);
    char byte = 0;
    file.seekg(middle);
    file.get(byte);
    file.seekp(middle);
    file.put(static_cast<char>(byte ^ 0x5A));
    return static_cast<bool>(file);
}

void CheckSignature(const fs::path& dir, const char* kDriver, const std::string& osslsigncode,
                    const std::string& openssl) {
    fs::path work = fs::temp_directory_path() / ("check_package_" + std::to_string(::getpid()));
    fs::create_directories(work);
    fs::path pem = work / "certificate.pem";
    bool converted = Run(openssl + " x509 -inform der -in " + Quoted(dir / kCertificate) + " -out " + Quoted(pem));
    Report(converted, std::string(kCertificate) + " is a DER certificate");
    if (converted) {
        std::string verify = osslsigncode + " verify -CAfile " + Quoted(pem) + " -in ";
        Report(Run(verify + Quoted(dir / kDriver)), std::string(kDriver) + " is signed with the package's certificate");
        fs::path altered = work / kDriver;
        Report(Tamper(dir / kDriver, altered) && !Run(verify + Quoted(altered)),
               std::string(kDriver) + " altered by one byte no longer verifies");
    }
    fs::remove_all(work);
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir, osslsigncode, openssl;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        if (option == "--skip") {
            std::printf("SKIPPED: %s\n", argv[i + 1]);
            return kSkipped;
        }
        if (option == "--dir") {
            dir = argv[i + 1];
        } else if (option == "--osslsigncode") {
            osslsigncode = argv[i + 1];
        } else if (option == "--openssl") {
            openssl = argv[i + 1];
        } else {
            dir.clear();
            break;
        }
    }
    if (dir.empty() || osslsigncode.empty() || openssl.empty()) {
        std::fprintf(stderr, "usage: check_package --dir DIR --osslsigncode PATH --openssl PATH | --skip REASON\n");
        return 2;
    }
    Report(fs::exists(fs::path(dir) / kCertificate), std::string("the package has ") + kCertificate);
    for (const Driver& driver : kDrivers) {
        for (const char* file : {driver.sys, driver.inf}) {
            Report(fs::exists(fs::path(dir) / file), std::string("the package has ") + file);
        }
    }
    if (failures == 0) {
        for (const Driver& driver : kDrivers) {
            CheckInf(dir, driver);
            CheckSignature(dir, driver.sys, osslsigncode, openssl);
        }
    }
    std::printf("%d passed, %d failed\n", passes, failures);
    return failures == 0 ? 0 : 1;
}
