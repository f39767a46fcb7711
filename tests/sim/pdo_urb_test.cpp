// The modem PDO as the USB stack below a function driver: URBs on IRPs of the
// test's own, completions in pipe order, abort in either order, reset of a busy
// pipe, short packets, and the cancel race.
#include "host_urb.h"

#include <sim/capture.h>

#include <gtest/gtest.h>

#include <sstream>
#include <thread>

namespace sim_test {
namespace {

using sim::UsbPipe;

Bytes Pattern(size_t size, uint8_t seed) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(seed + i);
    return bytes;
}

URB PipeUrb(USHORT function, USBD_PIPE_HANDLE pipe) {
    URB urb{};
    urb.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    urb.UrbHeader.Function = function;
    urb.UrbPipeRequest.PipeHandle = pipe;
    return urb;
}

class ModemPdoTest : public ::testing::Test {
  protected:
    URB BulkIn() { return BulkUrb(pdo_->BulkInPipe(), 3, 4096); }

    kx::Kernel kernel_;
    sim::ParentBus bus_;
    sim::ModemPdo* pdo_ = &bus_.CreateModemPdo();
    PDEVICE_OBJECT device_ = pdo_->Device();
};

// With two DPC threads, completions of one pipe could overtake each other; the bus
// keeps them in submission order, as data on a pipe arrives in order.
TEST_F(ModemPdoTest, ManyTransfersOfOnePipeCompleteInSubmissionOrder) {
    constexpr int Count = 64;
    std::vector<std::unique_ptr<HostUrb>> reads;
    reads.reserve(Count);
    for (int i = 0; i < Count; ++i)
        reads.push_back(std::make_unique<HostUrb>(device_, BulkIn(), Bytes(4096)));
    for (int i = 0; i < Count; ++i)
        pdo_->SendBulkIn(Pattern(1 + i, static_cast<uint8_t>(i)));
    uint64_t last = 0;
    for (int i = 0; i < Count; ++i) {
        const auto& outcome = reads[i]->Wait();
        EXPECT_GT(outcome.order, last) << "transfer " << i;
        last = outcome.order;
        EXPECT_EQ(reads[i]->Received(), Pattern(1 + i, static_cast<uint8_t>(i)));
    }
}

// A failed abort ends nothing, so it must not wait behind the transfers it left:
// its submitter gets the failure while they stay pending. One that succeeds ends
// them all, cancelled; they complete after it or before it, as the PDO's option
// says (Windows gives no order), each from a DPC.
TEST(AbortTest, AnAbortEndsThePipesTransfersInEitherOrderAndAFailedAbortNone) {
    for (sim::AbortOrder order : {sim::AbortOrder::AbortFirst, sim::AbortOrder::TransfersFirst}) {
        bool abortFirst = order == sim::AbortOrder::AbortFirst;
        SCOPED_TRACE(abortFirst ? "abort first" : "transfers first");
        kx::Kernel kernel;
        sim::ParentBus bus;
        sim::PdoOptions options;
        options.abortOrder = order;
        sim::ModemPdo* pdo = &bus.CreateModemPdo(options);
        PDEVICE_OBJECT device = pdo->Device();
        auto bulkIn = [&] { return BulkUrb(pdo->BulkInPipe(), 3, 4096); };

        HostUrb kept(device, bulkIn(), Bytes(4096));
        HostUrb a(device, bulkIn(), Bytes(4096)), b(device, bulkIn(), Bytes(4096));
        HostUrb notification(device, BulkUrb(pdo->InterruptInPipe(), 3, 16), Bytes(16));
        sim::UrbMatch abortBulkIn;
        abortBulkIn.function = URB_FUNCTION_ABORT_PIPE;
        abortBulkIn.pipe = UsbPipe::BulkIn;
        pdo->InjectFault(
            sim::UrbFault::Fail(abortBulkIn, STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING));
        HostUrb failed(device, PipeUrb(URB_FUNCTION_ABORT_PIPE, pdo->BulkInPipe()));
        EXPECT_EQ(failed.Wait().status, STATUS_UNSUCCESSFUL);
        kx::DrainDispatchQueue();
        EXPECT_FALSE(kept.Done() || a.Done() || b.Done());
        pdo->SendBulkIn(Pattern(3, 1));
        EXPECT_EQ(kept.Wait().status, STATUS_SUCCESS);
        EXPECT_EQ(kept.Received(), Pattern(3, 1));

        if (abortFirst)
            pdo->HoldAbortedTransfers();
        HostUrb abort(device, PipeUrb(URB_FUNCTION_ABORT_PIPE, pdo->BulkInPipe()));
        EXPECT_EQ(abort.Wait().status, STATUS_SUCCESS);
        if (abortFirst) {
            kx::DrainDispatchQueue();
            EXPECT_FALSE(a.Done() || b.Done()) << "the abort is back, its transfers are not";
            EXPECT_EQ(pdo->OutstandingTransfers(UsbPipe::BulkIn), 2u);
            pdo->ReleaseAbortedTransfers();
        }
        for (HostUrb* s : {&a, &b}) {
            EXPECT_EQ(s->Wait().status, STATUS_CANCELLED);
            EXPECT_EQ(s->Wait().irql, DISPATCH_LEVEL);
            EXPECT_EQ(s->UsbdStatus(), USBD_STATUS_CANCELED);
            EXPECT_EQ(s->Wait().order > abort.Wait().order, abortFirst);
        }
        kx::DrainDispatchQueue();
        EXPECT_FALSE(notification.Done()) << "another pipe's transfer is not aborted";

        // The pipe still works, and data sent now goes to the next transfer.
        pdo->SendBulkIn(Pattern(5, 9));
        HostUrb next(device, bulkIn(), Bytes(4096));
        EXPECT_EQ(next.Wait().status, STATUS_SUCCESS);
        EXPECT_EQ(next.Received(), Pattern(5, 9));
    }
}

// A reset finds the pipe busy while a transfer is outstanding on it: it fails
// with USBD_STATUS_ERROR_BUSY (0x80000400) and changes nothing. Once the
// transfer is aborted and has completed, the same reset goes through.
TEST_F(ModemPdoTest, AResetOfAPipeWithATransferOutstandingFailsBusyAndChangesNothing) {
    HostUrb read(device_, BulkIn(), Bytes(4096));
    HostUrb busy(device_, PipeUrb(URB_FUNCTION_RESET_PIPE, pdo_->BulkInPipe()));
    EXPECT_EQ(busy.Wait().status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(static_cast<ULONG>(busy.UsbdStatus()), 0x80000400u);
    kx::DrainDispatchQueue();
    EXPECT_FALSE(read.Done()) << "the outstanding transfer is left alone";
    HostUrb otherPipe(device_, PipeUrb(URB_FUNCTION_RESET_PIPE, pdo_->BulkOutPipe()));
    EXPECT_EQ(otherPipe.Wait().status, STATUS_SUCCESS) << "only the busy pipe refuses";

    HostUrb abort(device_, PipeUrb(URB_FUNCTION_ABORT_PIPE, pdo_->BulkInPipe()));
    EXPECT_EQ(abort.Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(read.Wait().status, STATUS_CANCELLED);
    HostUrb reset(device_, PipeUrb(URB_FUNCTION_RESET_PIPE, pdo_->BulkInPipe()));
    EXPECT_EQ(reset.Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(reset.UsbdStatus(), USBD_STATUS_SUCCESS);
}

// An IN transfer ends with a short packet. With USBD_SHORT_TRANSFER_OK (2) that is
// its end; without it the transfer fails with USBD_STATUS_DATA_UNDERRUN
// (0xC0000009), keeping the bytes it took, and the endpoint halts: the next transfer
// fails with USBD_STATUS_ENDPOINT_HALTED (0xC0000030) until RESET_PIPE. A packet
// that fills the buffer is no short transfer, whatever its size.
TEST_F(ModemPdoTest, AShortPacketWithoutShortTransferOkFailsTheTransferAndHaltsTheEndpoint) {
    const struct {
        UsbPipe pipe;
        ULONG flags;
        ULONG length;
        size_t sent; // one packet (the interrupt pipe's packets are 16 bytes)
        NTSTATUS status;
        ULONG usbdStatus;
        bool halts;
    } table[] = {
        {UsbPipe::BulkIn, 1 | 2, 4096, 3, STATUS_SUCCESS, 0, false},
        {UsbPipe::BulkIn, 1, 4096, 3, STATUS_UNSUCCESSFUL, 0xC0000009, true},
        {UsbPipe::InterruptIn, 1, 16, 9, STATUS_UNSUCCESSFUL, 0xC0000009, true},
        {UsbPipe::InterruptIn, 1, 9, 9, STATUS_SUCCESS, 0, false},
        {UsbPipe::InterruptIn, 1 | 2, 16, 9, STATUS_SUCCESS, 0, false},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(testing::Message() << "pipe " << static_cast<int>(row.pipe) << " flags "
                                        << row.flags << " length " << row.length);
        HostUrb read(device_, BulkUrb(pdo_->PipeHandle(row.pipe), row.flags, row.length),
                     Bytes(row.length));
        Bytes packet = Pattern(row.sent, 4);
        if (row.pipe == UsbPipe::BulkIn)
            pdo_->SendBulkIn(packet);
        else
            pdo_->SendInterrupt(packet);
        EXPECT_EQ(read.Wait().status, row.status);
        EXPECT_EQ(static_cast<ULONG>(read.UsbdStatus()), row.usbdStatus);
        EXPECT_EQ(read.Received(), packet);
        EXPECT_EQ(pdo_->Halted(row.pipe), row.halts);
        if (!row.halts)
            continue;
        HostUrb next(device_, BulkUrb(pdo_->PipeHandle(row.pipe), 3, row.length),
                     Bytes(row.length));
        EXPECT_EQ(next.Wait().status, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(static_cast<ULONG>(next.UsbdStatus()), 0xC0000030u);
        HostUrb reset(device_, PipeUrb(URB_FUNCTION_RESET_PIPE, pdo_->PipeHandle(row.pipe)));
        EXPECT_EQ(reset.Wait().status, STATUS_SUCCESS);
        EXPECT_FALSE(pdo_->Halted(row.pipe));
    }
}

TEST_F(ModemPdoTest, ACancelledTransferCompletesLaterFromADpcOnceAndLeavesTheDataForTheNext) {
    HostUrb read(device_, BulkIn(), Bytes(4096));
    EXPECT_TRUE(IoCancelIrp(read.Irp()));
    EXPECT_EQ(read.Wait().status, STATUS_CANCELLED);
    EXPECT_EQ(read.UsbdStatus(), USBD_STATUS_CANCELED);
    // From the controller's DPC, not inside IoCancelIrp on this thread.
    EXPECT_NE(read.Wait().thread, std::this_thread::get_id());
    EXPECT_EQ(read.Wait().irql, DISPATCH_LEVEL);
    EXPECT_EQ(pdo_->OutstandingTransfers(UsbPipe::BulkIn), 0u);

    // Data arriving and the cancel race: exactly one completion each time (the
    // verifier stops a second one), a transfer that got its byte completes with it
    // even when the cancel came later, and no byte is lost, reordered or duplicated.
    constexpr int Rounds = 1000;
    Bytes received;
    for (int round = 0; round < Rounds; ++round) {
        HostUrb racing(device_, BulkIn(), Bytes(4096));
        std::thread sender([&] { pdo_->SendBulkIn({static_cast<uint8_t>(round)}); });
        IoCancelIrp(racing.Irp());
        sender.join();
        const auto& outcome = racing.Wait();
        Bytes got = racing.Received();
        if (outcome.status == STATUS_CANCELLED)
            EXPECT_TRUE(got.empty());
        else
            EXPECT_EQ(got.size(), 1u);
        received.insert(received.end(), got.begin(), got.end());
    }
    // What was taken is exactly the first bytes sent; the rest waits in the pipe.
    for (size_t i = 0; i < received.size(); ++i)
        ASSERT_EQ(received[i], static_cast<uint8_t>(i));
    EXPECT_EQ(received.size() + pdo_->QueuedInBytes(UsbPipe::BulkIn), static_cast<size_t>(Rounds));
}

// A long session keeps a window of records and counters, and sees every URB as it
// happens: a URB that leaves the window while outstanding is still reported, with
// its data, at its completion, and the capture streamed from those reports is
// readable at any time and ends as the one written at once from every record.
TEST(ModemPdoWindow, KeepsTheNewestRecordsAndReportsEveryUrbAsItHappens) {
    kx::Kernel kernel;
    sim::ParentBus bus;
    sim::CaptureOptions captureOptions;
    captureOptions.systemTimeAtBoot = 0;
    captureOptions.numberIrps = true;
    captureOptions.injectDescriptors = false;
    std::ostringstream streamed;
    sim::CaptureWriter writer(streamed, captureOptions);
    std::vector<sim::UrbRecord> completed;
    std::vector<uint64_t> order;
    sim::PdoOptions options;
    options.recordWindow = 2;
    options.urbObserver = [&](const sim::UrbRecord& record, bool completion) {
        order.push_back(completion ? record.completeSequence : record.submitSequence);
        writer.Add(record);
        if (completion)
            completed.push_back(record);
    };
    sim::ModemPdo& pdo = bus.CreateModemPdo(options);
    PDEVICE_OBJECT device = pdo.Device();

    HostUrb read(device, BulkUrb(pdo.BulkInPipe(), 3, 4096), Bytes(4096));
    auto captured = [&] {
        std::istringstream in(streamed.str());
        return sim::ReadCapture(in);
    };
    ASSERT_TRUE(captured());
    EXPECT_EQ(captured()->packets.size(), 1u) << "the read's submission is in the file already";
    for (uint8_t i = 0; i < 3; ++i) {
        HostUrb write(device, BulkUrb(pdo.BulkOutPipe(), 0, 2), Bytes{i, i});
        EXPECT_EQ(write.Wait().status, STATUS_SUCCESS);
    }
    std::vector<sim::UrbRecord> window = pdo.UrbRecords();
    ASSERT_EQ(window.size(), 2u);
    EXPECT_EQ(window[0].data, Bytes({1, 1}));
    EXPECT_EQ(window[1].data, Bytes({2, 2}));
    EXPECT_EQ(pdo.UrbsSubmitted(), 4u);
    EXPECT_EQ(pdo.UrbsCompleted(), 3u);

    pdo.SendBulkIn(Pattern(5, 7));
    EXPECT_EQ(read.Wait().status, STATUS_SUCCESS);
    kx::DrainDispatchQueue();
    EXPECT_EQ(pdo.UrbsCompleted(), 4u);
    ASSERT_EQ(completed.size(), 4u);
    EXPECT_EQ(completed.back().pipe, UsbPipe::BulkIn);
    EXPECT_EQ(completed.back().data, Pattern(5, 7));
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
    EXPECT_EQ(order.size(), 8u);

    std::ostringstream atOnce;
    ASSERT_TRUE(sim::WriteCapture(atOnce, completed, captureOptions));
    EXPECT_EQ(streamed.str(), atOnce.str());
}

} // namespace
} // namespace sim_test
