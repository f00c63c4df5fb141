#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#include "platform/com_port_names.h"
#include "platform/format.h"
#include "platform/port_scan.h"
#include "pty_support.h"

namespace nvx {
namespace {

using test::Pty;
using test::TempDir;

// ---- Resolution order

struct ResolveCase {
    const char* name;
    std::map<std::string, std::string> env;
    std::map<std::string, std::string> links;  // name in the start directory -> target
    std::vector<std::string> files;            // plain files in the start directory
    uint32_t port;
    std::string expected;  // "@/x" means <start directory>/x
};

void PrintTo(const ResolveCase& c, std::ostream* os) { *os << c.name; }

class ResolveTest : public ::testing::TestWithParam<ResolveCase> {};

TEST_P(ResolveTest, FirstMatchWins) {
    const ResolveCase& c = GetParam();
    TempDir dir;
    for (const auto& [name, target] : c.links) dir.Link(name, target);
    for (const std::string& name : c.files) std::ofstream(dir / name) << "x";
    const auto env = [&](const std::string& name) {
        auto it = c.env.find(name);
        return it == c.env.end() ? std::string() : it->second;
    };
    const std::string expected = c.expected.rfind("@", 0) == 0 ? dir / c.expected.substr(2) : c.expected;
    // The directories work with and without their trailing slash.
    const std::string start = dir.dir();
    EXPECT_EQ(ResolveComPortWith(c.port, start, env, "/devx"), expected);
    EXPECT_EQ(ResolveComPortWith(c.port, start.substr(0, start.size() - 1), env, "/devx/"), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Routes, ResolveTest,
    ::testing::Values(
        ResolveCase{"NothingSetGivesTheUartLine", {}, {}, {}, 1, "/devx/ttyS0"},
        ResolveCase{"PortTwelve", {}, {}, {}, 12, "/devx/ttyS11"},
        ResolveCase{"LinkInStartDirectory", {}, {{"com1", "/dev/null"}}, {}, 1, "@/com1"},
        ResolveCase{"DanglingLinkStillCounts", {}, {{"com2", "/nowhere"}}, {}, 2, "@/com2"},
        ResolveCase{"EnvironmentBeatsLink",
                    {{"NORVIX_COM1", "/dev/pts/77"}}, {{"com1", "/dev/null"}}, {}, 1, "/dev/pts/77"},
        ResolveCase{"EmptyVariableIsIgnored", {{"NORVIX_COM1", ""}}, {{"com1", "/dev/null"}}, {}, 1,
                    "@/com1"},
        ResolveCase{"PlainFileIsNoPort", {}, {}, {"com3"}, 3, "/devx/ttyS2"},
        ResolveCase{"OtherNumbersDoNotAnswer",
                    {{"NORVIX_COM10", "/dev/pts/5"}}, {{"com10", "/dev/null"}, {"com01", "/dev/null"}},
                    {}, 1, "/devx/ttyS0"},
        ResolveCase{"PortZeroHasNoDevice", {{"NORVIX_COM0", "/dev/pts/5"}}, {}, {}, 0, ""}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(ResolveComPort, ReadsTheProcessEnvironmentAndTheRealDeviceDirectory) {
    TempDir dir;
    ::setenv("NORVIX_COM9", "/dev/pts/123", 1);
    EXPECT_EQ(ResolveComPort(9, dir.dir()), "/dev/pts/123");
    ::unsetenv("NORVIX_COM9");
    EXPECT_EQ(ResolveComPort(9, dir.dir()), "/dev/ttyS8");
}

TEST(ComStartDirectory, IsTheCurrentDirectoryUntilSet) {
    SetComStartDirectory("");
    EXPECT_EQ(ComStartDirectory(), std::filesystem::current_path().string() + "/");
    SetComStartDirectory("/srv/monitor/");
    EXPECT_EQ(ComStartDirectory(), "/srv/monitor/");
    SetComStartDirectory("");
}

// ---- Scan

std::string Real(const std::string& path) { return std::filesystem::canonical(path).string(); }

const SerialDeviceInfo* Find(const PortScan& scan, const std::string& device) {
    for (const SerialDeviceInfo& d : scan.devices)
        if (d.device == device) return &d;
    return nullptr;
}

std::vector<uint32_t> Numbers(const std::vector<ComRoute>& routes) {
    std::vector<uint32_t> n;
    for (const ComRoute& r : routes) n.push_back(r.number);
    return n;
}

std::string LineOf(const std::string& text, const std::string& start) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t end = text.find('\n', pos);
        const std::string line = text.substr(pos, end - pos);
        if (line.rfind(start, 0) == 0) return line;
        if (end == std::string::npos) break;
        pos = end + 1;
    }
    return {};
}

TEST(PortScan, APtyLinkedAsCom1InTheCurrentDirectoryIsListedAsCom1) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    TempDir dir;
    dir.Link("com1", pty.slave());
    ::unsetenv("NORVIX_COM1");
    // As `nvx ports` runs: nothing set, the current directory is where the links are.
    SetComStartDirectory("");
    const std::filesystem::path home = std::filesystem::current_path();
    std::filesystem::current_path(dir.dir());
    const PortScan scan = ScanSerialPorts(SystemPortScanSources());
    std::filesystem::current_path(home);

    const SerialDeviceInfo* d = Find(scan, Real(pty.slave()));
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(d->routes.size(), 1u);
    EXPECT_EQ(d->routes[0].number, 1u);
    EXPECT_EQ(d->routes[0].via, "./com1");
    const std::string line = LineOf(FormatPortScan(scan, dir.dir()), "  " + Real(pty.slave()) + " ");
    EXPECT_NE(line.find("COM 1 (./com1)"), std::string::npos) << line;
}

// A whole machine in scratch directories: a device directory whose serial lines are links to
// ptys, a by-id directory, the kernel's tty attributes, a start directory and an environment.
class PortScanMachine : public ::testing::Test {
protected:
    void SetUp() override {
        for (auto& p : ptys) {
            p = std::make_unique<Pty>();
            ASSERT_TRUE(p->ok());
        }
        std::filesystem::create_directories(dev / "serial/by-id");
        dev.Link("ttyS0", slave(kUart0));
        dev.Link("ttyS1", slave(kUart1));
        dev.Link("ttyS4", slave(kUart4));
        dev.Link("ttyUSB0", slave(kUsb));
        dev.Link("ttyX3", slave(kOther));  // not a serial line name
        std::filesystem::create_symlink("../../ttyUSB0", dev / "serial/by-id/usb-Maker_Adapter_42-if00-port0");
        // Links as the example udev rule makes them: two ports of one adapter, one link to a
        // line the kernel named in no way the scan knows, one to a device that is gone.
        dev.Link("norvix-A42", "ttyUSB0");
        dev.Link("norvix-A42-if01", slave(kUsbSecond));
        dev.Link("norvix-GONE", dev / "ttyUSB9");
        dev.Link("other-A42", "ttyUSB0");  // not one of the rule's names
        for (const char* line : {"ttyS0", "ttyS1", "ttyS4"}) {
            std::filesystem::create_directories(sys / line);
            std::ofstream(sys / (std::string(line) + "/type")) << (std::string(line) == "ttyS1" ? "0\n" : "4\n");
        }
        start.Link("com1", slave(kLinked));
        start.Link("com3", start / "missing");
        start.Link("com01", slave(kOddName));
        std::ofstream(start / "notes.txt") << "x";

        sources.environment = {"HOME=/root", "NORVIX_COM7=" + slave(kUsb),
                               "NORVIX_COM2=" + (start / "nothing"), "NORVIX_COMX=1"};
        sources.startDirectory = start.dir();
        sources.devDirectory = dev / "";
        sources.byIdDirectory = dev / "serial/by-id";
        sources.sysTtyDirectory = sys / "";
    }
    std::string slave(int i) const { return ptys[i]->slave(); }
    std::string real(int i) const { return Real(slave(i)); }

    enum { kUart0, kUart1, kUart4, kUsb, kOther, kLinked, kOddName, kUsbSecond, kPtyCount };
    std::unique_ptr<Pty> ptys[kPtyCount];
    TempDir dev, sys, start;
    PortScanSources sources;
};

TEST_F(PortScanMachine, EveryDeviceWithTheNumbersThatReachIt) {
    const PortScan scan = ScanSerialPorts(sources);

    struct Expect {
        int pty;
        std::vector<uint32_t> numbers;
        std::vector<std::string> via;
        bool noUart;
        std::vector<std::string> byId;
        std::vector<std::string> stable;  // names in the device directory
    };
    const Expect expected[] = {
        {kUart0, {}, {}, false, {}, {}},  // COM 1 is taken by the link
        {kUart1, {}, {}, true, {}, {}},   // COM 2 is taken by the variable
        {kUart4, {5}, {"default"}, false, {}, {}},
        {kUsb, {7}, {"NORVIX_COM7"}, false, {"usb-Maker_Adapter_42-if00-port0"}, {"norvix-A42"}},
        {kLinked, {1}, {"./com1"}, false, {}, {}},
        {kUsbSecond, {}, {}, false, {}, {"norvix-A42-if01"}},
    };
    ASSERT_EQ(scan.devices.size(), std::size(expected));
    for (const Expect& e : expected) {
        SCOPED_TRACE(slave(e.pty));
        const SerialDeviceInfo* d = Find(scan, real(e.pty));
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(Numbers(d->routes), e.numbers);
        std::vector<std::string> via;
        for (const ComRoute& r : d->routes) via.push_back(r.via);
        EXPECT_EQ(via, e.via);
        EXPECT_EQ(d->noUart, e.noUart);
        EXPECT_EQ(d->byIdNames, e.byId);
        std::vector<std::string> stable;
        for (const std::string& name : e.stable) stable.push_back(dev / name);
        EXPECT_EQ(d->stableLinks, stable);
    }
    EXPECT_EQ(Find(scan, real(kOther)), nullptr);
    EXPECT_EQ(Find(scan, real(kOddName)), nullptr);

    ASSERT_EQ(Numbers(scan.unresolved), (std::vector<uint32_t>{2, 3}));
    EXPECT_EQ(scan.unresolved[0].via, "NORVIX_COM2");
    EXPECT_EQ(scan.unresolved[0].path, start / "nothing");
    EXPECT_EQ(scan.unresolved[1].via, "./com3");
    EXPECT_EQ(scan.unresolved[1].path, start / "com3");

    // Natural order: /dev/pts/9 before /dev/pts/10.
    for (std::size_t i = 1; i < scan.devices.size(); ++i) {
        const std::string& a = scan.devices[i - 1].device;
        const std::string& b = scan.devices[i].device;
        EXPECT_TRUE(a.size() < b.size() || (a.size() == b.size() && a < b)) << a << " " << b;
    }
}

TEST_F(PortScanMachine, TheListingShowsNumbersNamesAndDeadEnds) {
    const std::string text = FormatPortScan(ScanSerialPorts(sources), start.dir());
    EXPECT_EQ(LineOf(text, "Start directory: "), "Start directory: " + start.dir());
    const auto line = [&](int pty) { return LineOf(text, "  " + real(pty) + " "); };
    EXPECT_NE(line(kLinked).find(" COM 1 (./com1)"), std::string::npos) << text;
    EXPECT_NE(line(kUsb).find(" COM 7 (NORVIX_COM7)  by-id: usb-Maker_Adapter_42-if00-port0"),
              std::string::npos) << text;
    EXPECT_NE(line(kUart1).find(" -  (no UART detected)"), std::string::npos) << text;
    EXPECT_NE(line(kUart4).find(" COM 5 (default)"), std::string::npos) << text;
    EXPECT_EQ(LineOf(text, "  COM 2 "), "  COM 2 (NORVIX_COM2) -> " + (start / "nothing"));
    EXPECT_EQ(LineOf(text, "  COM 3 "), "  COM 3 (./com3) -> " + (start / "com3"));
    EXPECT_NE(line(kUsb).find("  by-id: usb-Maker_Adapter_42-if00-port0  stable: " + (dev / "norvix-A42")),
              std::string::npos) << text;
    EXPECT_EQ(line(kUsbSecond), "  " + Format("%-16s", real(kUsbSecond).c_str()) + " -  stable: " +
                                    (dev / "norvix-A42-if01")) << text;
    // How to give a stable name a number, with the first one found as the example.
    EXPECT_NE(text.find("e.g. ln -s " + (dev / "norvix-A42") + " com1\n"), std::string::npos) << text;
}

TEST(PortScan, WithoutStableLinksNoWordAboutThem) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    TempDir dev, start;
    dev.Link("ttyUSB0", pty.slave());
    PortScanSources s;
    s.startDirectory = start.dir();
    s.devDirectory = dev.dir();
    s.byIdDirectory = s.sysTtyDirectory = start.dir();
    const std::string text = FormatPortScan(ScanSerialPorts(s), start.dir());
    EXPECT_NE(text.find(Real(pty.slave())), std::string::npos) << text;
    EXPECT_EQ(text.find("stable"), std::string::npos) << text;
    EXPECT_EQ(text.find("ln -s"), std::string::npos) << text;
}

TEST(PortScan, ADeviceReachedTwiceListsBothNumbers) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    TempDir start, empty;
    start.Link("com4", pty.slave());
    PortScanSources s;
    s.environment = {"NORVIX_COM12=" + pty.slave()};
    s.startDirectory = start.dir();
    s.devDirectory = s.byIdDirectory = s.sysTtyDirectory = empty.dir();
    const PortScan scan = ScanSerialPorts(s);
    ASSERT_EQ(scan.devices.size(), 1u);
    EXPECT_EQ(Numbers(scan.devices[0].routes), (std::vector<uint32_t>{4, 12}));
    EXPECT_NE(FormatPortScan(scan, start.dir()).find("COM 4 (./com4), COM 12 (NORVIX_COM12)"),
              std::string::npos);
}

TEST(PortScan, NothingFoundSaysSo) {
    TempDir empty;
    PortScanSources s;
    s.startDirectory = s.devDirectory = s.byIdDirectory = s.sysTtyDirectory = empty.dir();
    const PortScan scan = ScanSerialPorts(s);
    EXPECT_TRUE(scan.devices.empty());
    EXPECT_TRUE(scan.unresolved.empty());
    EXPECT_NE(FormatPortScan(scan, empty.dir()).find("Serial devices: none found\n"), std::string::npos);
}

}  // namespace
}  // namespace nvx
