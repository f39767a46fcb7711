// Purge, queue status and statistics: the order of a purge's steps and what the
// waiting read ends with, the 20 bytes of GET_COMMSTATUS and the 24 of GET_STATS.
#include <tests/support/open_port.h>

#include <cstring>

namespace {

using korvax_test::HeldRequest;
using korvax_test::OpenPortTest;

using StatusTest = OpenPortTest;

std::vector<uint8_t> Text(const char* text) {
    return std::vector<uint8_t>(text, text + std::strlen(text));
}

// A read of 10 waits on an empty ring; "abc" then lands in the ring without
// serving it. RXABORT hands the read what the ring holds before RXCLEAR throws
// away the rest; RXCLEAR alone leaves the read waiting; TXCLEAR and 0 do nothing.
// A read still waiting is then ended by RXABORT alone.
TEST_F(StatusTest, PurgeServesTheWaitingReadBeforeItEmptiesTheRing) {
    const struct {
        ULONG mask;
        bool readEnds;
        const char* readGets;
        ULONG ringAfter;
    } rows[] = {
        {SERIAL_PURGE_RXABORT, true, "abc", 0},
        {SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR, true, "abc", 0},
        {SERIAL_PURGE_RXCLEAR, false, "", 0},
        {SERIAL_PURGE_TXCLEAR, false, "abc", 3},
        {0, false, "abc", 3},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.mask);
        RingPurge(context_);
        auto read = HeldRequest::Read(fdo_, 10);
        ASSERT_EQ(read->Send(), STATUS_PENDING);
        Store(Text("abc"));
        EXPECT_EQ(Set(IOCTL_SERIAL_PURGE, row.mask).iosb.Status, STATUS_SUCCESS);
        EXPECT_EQ(read->Completed(), row.readEnds);
        EXPECT_EQ(RingGetCount(context_), row.ringAfter);
        if (!row.readEnds) {
            EXPECT_EQ(Set(IOCTL_SERIAL_PURGE, ULONG(SERIAL_PURGE_RXABORT)).iosb.Status,
                      STATUS_SUCCESS);
        }
        ASSERT_TRUE(read->Completed());
        // Less than the read asked for: STATUS_TIMEOUT, with what it got.
        EXPECT_EQ(read->Status(), STATUS_TIMEOUT);
        EXPECT_EQ(read->Data(), Text(row.readGets));
    }
    EXPECT_EQ(RemoveLockHolds(), 0);
}

// After a clear the ring starts again from the front, whatever had been read.
TEST_F(StatusTest, RingClearedPartWayThroughStartsAfreshAtBothEnds) {
    Store(Text("abc"));
    std::vector<uint8_t> data;
    EXPECT_EQ(ReadNow(1, &data).Status, STATUS_SUCCESS);
    EXPECT_EQ(Set(IOCTL_SERIAL_PURGE, ULONG(SERIAL_PURGE_RXCLEAR)).iosb.Status, STATUS_SUCCESS);
    Store(Text("xy"));
    ReadNow(5, &data);
    EXPECT_EQ(data, Text("xy"));
}

// Every field of GET_COMMSTATUS at its offset, the bytes after WaitForImmediate
// zero too; reads count what they take, and CLEAR_STATS zeroes all six counters.
TEST_F(StatusTest, CommStatusAndStatsAreReportedByteForByte) {
    Store(std::vector<uint8_t>(1004, 0x41));
    ReadNow(4);
    context_->WriteBytesQueued = 5;
    context_->HoldReasons = SERIAL_TX_WAITING_FOR_DSR;
    auto request = HeldRequest::Ioctl(fdo_, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, 20);
    std::memset(request->Irp()->AssociatedIrp.SystemBuffer, 0xFF, 20);
    request->Send();
    ASSERT_EQ(request->Status(), STATUS_SUCCESS);
    const uint8_t expected[20] = {
        0, 0, 0, 0, SERIAL_TX_WAITING_FOR_DSR, 0, 0, 0, 0xE8, 0x03, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(request->Data(), std::vector<uint8_t>(expected, expected + 20));
    context_->WriteBytesQueued = 0;
    context_->HoldReasons = 0;

    context_->PerfStats.TransmittedCount = 7;
    context_->PerfStats.ParityErrorCount = 1;
    SERIALPERF_STATS stats = Get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS);
    EXPECT_EQ(stats.ReceivedCount, 4u);
    EXPECT_EQ(stats.TransmittedCount, 7u);
    EXPECT_EQ(stats.ParityErrorCount, 1u);
    EXPECT_EQ(Ioctl(IOCTL_SERIAL_CLEAR_STATS).iosb.Status, STATUS_SUCCESS);
    auto cleared = HeldRequest::Ioctl(fdo_, IOCTL_SERIAL_GET_STATS, nullptr, 0, 24);
    std::memset(cleared->Irp()->AssociatedIrp.SystemBuffer, 0xFF, 24);
    cleared->Send();
    EXPECT_EQ(cleared->Information(), 24u);
    EXPECT_EQ(cleared->Data(), std::vector<uint8_t>(24, 0));
}

} // namespace
