// Waiting for serial events: the modem's SERIAL_STATE notifications become carrier
// and DSR events and the modem status, received data becomes EV_RXCHAR.
#include "scenario.h"

#include <sim/modem.h>

#include <thread>

namespace scenario {
namespace {

class Events : public PortTest {
  protected:
    void SetUp() override {
        PortTest::SetUp();
        port_ = Open(FILE_FLAG_OVERLAPPED);
        ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    }
    void TearDown() override { EXPECT_TRUE(CloseHandle(port_)); }

    HANDLE port_ = INVALID_HANDLE_VALUE;
};

TEST_F(Events, CancelIoEndsTheWait) {
    ASSERT_TRUE(SetCommMask(port_, EV_RLSD));
    Overlapped wait;
    DWORD mask = 0;
    EXPECT_FALSE(WaitCommEvent(port_, &mask, wait.get()));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    DWORD transferred = 0;
    EXPECT_FALSE(GetOverlappedResult(port_, wait.get(), &transferred, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    ASSERT_TRUE(CancelIo(port_));
    EXPECT_FALSE(GetOverlappedResult(port_, wait.get(), &transferred, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
}

TEST_F(Events, WaitingForAnEventWithATimeOutRunsOnTheKernelClock) {
    ASSERT_TRUE(SetCommMask(port_, EV_RLSD));
    Overlapped wait;
    DWORD mask = 0;
    EXPECT_FALSE(WaitCommEvent(port_, &mask, wait.get()));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    DWORD result = WAIT_FAILED;
    std::thread waiter([&] { result = WaitForSingleObject(wait.get()->hEvent, 250); });
    kx::AwaitTimedWaits(1);
    kx::AdvanceTime(Ms(250));
    waiter.join();
    EXPECT_EQ(result, WAIT_TIMEOUT);
    DeviceNotifies(sim::SerialState::RxCarrier | sim::SerialState::TxCarrier);
    EXPECT_EQ(WaitForSingleObject(wait.get()->hEvent, 250), WAIT_OBJECT_0);
}

// On a handle opened without FILE_FLAG_OVERLAPPED, WaitCommEvent returns when the
// event has come.
TEST(SynchronousHandle, WaitCommEventBlocksItsCaller) {
    sim::World world;
    auto device = std::make_shared<StandInDevice>();
    sim::PlugOptions options;
    options.function = device;
    sim::PluggedModem& modem = world.Plug(options);
    HANDLE port = CreateFileA(modem.Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommMask(port, EV_RLSD));
    DWORD mask = 0;
    BOOL ok = FALSE;
    std::thread waiter([&] { ok = WaitCommEvent(port, &mask, nullptr); });
    modem.Pdo().SendInterrupt(sim::SerialStateNotification(sim::SerialState::RxCarrier));
    waiter.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(mask, EV_RLSD);
    EXPECT_TRUE(CloseHandle(port));
}

} // namespace
} // namespace scenario
