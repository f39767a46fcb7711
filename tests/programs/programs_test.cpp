// Three Windows serial programs, written as Windows' own serial samples are, built
// unchanged but for their include line, and run against the simulated modem: each
// runs on a thread of its own while the test plays the modem's side and the clock.
#include <kx/host.h>
#include <sim/modem.h>
#include <sim/world.h>
#include <sim/win32/windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <tests/support/kernel_time.h>

#include <future>
#include <string>
#include <thread>

// The programs, each in a namespace of its own (their headers are in already).
namespace configure_port {
#include "samples/configure_port.cpp"
}
namespace monitor_events {
#include "samples/monitor_events.cpp"
}
namespace dialer {
#include "samples/dialer.cpp"
}

namespace {

using testing::HasSubstr;

using korvax_test::Ms;

class Programs : public testing::Test {
  protected:
    void SetUp() override {
        modem_ = &world_.Plug();
        ASSERT_TRUE(modem_->Node() && modem_->Node()->Started());
    }

    // Starts a program on a thread of its own, its output captured.
    using Main = int (*)(int, char**);
    void Start(Main main, std::vector<std::string> arguments) {
        arguments_ = std::move(arguments);
        for (std::string& argument : arguments_)
            argv_.push_back(argument.data());
        testing::internal::CaptureStdout();
        exit_ = std::async(std::launch::async, [this, main] {
            return main(static_cast<int>(argv_.size()), argv_.data());
        });
    }
    // Its exit code; its output in *output.
    int Finish(std::string* output) {
        int code = exit_.get();
        fflush(stdout);
        *output = testing::internal::GetCapturedStdout();
        return code;
    }

    sim::World world_;
    sim::PluggedModem* modem_ = nullptr;
    std::vector<std::string> arguments_;
    std::vector<char*> argv_;
    std::future<int> exit_;
};

TEST_F(Programs, ConfigurePortSetsTheLineAndTheModemGetsIt) {
    Start(configure_port::main, {"configure_port", modem_->Path()});
    kx::AwaitTimedWaits(1); // Sleep(100)
    kx::AdvanceTime(Ms(100));
    std::string output;
    EXPECT_EQ(Finish(&output), 0) << output;
    EXPECT_THAT(output, HasSubstr("Initial: BaudRate = 460800, ByteSize = 8"));
    EXPECT_THAT(output, HasSubstr("Set: BaudRate = 57600, ByteSize = 8, Parity = 0, StopBits = 0"));
    EXPECT_THAT(output, HasSubstr("Config: BaudRate = 115200, ByteSize = 8, Parity = 0"));
    EXPECT_THAT(output, HasSubstr("Write time-out 60000 ms, DSR on"));
    EXPECT_THAT(output, HasSubstr("successfully reconfigured"));
    EXPECT_EQ(modem_->Model()->LineCoding().dteRate, 115200u);
}

TEST_F(Programs, MonitorEventsReportsTheCarrierComingUp) {
    Start(monitor_events::main, {"monitor_events", modem_->Path()});
    kx::AwaitTimedWaits(1); // its wait for an event
    modem_->Model()->SetCarrier(true);
    std::string output;
    EXPECT_EQ(Finish(&output), 0) << output;
    EXPECT_THAT(output, HasSubstr(" RLSD  Modem:"));
    EXPECT_THAT(output, HasSubstr(" RLSD\n"));
}

TEST_F(Programs, MonitorEventsGivesUpAfterFiveQuietSeconds) {
    Start(monitor_events::main, {"monitor_events", modem_->Path()});
    kx::AwaitTimedWaits(1);
    kx::AdvanceTime(Ms(5000));
    std::string output;
    EXPECT_EQ(Finish(&output), 2) << output;
    EXPECT_EQ(output, "No event in 5 seconds.\n");
}

TEST_F(Programs, DialerConnectsAfterTheModemsDialDelayAndHangsUp) {
    Start(dialer::main, {"dialer", modem_->Path(), "#777"});
    kx::AwaitTimedWaits(1); // the dial command written, waiting for the answer
    EXPECT_TRUE(modem_->Model()->Dialing());
    kx::AdvanceTime(Ms(2000));
    std::string output;
    EXPECT_EQ(Finish(&output), 0) << output;
    EXPECT_THAT(output, HasSubstr("Connected in 2000 ms, carrier on."));
    EXPECT_THAT(modem_->Model()->CommandLines(), testing::Contains("ATD#777"));
    EXPECT_FALSE(modem_->Model()->Dtr());
}

} // namespace
