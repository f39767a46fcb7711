// The receive ring: wrap-around in two copies, full and empty, purge, and a
// producer and a consumer on two processors seeing one exact byte stream.
#include <tests/support/open_port.h>

#include <thread>

namespace {

using korvax_test::OpenPortTest;

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

TEST_F(RingTest, CopyEndingExactlyAtTheEndWrapsTheIndexToZero) {
    StartEmptyAt(RING_BUFFER_SIZE - 10);
    std::vector<uint8_t> bytes = Pattern(10, 1);
    ULONG written = 0, read = 0;
    RingWrite(context_, bytes.data(), 10, &written);
    EXPECT_EQ(context_->RingWriteIndex, 0u);
    std::vector<uint8_t> out(10);
    RingRead(context_, out.data(), 10, &read);
    EXPECT_EQ(context_->RingReadIndex, 0u);
    EXPECT_EQ(out, bytes);
}

TEST_F(RingTest, FullRingKeepsTheOldestBytesAndRefusesMore) {
    context_->RingReadIndex = 0;
    context_->RingWriteIndex = 1023000;
    context_->RingCount = 1023000;
    std::vector<uint8_t> packet = Pattern(4096, 9);
    ULONG written = 0;
    EXPECT_EQ(RingWrite(context_, packet.data(), 4096, &written), STATUS_SUCCESS);
    EXPECT_EQ(written, 1000u);
    EXPECT_EQ(RingGetCount(context_), (ULONG)RING_BUFFER_SIZE);
    EXPECT_EQ(context_->RingWriteIndex, 0u) << "full: both indices meet";
    EXPECT_EQ(context_->RingReadIndex, 0u);
    EXPECT_EQ(0, std::memcmp(&context_->RingBuffer[1023000], packet.data(), 1000));

    written = 77;
    EXPECT_EQ(RingWrite(context_, packet.data(), 4096, &written), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(RingGetCount(context_), (ULONG)RING_BUFFER_SIZE);
    EXPECT_EQ(context_->RingWriteIndex, 0u);
}

// A producer at DISPATCH_LEVEL and a consumer on another thread move several ring
// sizes' worth of a counting stream through a ring that starts near its end; the
// consumer must see every byte once, in order.
TEST_F(RingTest, ProducerAndConsumerOnTwoProcessorsSeeOneExactStream) {
    StartEmptyAt(RING_BUFFER_SIZE - 3000);
    const size_t total = 3 * RING_BUFFER_SIZE + 12345;
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

} // namespace
