// The receive ring: wrap-around in two copies, full and empty, purge, and a
// producer and a consumer on two processors seeing one exact byte stream; the
// receive engine's back-pressure, which keeps the ring from ever overflowing, and
// the overrun report should it overflow all the same.
#include <driver/usb/usb.h>
#include <tests/support/open_port.h>

#include <thread>

namespace {

using korvax_test::OpenPortTest;

// The ring holds the input queue the port's properties announce (CurrentRxQueue).
constexpr ULONG RingSize = 1024000;

std::vector<uint8_t> Pattern(size_t length, uint8_t seed) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; i++)
        bytes[i] = static_cast<uint8_t>(seed + i * 7);
    return bytes;
}

class RingTest : public OpenPortTest {
  protected:
    // An empty ring whose next byte goes to (and comes from) Index.
    void StartEmptyAt(ULONG index) {
        context_->RingWriteIndex = index;
        context_->RingReadIndex = index;
        context_->RingCount = 0;
    }
};

TEST_F(RingTest, PacketAcrossTheEndIsStoredInTwoPiecesAndReadBackWhole) {
    StartEmptyAt(1022000);
    std::vector<uint8_t> packet = Pattern(4096, 3);
    ULONG written = 0;
    EXPECT_EQ(RingWrite(context_, packet.data(), 4096, &written), STATUS_SUCCESS);
    EXPECT_EQ(written, 4096u);
    EXPECT_EQ(context_->RingWriteIndex, 2096u);
    EXPECT_EQ(RingGetCount(context_), 4096u);
    EXPECT_EQ(0, std::memcmp(&context_->RingBuffer[1022000], packet.data(), 2000));
    EXPECT_EQ(0, std::memcmp(&context_->RingBuffer[0], packet.data() + 2000, 2096));

    std::vector<uint8_t> out(5000, 0xEE);
    ULONG read = 0;
    EXPECT_EQ(RingRead(context_, out.data(), 5000, &read), STATUS_SUCCESS);
    ASSERT_EQ(read, 4096u);
    EXPECT_TRUE(std::equal(packet.begin(), packet.end(), out.begin()));
    EXPECT_EQ(out[4096], 0xEE) << "nothing is written past what was read";
    EXPECT_EQ(context_->RingReadIndex, 2096u);
    EXPECT_EQ(RingGetCount(context_), 0u);
}

// The store itself keeps the oldest bytes when short of room; the receive engine
// never asks it to (below), and reports it if it ever has to.
TEST_F(RingTest, AStoreShortOfRoomKeepsTheOldestBytesAndRefusesMore) {
    context_->RingReadIndex = 0;
    context_->RingWriteIndex = 1023000;
    context_->RingCount = 1023000;
    std::vector<uint8_t> packet = Pattern(4096, 9);
    ULONG written = 0;
    EXPECT_EQ(RingWrite(context_, packet.data(), 4096, &written), STATUS_SUCCESS);
    EXPECT_EQ(written, 1000u);
    EXPECT_EQ(RingGetCount(context_), RingSize);
    EXPECT_EQ(context_->RingWriteIndex, 0u) << "full: both indices meet";
    EXPECT_EQ(context_->RingReadIndex, 0u);
    EXPECT_EQ(0, std::memcmp(&context_->RingBuffer[1023000], packet.data(), 1000));

    written = 77;
    EXPECT_EQ(RingWrite(context_, packet.data(), 4096, &written), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(RingGetCount(context_), RingSize);
    EXPECT_EQ(context_->RingWriteIndex, 0u);
}

// A producer at DISPATCH_LEVEL and a consumer on another thread move several ring
// sizes' worth of a counting stream through a ring that starts near its end; the
// consumer must see every byte once, in order.
TEST_F(RingTest, ProducerAndConsumerOnTwoProcessorsSeeOneExactStream) {
    StartEmptyAt(RingSize - 3000);
    const size_t total = 3 * RingSize + 12345;
    std::atomic<bool> failed{false};

    std::thread producer([&] {
        size_t sent = 0;
        std::vector<uint8_t> chunk;
        while (sent < total && !failed) {
            size_t n = std::min<size_t>(total - sent, 1 + (sent * 31) % 9000);
            chunk.resize(n);
            for (size_t i = 0; i < n; i++)
                chunk[i] = static_cast<uint8_t>((sent + i) % 251);
            ULONG written = 0;
            kx::RunAtIrql(DISPATCH_LEVEL,
                          [&] { RingWrite(context_, chunk.data(), (ULONG)n, &written); });
            sent += written;
            if (written == 0)
                std::this_thread::yield();
        }
    });

    size_t received = 0;
    std::vector<uint8_t> out(7777);
    while (received < total && !failed) {
        ULONG read = 0;
        RingRead(context_, out.data(), (ULONG)std::min<size_t>(out.size(), 1 + received % 7777),
                 &read);
        for (ULONG i = 0; i < read; i++) {
            if (out[i] != static_cast<uint8_t>((received + i) % 251)) {
                failed = true;
                break;
            }
        }
        received += read;
        if (read == 0)
            std::this_thread::yield();
    }
    producer.join();
    EXPECT_FALSE(failed) << "byte " << received << " out of order";
    EXPECT_EQ(received, total);
    EXPECT_EQ(RingGetCount(context_), 0u);
    EXPECT_EQ(context_->RingReadIndex, context_->RingWriteIndex);
}

class ReceiveEngineTest : public RingTest {
  protected:
    // The engine's transfer, if any, comes back as at close.
    void TearDown() override {
        EndReaderAsAtClose(context_->BulkInPipe);
        RingTest::TearDown();
    }
    size_t Outstanding() const { return pdo_->OutstandingTransfers(sim::UsbPipe::BulkIn); }
    size_t Waiting() const { return pdo_->QueuedInBytes(sim::UsbPipe::BulkIn); }
    std::vector<uint8_t> Take(ULONG length) {
        std::vector<uint8_t> data;
        EXPECT_EQ(ReadNow(length, &data).Status, STATUS_SUCCESS);
        EXPECT_EQ(data.size(), length);
        return data;
    }
};

// The application reads slowly: the ring fills, the engine stops sending bulk-in
// reads (the device keeps the rest), and each read that makes room for a whole
// transfer lets one more come. Every byte arrives, in order, and nothing is
// reported lost.
TEST_F(ReceiveEngineTest, AFullRingHoldsTheDeviceBackAndNoByteIsLost) {
    std::vector<uint8_t> old = Pattern(RingSize - 6000, 1);
    Store(old);
    StartBulkInRead(context_);
    std::vector<uint8_t> sent = Pattern(3 * 4096, 77);
    pdo_->SendBulkIn(sent);
    kx::DrainDispatchQueue();
    EXPECT_EQ(RingGetCount(context_), RingSize - 6000 + 4096u);
    EXPECT_EQ(Outstanding(), 0u) << "no read while the ring has less room than a transfer";
    EXPECT_EQ(Waiting(), 2 * 4096u) << "the device keeps what it could not send";
    EXPECT_EQ(context_->BulkInThrottled, 1);
    EXPECT_EQ(context_->BulkInReaderActive, 0);

    std::vector<uint8_t> got = Take(2000); // room 3,904: still short of a transfer
    kx::DrainDispatchQueue();
    EXPECT_EQ(Waiting(), 2 * 4096u);
    std::vector<uint8_t> more = Take(200); // room 4,104: one transfer goes
    got.insert(got.end(), more.begin(), more.end());
    kx::DrainDispatchQueue();
    EXPECT_EQ(Waiting(), 4096u);
    EXPECT_EQ(context_->BulkInThrottled, 1);

    ULONG rounds = 0; // reads until the ring and the device are empty
    while (RingGetCount(context_) != 0 || Waiting() != 0) {
        more = Take(std::min<ULONG>(RingGetCount(context_), 300000));
        got.insert(got.end(), more.begin(), more.end());
        kx::DrainDispatchQueue();
        ASSERT_LT(++rounds, 100u);
    }
    old.insert(old.end(), sent.begin(), sent.end());
    EXPECT_TRUE(got == old) << "bytes lost or out of order";
    EXPECT_EQ(Outstanding(), 1u) << "the engine runs again";
    EXPECT_EQ(context_->BulkInThrottled, 0);
    EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).Errors, 0u);
}

TEST_F(ReceiveEngineTest, APurgeOfTheRingResumesAHeldBackEngine) {
    Store(Pattern(RingSize - 100, 3));
    StartBulkInRead(context_);
    EXPECT_EQ(Outstanding(), 0u);
    EXPECT_EQ(context_->BulkInThrottled, 1);
    ULONG purge = SERIAL_PURGE_RXCLEAR;
    EXPECT_EQ(Set(IOCTL_SERIAL_PURGE, purge).iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(Outstanding(), 1u);
    EXPECT_EQ(context_->BulkInThrottled, 0);
}

// Bytes dropped all the same (here the ring filled while a transfer was out) are
// reported once as a queue overrun, and the engine then waits for room.
TEST_F(ReceiveEngineTest, BytesThatDoNotFitAreReportedAsAQueueOverrun) {
    StartBulkInRead(context_);
    ASSERT_EQ(Outstanding(), 1u);
    Store(Pattern(RingSize - 100, 5));
    pdo_->SendBulkIn(Pattern(4096, 9));
    kx::DrainDispatchQueue();
    EXPECT_EQ(RingGetCount(context_), RingSize);
    EXPECT_EQ(context_->BulkInThrottled, 1);
    auto status = Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS);
    EXPECT_EQ(status.Errors, 0x00000008u); // SERIAL_ERROR_QUEUEOVERRUN
    EXPECT_EQ(status.AmountInInQueue, RingSize);
    EXPECT_EQ(Get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS).Errors, 0u) << "reported once";
}

} // namespace
