// korvaxsim run as a user runs it: the demo's exit status and capture, the
// pseudo-terminal opened by a plain POSIX program, the scripted terminal, and the
// one-line errors of a port that does not exist, a port already open and a modem
// pulled out mid-session.
#include "child_process.h"

#include <sim/capture.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace tools_test {
namespace {

using namespace std::chrono_literals;

const std::string Program = KORVAXSIM_PATH;

// A process needs the dial (2 s on the real clock) and the escape's guard times.
constexpr auto DemoLimit = 60s;
constexpr auto ReplyLimit = 10s;

std::string TempPath(const std::string& name) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/korvaxsim-" + std::to_string(::getpid()) +
           "-" + name;
}

size_t CountLines(const std::string& text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// The terminal side of korvaxsim pty, opened as any serial program opens one.
class Terminal {
  public:
    explicit Terminal(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0)
            return;
        termios settings{};
        ::tcgetattr(fd_, &settings);
        ::cfmakeraw(&settings);
        ::cfsetspeed(&settings, B115200);
        ::tcsetattr(fd_, TCSANOW, &settings);
    }
    ~Terminal() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    bool Open() const { return fd_ >= 0; }
    bool Write(const std::string& text) {
        return ::write(fd_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }
    // Reads until `text` has arrived or the time is up; returns all that came.
    std::string ReadUntil(const std::string& text, std::chrono::milliseconds limit) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (received_.find(text) == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            pollfd fd{fd_, POLLIN, 0};
            if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0)
                continue;
            char buffer[256];
            ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n > 0)
                received_.append(buffer, static_cast<size_t>(n));
        }
        return received_;
    }
    bool SetLine(speed_t speed, bool twoStopBits) {
        termios settings{};
        if (::tcgetattr(fd_, &settings) != 0)
            return false;
        ::cfsetspeed(&settings, speed);
        if (twoStopBits)
            settings.c_cflag |= CSTOPB;
        else
            settings.c_cflag &= ~CSTOPB;
        return ::tcsetattr(fd_, TCSANOW, &settings) == 0;
    }

  private:
    int fd_ = -1;
    std::string received_;
};

TEST(Pty, APlainProgramTalksAtCommandsThroughThePseudoTerminal) {
    ChildProcess child(Program, {"pty"});
    ASSERT_TRUE(child.Started());
    auto path = child.WaitForLine("pty: /dev/", ReplyLimit);
    ASSERT_TRUE(path) << child.Stdout() << child.Stderr();
    Terminal terminal("/dev/" + *path);
    ASSERT_TRUE(terminal.Open()) << *path;

    ASSERT_TRUE(terminal.Write("AT\r"));
    EXPECT_EQ(terminal.ReadUntil("OK\r\n", ReplyLimit), "AT\r\r\nOK\r\n");

    // A new speed and stop bits on the terminal become SetCommState.
    ASSERT_TRUE(terminal.SetLine(B9600, true));
    EXPECT_TRUE(child.WaitForLine("pty: line set to 9600 8N2", ReplyLimit)) << child.Stdout();

    // SIGTERM ends the session cleanly: close, unplug, unload, summary.
    child.Signal(SIGTERM);
    auto status = child.Wait(DemoLimit);
    ASSERT_TRUE(status) << child.Stdout();
    EXPECT_EQ(*status, 0) << child.Stderr();
    EXPECT_NE(child.Stdout().find("verifier   0 finding(s)"), std::string::npos) << child.Stdout();
    EXPECT_NE(child.Stdout().find("0 bytes in 0 block(s)"), std::string::npos) << child.Stdout();
    EXPECT_NE(child.Stdout().find("UNLOADED"), std::string::npos);
}

TEST(Pty, EchoModeSendsEveryByteBack) {
    ChildProcess child(Program, {"pty", "--echo", "--quiet"});
    ASSERT_TRUE(child.Started());
    auto path = child.WaitForLine("pty: /dev/", ReplyLimit);
    ASSERT_TRUE(path) << child.Stdout() << child.Stderr();
    Terminal terminal("/dev/" + *path);
    ASSERT_TRUE(terminal.Open());

    std::string data;
    for (int i = 0; i < 2000; ++i)
        data.push_back(static_cast<char>('a' + i % 26));
    ASSERT_TRUE(terminal.Write(data));
    EXPECT_EQ(terminal.ReadUntil(data, ReplyLimit), data);

    child.Signal(SIGINT);
    auto status = child.Wait(DemoLimit);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 0) << child.Stderr();
}

TEST(Pty, TheModemPulledOutEndsTheSessionWithOneLine) {
    ChildProcess child(Program, {"pty", "--quiet"});
    ASSERT_TRUE(child.Started());
    ASSERT_TRUE(child.WaitForLine("pty: /dev/", ReplyLimit)) << child.Stderr();
    child.WriteStdin("unplug\n");
    auto status = child.Wait(DemoLimit);
    ASSERT_TRUE(status) << child.Stdout();
    EXPECT_EQ(*status, 1);
    EXPECT_EQ(CountLines(child.Stderr()), 1u) << child.Stderr();
    EXPECT_NE(child.Stderr().find("korvaxsim: COM5: the modem was unplugged"), std::string::npos)
        << child.Stderr();
}

TEST(Demo, ASessionEndsCleanAndItsCaptureHoldsTheLineCoding) {
    std::string capture = TempPath("modem.pcap");
    ChildProcess child(Program, {"demo", "--quiet", "--bytes", "65536", "--capture", capture});
    ASSERT_TRUE(child.Started());
    auto status = child.Wait(DemoLimit);
    ASSERT_TRUE(status) << child.Stdout();
    EXPECT_EQ(*status, 0) << child.Stdout() << child.Stderr();
    EXPECT_EQ(child.Stderr(), "");
    EXPECT_NE(child.Stdout().find("result: PASS"), std::string::npos) << child.Stdout();
    EXPECT_NE(child.Stdout().find("read 65"), std::string::npos) << child.Stdout();

    auto file = sim::ReadCapture(capture);
    ASSERT_TRUE(file) << capture;
    EXPECT_EQ(file->linkType, sim::PcapLinkTypeUsbPcap);
    // 115200 bits per second, 1 stop bit, no parity, 8 data bits.
    const std::vector<uint8_t> coding = {0x00, 0xC2, 0x01, 0x00, 0x00, 0x00, 0x08};
    bool found = false;
    size_t bulkOutBytes = 0;
    for (const sim::CapturedPacket& packet : file->packets) {
        if (packet.transfer == sim::UsbPcapTransferControl &&
            packet.stage == sim::UsbPcapStageData && !packet.FromDevice() && packet.data == coding)
            found = true;
        if (packet.transfer == sim::UsbPcapTransferBulk && !packet.FromDevice())
            bulkOutBytes += packet.data.size();
    }
    EXPECT_TRUE(found) << "no SET_LINE_CODING 00 C2 01 00 00 00 08 in " << capture;
    // The data phase and the AT commands went out on bulk-out.
    EXPECT_GT(bulkOutBytes, 65536u);

    // tshark, when present, decodes the class request from the capture.
    if (std::system("command -v tshark >/dev/null 2>&1") != 0) {
        std::remove(capture.c_str());
        GTEST_SKIP() << "tshark is not installed: the capture was checked by sim::ReadCapture only";
    }
    ChildProcess tshark("/bin/sh", {"-c", "exec tshark -r '" + capture +
                                              "' -Y 'usbcom.control.request_code == 0x20' -T "
                                              "fields -e usbcom.control.payload 2>/dev/null"});
    ASSERT_TRUE(tshark.Started());
    auto decoded = tshark.Wait(DemoLimit);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, 0);
    EXPECT_NE(tshark.Stdout().find("00c20100000008"), std::string::npos) << tshark.Stdout();
    std::remove(capture.c_str());
}

TEST(Demo, APortThatDoesNotExistIsOneLineAndAFailure) {
    ChildProcess child(Program, {"demo", "--quiet", "--port", "COM7"});
    ASSERT_TRUE(child.Started());
    auto status = child.Wait(DemoLimit);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 1);
    EXPECT_EQ(child.Stderr(), "korvaxsim: COM7: no such port (ERROR_FILE_NOT_FOUND)\n");
    EXPECT_EQ(child.Stdout(), "");
}

TEST(Demo, APortAlreadyOpenIsOneLineAndAFailure) {
    ChildProcess child(Program, {"demo", "--quiet", "--other-app"});
    ASSERT_TRUE(child.Started());
    auto status = child.Wait(DemoLimit);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 1);
    EXPECT_EQ(child.Stderr(), "korvaxsim: COM5: the port is already open in another application "
                              "(ERROR_ACCESS_DENIED)\n");
}

TEST(Demo, TheModemPulledOutMidwayIsOneLineAndAFailure) {
    ChildProcess child(Program, {"demo", "--quiet", "--bytes", "256K", "--unplug-midway"});
    ASSERT_TRUE(child.Started());
    auto status = child.Wait(DemoLimit);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 1);
    EXPECT_EQ(CountLines(child.Stderr()), 1u) << child.Stderr();
    EXPECT_EQ(child.Stderr().rfind("korvaxsim: COM5: the modem was unplugged", 0), 0u)
        << child.Stderr();
}

TEST(Demo, AnUnknownOptionIsAUsageError) {
    ChildProcess child(Program, {"demo", "--bogus"});
    ASSERT_TRUE(child.Started());
    auto status = child.Wait(DemoLimit);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 2);
    EXPECT_EQ(child.Stderr().rfind("korvaxsim: unknown option '--bogus'\n", 0), 0u)
        << child.Stderr();
}

TEST(Term, AScriptedSessionDialsAndHangsUp) {
    ChildProcess child(Program, {"term", "--quiet"});
    ASSERT_TRUE(child.Started());
    child.WriteStdin("AT\n~wait OK\nATD#777\n~wait CONNECT\n~status\n~escape\n~wait OK\nATH\n"
                     "~wait OK\n~quit\n");
    auto status = child.Wait(DemoLimit);
    ASSERT_TRUE(status) << child.Stdout();
    EXPECT_EQ(*status, 0) << child.Stderr();
    const std::string& out = child.Stdout();
    EXPECT_NE(out.find("AT\r\r\nOK\r\n"), std::string::npos) << out;
    EXPECT_NE(out.find("CONNECT 3100000"), std::string::npos) << out;
    EXPECT_NE(out.find("lines in: CTS DSR RLSD"), std::string::npos) << out;
    EXPECT_NE(out.find("+++\r\nOK\r\n"), std::string::npos) << out;
    EXPECT_NE(out.find("ATH\r\r\nOK\r\n"), std::string::npos) << out;
}

TEST(Term, TheModemPulledOutEndsTheSessionWithOneLine) {
    ChildProcess child(Program, {"term", "--quiet"});
    ASSERT_TRUE(child.Started());
    child.WriteStdin("ATZ\n~unplug\nAT\n");
    auto status = child.Wait(DemoLimit);
    ASSERT_TRUE(status) << child.Stdout();
    EXPECT_EQ(*status, 1);
    EXPECT_EQ(CountLines(child.Stderr()), 1u) << child.Stderr();
    EXPECT_NE(child.Stderr().find("the modem was unplugged"), std::string::npos) << child.Stderr();
}

} // namespace
} // namespace tools_test
