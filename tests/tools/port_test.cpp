// The port's one-line errors, and opening a port that is not there or is taken,
// in a world on the manual clock.
#include <tools/port.h>

#include <kx/host.h>
#include <sim/world.h>

#include <gtest/gtest.h>

namespace tools_test {
namespace {

using namespace korvaxsim;

TEST(PortErrors, AreOneLineForTheUser) {
    EXPECT_EQ(DescribePortError("COM7", "CreateFile", win32::ERROR_FILE_NOT_FOUND, false),
              "COM7: no such port (ERROR_FILE_NOT_FOUND)");
    EXPECT_EQ(DescribePortError("COM5", "CreateFile", win32::ERROR_ACCESS_DENIED, false),
              "COM5: the port is already open in another application (ERROR_ACCESS_DENIED)");
    EXPECT_EQ(DescribePortError("COM5", "ReadFile", win32::ERROR_ACCESS_DENIED, true),
              "COM5: the modem was unplugged (ReadFile: ERROR_ACCESS_DENIED)");
    EXPECT_EQ(
        DescribePortError("COM5", "SetCommState 9600 8N1", win32::ERROR_INVALID_PARAMETER, false),
        "COM5: SetCommState 9600 8N1 failed: the driver refused the request "
        "(ERROR_INVALID_PARAMETER)");
    EXPECT_EQ(ErrorName(4242), "error 4242");
}

TEST(PortErrors, NamesAndLines) {
    EXPECT_EQ(PortPath("COM5"), "\\\\.\\COM5");
    EXPECT_EQ(PortPath("\\\\.\\COM5"), "\\\\.\\COM5");
    EXPECT_EQ(DescribeLine({115200, 8, win32::NOPARITY, win32::ONESTOPBIT}), "115200 8N1");
    EXPECT_EQ(DescribeLine({300, 7, win32::MARKPARITY, win32::ONE5STOPBITS}), "300 7M1.5");
}

class PortOpen : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(world_.Driver(), nullptr);
        modem_ = &world_.Plug();
        ASSERT_TRUE(modem_->Node() && modem_->Node()->Started());
    }

    sim::World world_;
    sim::PluggedModem* modem_ = nullptr;
};

TEST_F(PortOpen, APortThatIsNotThereThrowsNoSuchPort) {
    try {
        Port port("COM7");
        FAIL() << "COM7 opened";
    } catch (const Failure& failure) {
        EXPECT_STREQ(failure.what(), "COM7: no such port (ERROR_FILE_NOT_FOUND)");
    }
}

TEST_F(PortOpen, ASecondOpenIsRefusedAndTheFirstKeepsWorking) {
    Port first("COM5");
    EXPECT_TRUE(first.IsOpen());
    try {
        Port second("COM5");
        FAIL() << "the port opened twice";
    } catch (const Failure& failure) {
        EXPECT_STREQ(failure.what(), "COM5: the port is already open in another application "
                                     "(ERROR_ACCESS_DENIED)");
    }
    first.SetLine({9600, 8, win32::NOPARITY, win32::ONESTOPBIT});
    EXPECT_EQ(first.Line().baudRate, 9600u);
    EXPECT_EQ(modem_->Model()->LineCoding().dteRate, 9600u);
    RequestCounts counts = first.Counts();
    EXPECT_EQ(counts.controls, 2u);
    first.Close();
    EXPECT_FALSE(first.IsOpen());
    first.Close();
}

TEST_F(PortOpen, AfterTheModemIsPulledOutErrorsSayItWasUnplugged) {
    Port port("COM5", [&] { return modem_->Unplugged(); });
    port.Escape(win32::SETDTR);
    world_.Unplug(*modem_);
    try {
        port.ModemStatus();
        FAIL() << "GetCommModemStatus succeeded on a removed device";
    } catch (const Failure& failure) {
        EXPECT_EQ(std::string(failure.what()).rfind("COM5: the modem was unplugged (", 0), 0u)
            << failure.what();
    }
}

} // namespace
} // namespace tools_test
