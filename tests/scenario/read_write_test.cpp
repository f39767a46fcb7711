// Reading and writing through the port: reads served from what the modem sent,
// with their time-outs on the kernel clock, nothing lost by an application that
// reads late across a system sleep, writes reaching the modem's bulk-out pipe, and
// timed reads and writes across a sleep in either low-power mode of the bus.
#include "scenario.h"

#include <kx/power.h>

#include <thread>

namespace scenario {
namespace {

using ReadWrite = PortTest;

TEST_F(ReadWrite, ABlockingReadWaitsForTheModemsData) {
    HANDLE port = Open(); // synchronous
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS timeouts{0, 0, 0, 0, 0}; // no time-out: wait for data
    ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
    char buffer[16] = {};
    DWORD count = 0;
    BOOL ok = FALSE;
    std::thread reader([&] { ok = ReadFile(port, buffer, sizeof buffer, &count, nullptr); });
    modem_->Pdo().SendBulkIn(Bytes("data"));
    reader.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(std::string(buffer, count), "data");
    EXPECT_TRUE(CloseHandle(port));
}

// The I/O manager closes a file object only once no request refers to it, and the
// driver's cleanup ends the queued requests, not the one in the modem's pipe: a
// write the modem does not take keeps the port open after CloseHandle until it ends.
TEST_F(ReadWrite, AWriteTheModemHoldsKeepsThePortUntilItEnds) {
    HANDLE port = Open(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    sim::UrbMatch bulkOut;
    bulkOut.pipe = sim::UsbPipe::BulkOut;
    modem_->Pdo().InjectFault(sim::UrbFault::Hold(bulkOut));
    Overlapped write;
    DWORD written = 0;
    EXPECT_FALSE(WriteFile(port, "slow", 4, &written, write.get()));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    world_.Settle();
    ASSERT_EQ(modem_->Pdo().HeldCount(), 1u);

    EXPECT_TRUE(CloseHandle(port));
    EXPECT_FALSE(write.Done());
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    modem_->Pdo().ReleaseHeld();
    world_.Settle();
    ASSERT_TRUE(GetOverlappedResult(INVALID_HANDLE_VALUE, write.get(), &written, FALSE));
    EXPECT_EQ(written, 4u);
    EXPECT_EQ(device_->BulkOut(), Bytes("slow"));
    // The write's end, taken by this thread just now, let go of the file object:
    // its close is a worker's.
    world_.Settle();
    // The close followed the write: the lines went down and the port opens again.
    std::vector<StandInDevice::Control> lines = device_->Controls(SetControlLineStateRequest);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().setup.wValue, 0);
    HANDLE again = Open();
    ASSERT_NE(again, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(again));
}

// The receive engine is held back by a full ring when the system sleeps. Reads
// during the sleep empty the ring but do not restart it (the device is going
// down); the wake does, and the rest arrives.
TEST_F(ReadWrite, AHeldBackReceiverRestartsAtTheWakeNotDuringTheSleep) {
    HANDLE port = Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
    std::vector<uint8_t> sent(1100000);
    for (size_t i = 0; i < sent.size(); i++)
        sent[i] = static_cast<uint8_t>(i * 13 + (i >> 12));
    modem_->Pdo().SendBulkIn(sent);
    world_.Settle();
    size_t held = modem_->Pdo().QueuedInBytes(sim::UsbPipe::BulkIn);
    ASSERT_GT(held, 0u);

    ASSERT_EQ(kx::SystemSleep(PowerSystemSleeping3), STATUS_SUCCESS);
    std::vector<uint8_t> got(sent.size());
    DWORD count = 0;
    ASSERT_TRUE(ReadFile(port, got.data(), (DWORD)got.size(), &count, nullptr));
    world_.Settle();
    EXPECT_EQ(modem_->Pdo().QueuedInBytes(sim::UsbPipe::BulkIn), held)
        << "a read restarted the receiver during the sleep";
    ASSERT_EQ(kx::SystemWake(), STATUS_SUCCESS);
    world_.Settle();
    size_t total = count;
    while (total < sent.size()) {
        ASSERT_TRUE(
            ReadFile(port, got.data() + total, (DWORD)(got.size() - total), &count, nullptr));
        ASSERT_NE(count, 0u) << "the receiver did not restart at the wake";
        total += count;
        world_.Settle();
    }
    EXPECT_TRUE(got == sent) << "bytes lost or out of order";
    EXPECT_TRUE(CloseHandle(port));
}

// A timed read and two writes across a system sleep, under either behaviour of the
// bus for URBs while the device is in low power. The sleep ends every transfer
// still outstanding, so the readers fail there: the read ends all the same by its
// time-out (COMMTIMEOUTS: ReadTotalTimeoutConstant 100 ms, on the kernel clock).
// A write sent during the sleep fails at once (FailAtOnce) or waits for D0; the
// write behind it goes out after the wake whole, in both cases.
struct SleepCase {
    SYSTEM_POWER_STATE state;
    sim::LowPowerUrbs urbs;
};

class SleepingPort : public ::testing::TestWithParam<SleepCase> {
  protected:
    void SetUp() override {
        sim::PlugOptions options;
        options.function = device_;
        options.pdo.lowPowerUrbs = GetParam().urbs;
        modem_ = &world_.Plug(options);
        ASSERT_TRUE(modem_->Node()->Started());
    }
    void TearDown() override {
        if (kx::CurrentSystemPowerState() != PowerSystemWorking)
            kx::SystemWake();
        world_.Settle();
    }

    sim::World world_;
    std::shared_ptr<StandInDevice> device_ = std::make_shared<StandInDevice>();
    sim::PluggedModem* modem_ = nullptr;
};

TEST_P(SleepingPort, ATimedReadEndsByItsTimeOutAndWritingGoesOnAfterTheWake) {
    const bool failsAtOnce = GetParam().urbs == sim::LowPowerUrbs::FailAtOnce;
    HANDLE port = CreateFileA(modem_->Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS timeouts{0, 0, 100, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
    Overlapped read, first, second;
    char buffer[8];
    DWORD count = 0;
    EXPECT_FALSE(ReadFile(port, buffer, sizeof buffer, &count, read.get()));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    world_.Settle();

    ASSERT_EQ(kx::SystemSleep(GetParam().state), STATUS_SUCCESS);
    world_.Settle();
    kx::AdvanceTime(99 * 10000);
    EXPECT_FALSE(read.Done());
    kx::AdvanceTime(1 * 10000);
    world_.Settle();
    ASSERT_TRUE(read.Done()) << "the timed read outlived its time-out";
    EXPECT_TRUE(GetOverlappedResult(port, read.get(), &count, FALSE)); // a time-out succeeds
    EXPECT_EQ(count, 0u);

    DWORD written = 0;
    EXPECT_FALSE(WriteFile(port, "first", 5, &written, first.get()));
    EXPECT_FALSE(WriteFile(port, "second", 6, &written, second.get()));
    world_.Settle();
    EXPECT_EQ(first.Done(), failsAtOnce);
    EXPECT_FALSE(second.Done()) << "a write went out during the sleep";

    ASSERT_EQ(kx::SystemWake(), STATUS_SUCCESS);
    world_.Settle();
    EXPECT_EQ(GetOverlappedResult(port, first.get(), &written, TRUE), !failsAtOnce);
    ASSERT_TRUE(second.Done()) << "writing stopped for good after a failed write";
    ASSERT_TRUE(GetOverlappedResult(port, second.get(), &written, FALSE));
    EXPECT_EQ(written, 6u);
    EXPECT_EQ(device_->BulkOut(), Bytes(failsAtOnce ? "second" : "firstsecond"));
    EXPECT_TRUE(CloseHandle(port));
}

INSTANTIATE_TEST_SUITE_P(
    BothBusModes, SleepingPort,
    ::testing::Values(SleepCase{PowerSystemSleeping3, sim::LowPowerUrbs::HoldUntilD0},
                      SleepCase{PowerSystemSleeping3, sim::LowPowerUrbs::FailAtOnce},
                      SleepCase{PowerSystemHibernate, sim::LowPowerUrbs::HoldUntilD0},
                      SleepCase{PowerSystemHibernate, sim::LowPowerUrbs::FailAtOnce}));

} // namespace
} // namespace scenario
