// Reading and writing through the port: reads served from what the modem sent,
// with their time-outs on the kernel clock, and writes reaching the modem's
// bulk-out pipe.
#include "scenario.h"

#include <thread>

namespace scenario {
namespace {

class ReadWrite : public PortTest {
  protected:
    void OpenPort(DWORD flags) {
        port_ = Open(flags);
        ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        if (port_ != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(port_));
        }
    }
    void SetTimeouts(DWORD interval, DWORD multiplier, DWORD constant) {
        COMMTIMEOUTS timeouts{interval, multiplier, constant, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(port_, &timeouts));
    }

    HANDLE port_ = INVALID_HANDLE_VALUE;
};

TEST_F(ReadWrite, AReadWithNothingToReadEndsAtItsTotalTimeout) {
    OpenPort(FILE_FLAG_OVERLAPPED);
    SetTimeouts(0, 0, 100);
    char buffer[10];
    Overlapped read;
    DWORD count = 99;
    EXPECT_FALSE(ReadFile(port_, buffer, sizeof buffer, &count, read.get()));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(GetOverlappedResult(port_, read.get(), &count, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);

    kx::AdvanceTime(Ms(99));
    EXPECT_FALSE(read.Done());
    EXPECT_FALSE(read.Signalled());
    kx::AdvanceTime(Ms(1));
    EXPECT_TRUE(read.Done());
    EXPECT_TRUE(read.Signalled());
    // A time-out is a success with what arrived: nothing.
    EXPECT_TRUE(GetOverlappedResult(port_, read.get(), &count, FALSE));
    EXPECT_EQ(count, 0u);
}

TEST_F(ReadWrite, ABlockingReadWaitsForTheModemsData) {
    OpenPort(0);
    SetTimeouts(0, 0, 0); // no time-out: wait for data
    char buffer[16] = {};
    DWORD count = 0;
    BOOL ok = FALSE;
    std::thread reader([&] { ok = ReadFile(port_, buffer, sizeof buffer, &count, nullptr); });
    modem_->Pdo().SendBulkIn(Bytes("data"));
    reader.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(std::string(buffer, count), "data");
}

TEST_F(ReadWrite, AReadCancelledByCancelIoIsAborted) {
    OpenPort(FILE_FLAG_OVERLAPPED);
    SetTimeouts(0, 0, 0);
    char buffer[4];
    Overlapped read;
    DWORD count = 0;
    EXPECT_FALSE(ReadFile(port_, buffer, sizeof buffer, &count, read.get()));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_TRUE(CancelIo(port_));
    EXPECT_TRUE(read.Done());
    EXPECT_FALSE(GetOverlappedResult(port_, read.get(), &count, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    // After the cancel, reads go on.
    DeviceSends("x");
    EXPECT_TRUE(ReadFile(port_, buffer, sizeof buffer, &count, read.get()));
    EXPECT_EQ(count, 1u);
}

TEST_F(ReadWrite, ALargeWriteGoesOutInChunksOfAtMost4096Bytes) {
    OpenPort(FILE_FLAG_OVERLAPPED);
    std::vector<uint8_t> data(10000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7);
    ASSERT_TRUE(SetCommMask(port_, EV_TXEMPTY));
    Overlapped event;
    DWORD mask = 0;
    EXPECT_FALSE(WaitCommEvent(port_, &mask, event.get()));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);

    size_t mark = UrbCount();
    Overlapped write;
    DWORD written = 0;
    if (!WriteFile(port_, data.data(), static_cast<DWORD>(data.size()), &written, write.get())) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    }
    ASSERT_TRUE(GetOverlappedResult(port_, write.get(), &written, TRUE));
    EXPECT_EQ(written, 10000u);
    EXPECT_EQ(device_->BulkOut(), data);
    std::vector<ULONG> chunks;
    for (const sim::UrbRecord& urb : UrbsFrom(mark)) {
        if (urb.pipe == sim::UsbPipe::BulkOut)
            chunks.push_back(urb.requestedLength);
    }
    EXPECT_EQ(chunks, std::vector<ULONG>({4096, 4096, 1808}));
    // The queue ran dry: the application learns of it.
    ASSERT_TRUE(GetOverlappedResult(port_, event.get(), &written, TRUE));
    EXPECT_EQ(mask, EV_TXEMPTY);
}

// The I/O manager closes a file object only once no request refers to it, and the
// driver's cleanup ends the queued requests, not the one in the modem's pipe: a
// write the modem does not take keeps the port open after CloseHandle until it ends.
TEST_F(ReadWrite, AWriteTheModemHoldsKeepsThePortUntilItEnds) {
    OpenPort(FILE_FLAG_OVERLAPPED);
    sim::UrbMatch bulkOut;
    bulkOut.pipe = sim::UsbPipe::BulkOut;
    modem_->Pdo().InjectFault(sim::UrbFault::Hold(bulkOut));
    Overlapped write;
    DWORD written = 0;
    EXPECT_FALSE(WriteFile(port_, "slow", 4, &written, write.get()));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    world_.Settle();
    ASSERT_EQ(modem_->Pdo().HeldCount(), 1u);

    EXPECT_TRUE(CloseHandle(port_));
    port_ = INVALID_HANDLE_VALUE;
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

} // namespace
} // namespace scenario
