// The data path as an application sees it: an application that reads late loses
// nothing across a system sleep.
#include "scenario.h"

#include <kx/power.h>

namespace scenario {
namespace {

using DataPath = PortTest;

// The receive engine is held back by a full ring when the system sleeps. Reads
// during the sleep empty the ring but do not restart it (the device is going
// down); the wake does, and the rest arrives.
TEST_F(DataPath, AHeldBackReceiverRestartsAtTheWakeNotDuringTheSleep) {
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

} // namespace
} // namespace scenario
