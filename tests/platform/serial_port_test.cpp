#include "platform/serial_port.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>

#include "platform/user_dialogs.h"
#include "pty_support.h"
#include "support/recording_dialogs.h"

namespace nvx {
namespace {

using test::Pty;
using test::TempDir;

bool SameTermios(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
           cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}

// A pty linked as com1 in a scratch start directory, its line put into a cooked state unlike
// anything Open sets, and a second slave descriptor through which the test watches the line.
class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        for (int n : {1, 2, 3, 5, 7}) ::unsetenv(("NORVIX_COM" + std::to_string(n)).c_str());
        SetComStartDirectory(dir.dir());
        SetMessageBoxes(&boxes);
        dir.Link("com1", pty.slave());
        watch = ::open(pty.slave().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(watch, 0);
        termios t{};
        ASSERT_EQ(tcgetattr(watch, &t), 0);
        t.c_lflag |= ICANON | ECHO | ISIG;
        t.c_iflag |= ICRNL | IXON | IXOFF;
        t.c_oflag |= OPOST;
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 5;
        cfsetispeed(&t, B9600);
        cfsetospeed(&t, B9600);
        ASSERT_EQ(tcsetattr(watch, TCSANOW, &t), 0);
        before = Line();
    }
    void TearDown() override {
        if (watch >= 0) ::close(watch);
        SetMessageBoxes(nullptr);
        SetComStartDirectory("");
    }
    termios Line() const {
        termios t{};
        EXPECT_EQ(tcgetattr(watch, &t), 0);
        return t;
    }

    Pty pty;
    TempDir dir;
    RecordingMessageBoxes boxes;
    int watch = -1;
    termios before{};
};

TEST_F(SerialPortTest, OpenSetsARawLineAndCloseRestoresWhatItFound) {
    SerialPort port;
    ASSERT_TRUE(port.Open(1, 19200, 8, 0, 0));
    EXPECT_TRUE(port.IsOpen());
    EXPECT_TRUE(boxes.shown.empty());

    const termios t = Line();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B19200));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | INPCK | ISTRIP | BRKINT), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_EQ(t.c_cc[VINTR], before.c_cc[VINTR]);  // special characters keep their values

    EXPECT_TRUE(port.Close());
    EXPECT_FALSE(port.IsOpen());
    EXPECT_TRUE(SameTermios(Line(), before));
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(SerialPortTest, TheBootloaderSpeedIsSetToo) {
    SerialPort port;
    ASSERT_TRUE(port.Open(1, 38400));
    const termios t = Line();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B38400));
    EXPECT_TRUE(port.Close());
    EXPECT_TRUE(SameTermios(Line(), before));
}

TEST_F(SerialPortTest, APortIsOpenedOnlyOnce) {
    SerialPort port;
    ASSERT_TRUE(port.Open(1, 19200));
    // The same object: refused without a word.
    EXPECT_FALSE(port.Open(1, 19200));
    EXPECT_TRUE(boxes.shown.empty());
    // A second object on the same device: refused as a device that cannot be opened.
    SerialPort other;
    EXPECT_FALSE(other.Open(1, 19200));
    EXPECT_FALSE(other.IsOpen());
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "Error open COM1:\n" + dir / "com1" + ": Device or resource busy");
    EXPECT_EQ(boxes.shown[0].caption, "Error 1");
    EXPECT_EQ(boxes.shown[0].icon, MessageIcon::Stop);
    // Another process that locks the device is turned away just the same.
    const int fd = ::open(pty.slave().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_NE(::flock(fd, LOCK_EX | LOCK_NB), 0);
    ::close(fd);

    EXPECT_TRUE(port.Close());
    EXPECT_TRUE(other.Open(1, 19200));  // the lock went with the close
    EXPECT_TRUE(other.Close());
}

// Whoever holds the port when the bootloader's settings are due can be named.
TEST_F(SerialPortTest, TheProgramsHoldingAPortAreNamed) {
    EXPECT_EQ(PortHolders(dir / "com1"), "");  // this process's own handles do not count
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        const int fd = ::open(pty.slave().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) ::_exit(1);
        (void)!::write(ready[1], "x", 1);
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    char got = 0;
    ASSERT_EQ(::read(ready[0], &got, 1), 1);
    ::close(ready[0]);
    errno = 0;
    EXPECT_FALSE(ApplyLineSettings(1, 38400));
    EXPECT_EQ(errno, EWOULDBLOCK);
    const std::string holders = PortHolders(dir / "com1");
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    EXPECT_EQ(holders.rfind("PID " + std::to_string(holder) + " (", 0), 0u) << holders;
    EXPECT_EQ(PortHolders(dir / "absent"), "");
}

TEST_F(SerialPortTest, AHungUpLineIsTold) {
    SerialPort port;
    ASSERT_TRUE(port.Open(1, 19200));
    EXPECT_FALSE(port.HungUp());
    pty.CloseMaster();
    EXPECT_TRUE(port.HungUp());
    port.Close();
    EXPECT_FALSE(port.HungUp());
}

TEST_F(SerialPortTest, ReadsNeverWaitAndTakeNoMoreThanAsked) {
    SerialPort port;
    ASSERT_TRUE(port.Open(1, 19200));
    uint8_t buf[16] = {};
    EXPECT_EQ(port.Read(buf, sizeof buf), 0u);

    ASSERT_TRUE(pty.WriteMaster({0x55, 0x02, 0x02, 0xFF, 0x00}));
    ASSERT_TRUE(test::WaitPending(port.fd(), 5));
    EXPECT_EQ(port.Read(buf, 1), 1u);
    EXPECT_EQ(buf[0], 0x55);
    EXPECT_EQ(test::Pending(port.fd()), 4);
    EXPECT_EQ(port.Read(buf, sizeof buf), 4u);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 4), (std::vector<uint8_t>{0x02, 0x02, 0xFF, 0x00}));
    EXPECT_EQ(port.Read(buf, sizeof buf), 0u);
}

TEST_F(SerialPortTest, WritesReachTheOtherEndUnchanged) {
    SerialPort port;
    ASSERT_TRUE(port.Open(1, 19200));
    // Bytes a cooked line would translate or swallow.
    const std::vector<uint8_t> bytes = {0x0A, 0x0D, 0x11, 0x13, 0x00, 0xFF, 0x03};
    EXPECT_EQ(port.Write(bytes.data(), static_cast<uint32_t>(bytes.size())), bytes.size());
    EXPECT_EQ(pty.ReadMaster(bytes.size()), bytes);

    ASSERT_TRUE(pty.WriteMaster(bytes));
    ASSERT_TRUE(test::WaitPending(port.fd(), static_cast<int>(bytes.size())));
    std::vector<uint8_t> got(bytes.size());
    EXPECT_EQ(port.Read(got.data(), static_cast<uint32_t>(got.size())), bytes.size());
    EXPECT_EQ(got, bytes);
}

TEST_F(SerialPortTest, ALargeWriteWaitsUntilTheKernelTookEveryByte) {
    SerialPort port;
    ASSERT_TRUE(port.Open(1, 19200));
    // More than a pty buffers: the write must wait for the reader instead of giving up.
    std::vector<uint8_t> bytes(200000);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
    pid_t reader = ::fork();
    ASSERT_GE(reader, 0);
    if (reader == 0) {
        // Child: drain the master and exit with a digest of what came.
        uint32_t sum = 0, count = 0;
        while (count < bytes.size()) {
            pollfd p{pty.master(), POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0) break;
            uint8_t buf[4096];
            const ssize_t n = ::read(pty.master(), buf, sizeof buf);
            if (n <= 0) break;
            for (ssize_t i = 0; i < n; ++i) sum = sum * 31 + buf[i];
            count += static_cast<uint32_t>(n);
        }
        uint32_t expect = 0;
        for (uint8_t b : bytes) expect = expect * 31 + b;
        ::_exit(count == bytes.size() && sum == expect ? 0 : 1);
    }
    // Only the reader keeps the master: should it stop early, the write ends instead of hanging.
    pty.CloseMaster();
    EXPECT_EQ(port.Write(bytes.data(), static_cast<uint32_t>(bytes.size())), bytes.size());
    int status = 0;
    ASSERT_EQ(::waitpid(reader, &status, 0), reader);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(SerialPortTest, AClosedPortReadsWritesAndClosesQuietly) {
    SerialPort port;
    uint8_t buf[4] = {1, 2, 3, 4};
    EXPECT_EQ(port.Read(buf, 4), 0u);
    EXPECT_EQ(port.Write(buf, 4), 0u);
    EXPECT_TRUE(port.Close());
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(SerialPortTest, TheDestructorClosesAndRestores) {
    {
        SerialPort port;
        ASSERT_TRUE(port.Open(1, 19200));
    }
    EXPECT_TRUE(SameTermios(Line(), before));
    SerialPort again;
    EXPECT_TRUE(again.Open(1, 19200));
}

struct MissingCase {
    const char* name;
    bool viaEnvironment;  // else a dangling com7 link
};

void PrintTo(const MissingCase& c, std::ostream* os) { *os << c.name; }

class MissingPortTest : public SerialPortTest, public ::testing::WithParamInterface<MissingCase> {};

TEST_P(MissingPortTest, OpeningAPortThatIsNotThereSaysWhichNumber) {
    const std::string gone = dir / "no-such-device";
    if (GetParam().viaEnvironment)
        ::setenv("NORVIX_COM7", gone.c_str(), 1);
    else
        dir.Link("com7", gone);
    SerialPort port;
    EXPECT_FALSE(port.Open(7, 19200));
    EXPECT_FALSE(port.IsOpen());
    ASSERT_EQ(boxes.shown.size(), 1u);
    const std::string path = GetParam().viaEnvironment ? gone : dir / "com7";
    EXPECT_EQ(boxes.shown[0].text, "Error open COM7:\n" + path + ": No such file or directory");
    EXPECT_EQ(boxes.shown[0].caption, "Error 1");
    EXPECT_EQ(boxes.shown[0].icon, MessageIcon::Stop);
    ::unsetenv("NORVIX_COM7");
}

INSTANTIATE_TEST_SUITE_P(Routes, MissingPortTest,
                         ::testing::Values(MissingCase{"Environment", true},
                                           MissingCase{"DanglingLink", false}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(PortFailureReason, SaysWhatToDoWhereTheSystemsWordsDoNot) {
    const struct {
        int err;
        const char* reason;
    } cases[] = {
        {EACCES, "Permission denied (is the user in the dialout group?)"},
        {EWOULDBLOCK, "Device or resource busy"},  // another opener's lock
        {EBUSY, "Device or resource busy"},
        {ENOENT, "No such file or directory"},
        {EIO, "Input/output error"},
    };
    for (const auto& c : cases) EXPECT_EQ(PortFailureReason(c.err), c.reason) << c.err;
}

TEST_F(SerialPortTest, AFileThatIsNoTerminalFailsAtTheTimeoutsAndLeavesNothingOpen) {
    const std::string file = dir / "plain-file";
    std::ofstream(file) << "not a port";
    ::setenv("NORVIX_COM5", file.c_str(), 1);
    SerialPort port;
    EXPECT_FALSE(port.Open(5, 19200));
    ::unsetenv("NORVIX_COM5");
    EXPECT_FALSE(port.IsOpen());
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text,
              "Error open COM5:\n" + file + ": Inappropriate ioctl for device");
    EXPECT_EQ(boxes.shown[0].caption, "Error 2");
    EXPECT_EQ(boxes.shown[0].icon, MessageIcon::Stop);
    // Not stuck: the next Open goes ahead.
    EXPECT_TRUE(port.Open(1, 19200));
}

TEST_F(SerialPortTest, ASpeedTheLineCannotTakeFailsAtTheSettingsAndPutsBackTheTimeouts) {
    SerialPort port;
    EXPECT_FALSE(port.Open(1, 12345));
    EXPECT_FALSE(port.IsOpen());
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "Error open COM1:\n" + dir / "com1" + ": Invalid argument");
    EXPECT_EQ(boxes.shown[0].caption, "Error 5");
    EXPECT_EQ(boxes.shown[0].icon, MessageIcon::Stop);
    EXPECT_TRUE(SameTermios(Line(), before));
    EXPECT_TRUE(port.Open(1, 19200));
}

TEST_F(SerialPortTest, APortWhoseDeviceVanishedStillClosesAndCanBeOpenedAgain) {
    dir.Link("com2", pty.slave());
    SerialPort port;
    ASSERT_TRUE(port.Open(2, 19200));
    pty.CloseMaster();  // the other end is gone: the line hangs up

    EXPECT_TRUE(port.Close());
    EXPECT_FALSE(port.IsOpen());
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "Error close COMx:\nCOM2 " + dir / "com2" + ": Input/output error");
    EXPECT_EQ(boxes.shown[0].caption, "Error 1");
    EXPECT_EQ(boxes.shown[0].icon, MessageIcon::Exclamation);

    Pty fresh;
    ASSERT_TRUE(fresh.ok());
    dir.Link("com2", fresh.slave());
    EXPECT_TRUE(port.Open(2, 19200));
    const uint8_t ping = 0x54;
    EXPECT_EQ(port.Write(&ping, 1), 1u);
    EXPECT_EQ(fresh.ReadMaster(1), std::vector<uint8_t>{0x54});
    EXPECT_TRUE(port.Close());
    EXPECT_EQ(boxes.shown.size(), 1u);
}

TEST_F(SerialPortTest, LineSettingsAppliedForTheProgrammerStayAfterwards) {
    dir.Link("com3", pty.slave());
    ASSERT_TRUE(ApplyLineSettings(3, 38400));
    const termios t = Line();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B38400));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B38400));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL), 0u);
    EXPECT_EQ(t.c_lflag & ICANON, 0u);
    EXPECT_TRUE(boxes.shown.empty());

    EXPECT_FALSE(ApplyLineSettings(3, 12345));  // no such speed
    ::setenv("NORVIX_COM7", (dir / "no-such-device").c_str(), 1);
    EXPECT_FALSE(ApplyLineSettings(7, 19200));
    ::unsetenv("NORVIX_COM7");
}

TEST_F(SerialPortTest, LineSettingsAreNotForcedOntoAPortInUse) {
    SerialPort port;
    ASSERT_TRUE(port.Open(1, 19200));
    EXPECT_FALSE(ApplyLineSettings(1, 38400));
    const termios t = Line();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
}

TEST(BaudRates, TheUsedRatesMapBothWaysAndOthersAreRefused) {
    for (uint32_t baud : {9600u, 19200u, 38400u, 115200u}) {
        EXPECT_NE(BaudToSpeed(baud), static_cast<speed_t>(B0)) << baud;
        EXPECT_EQ(SpeedToBaud(BaudToSpeed(baud)), baud);
    }
    EXPECT_EQ(BaudToSpeed(19200), static_cast<speed_t>(B19200));
    EXPECT_EQ(BaudToSpeed(38400), static_cast<speed_t>(B38400));
    EXPECT_EQ(BaudToSpeed(0), static_cast<speed_t>(B0));
    EXPECT_EQ(BaudToSpeed(12345), static_cast<speed_t>(B0));
}

}  // namespace
}  // namespace nvx
