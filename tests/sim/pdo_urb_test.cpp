// The modem PDO as the USB stack below a function driver: URBs on IRPs of the
// test's own, completions from DPC threads, pipe order, abort, stall and reset,
// cancellation races, faults, unplugging and teardown.
#include <kx/host.h>
#include <sim/bus.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

namespace {

using Bytes = std::vector<uint8_t>;
using sim::UsbPipe;

std::atomic<uint64_t> completionOrder{0};

// One URB on an IRP that the test allocated, sent to the PDO the way a function
// driver sends it. The IRP stays allocated until this object goes, so the test may
// cancel it at any time; an IRP still outstanding then is cancelled and waited for.
class Submission {
  public:
    struct Outcome {
        NTSTATUS status = STATUS_PENDING;
        KIRQL irql = PASSIVE_LEVEL;
        std::thread::id thread;
        uint64_t order = 0;
    };

    // The URB's TransferBuffer is pointed at `buffer`, which the submission owns.
    Submission(const URB& urb, Bytes buffer = {}) : state_(std::make_unique<State>()) {
        state_->urb = urb;
        state_->buffer = std::move(buffer);
        PVOID data = state_->buffer.empty() ? nullptr : state_->buffer.data();
        if (urb.UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
            state_->urb.UrbBulkOrInterruptTransfer.TransferBuffer = data;
        else if (urb.UrbHeader.Function == URB_FUNCTION_CLASS_INTERFACE)
            state_->urb.UrbControlVendorClassRequest.TransferBuffer = data;
        KeInitializeEvent(&state_->event, NotificationEvent, FALSE);
    }

    ~Submission() {
        if (irp_ == nullptr)
            return;
        if (!Done())
            IoCancelIrp(irp_);
        Wait();
        IoFreeIrp(irp_);
    }

    // cancelFirst: the IRP is cancelled before it is sent, so that it reaches the
    // bus with Cancel set and no cancel routine.
    NTSTATUS Send(PDEVICE_OBJECT device, ULONG code = IOCTL_INTERNAL_USB_SUBMIT_URB,
                  bool cancelFirst = false) {
        irp_ = IoAllocateIrp(device->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = code;
        next->Parameters.Others.Argument1 = &state_->urb;
        IoSetCompletionRoutine(irp_, OnComplete, state_.get(), TRUE, TRUE, TRUE);
        if (cancelFirst) {
            EXPECT_FALSE(IoCancelIrp(irp_));
        }
        return IoCallDriver(device, irp_);
    }

    bool Done() const { return state_->done.load(); }
    const Outcome& Wait() {
        KeWaitForSingleObject(&state_->event, Executive, KernelMode, FALSE, nullptr);
        return state_->outcome;
    }
    PIRP Irp() const { return irp_; }
    URB& Urb() { return state_->urb; }
    // The bytes an IN transfer received.
    Bytes Received() {
        const auto& request = state_->urb.UrbBulkOrInterruptTransfer;
        return Bytes(state_->buffer.begin(), state_->buffer.begin() + request.TransferBufferLength);
    }

  private:
    struct State {
        URB urb{};
        Bytes buffer;
        KEVENT event;
        Outcome outcome;
        std::atomic<bool> done{false};
    };

    static NTSTATUS NTAPI OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        auto* state = static_cast<State*>(context);
        state->outcome = {irp->IoStatus.Status, KeGetCurrentIrql(), std::this_thread::get_id(),
                          ++completionOrder};
        state->done = true;
        KeSetEvent(&state->event, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    std::unique_ptr<State> state_;
    PIRP irp_ = nullptr;
};

URB BulkUrb(USBD_PIPE_HANDLE pipe, ULONG flags, ULONG length) {
    URB urb{};
    urb.UrbHeader.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb.UrbBulkOrInterruptTransfer.PipeHandle = pipe;
    urb.UrbBulkOrInterruptTransfer.TransferFlags = flags;
    urb.UrbBulkOrInterruptTransfer.TransferBufferLength = length;
    return urb;
}

URB PipeUrb(USHORT function, USBD_PIPE_HANDLE pipe) {
    URB urb{};
    urb.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    urb.UrbHeader.Function = function;
    urb.UrbPipeRequest.PipeHandle = pipe;
    return urb;
}

URB ClassUrb(UCHAR request, USHORT value, ULONG flags, ULONG length) {
    URB urb{};
    auto& r = urb.UrbControlVendorClassRequest;
    urb.UrbHeader.Length = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    urb.UrbHeader.Function = URB_FUNCTION_CLASS_INTERFACE;
    r.TransferFlags = flags;
    r.TransferBufferLength = length;
    r.RequestTypeReservedBits = 0x21;
    r.Request = request;
    r.Value = value;
    return urb;
}

Bytes Pattern(size_t size, uint8_t seed) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(seed + i);
    return bytes;
}

// A device model that records what reaches it and answers GET requests.
class RecordingFunction : public sim::UsbFunction {
  public:
    sim::Handshake OnControlRequest(const sim::SetupPacket& setup, Bytes& data) override {
        std::lock_guard<std::mutex> guard(mutex);
        requests.push_back({setup, data});
        if (setup.bmRequestType & 0x80)
            data = Pattern(20, 0x40); // more than asked for: the bus trims to wLength
        return setup.bRequest == stallRequest ? sim::Handshake::Stall : sim::Handshake::Ack;
    }
    void OnBulkOut(const Bytes& data) override {
        std::lock_guard<std::mutex> guard(mutex);
        bulkOut.push_back(data);
    }

    std::mutex mutex;
    std::vector<std::pair<sim::SetupPacket, Bytes>> requests;
    std::vector<Bytes> bulkOut;
    UCHAR stallRequest = 0xFF;
};

class ModemPdoTest : public ::testing::Test {
  protected:
    NTSTATUS Submit(Submission& s) { return s.Send(pdo_->Device()); }
    URB BulkIn(ULONG length = 4096) { return BulkUrb(pdo_->BulkInPipe(), 3, length); }
    URB BulkOut(ULONG length) { return BulkUrb(pdo_->BulkOutPipe(), 0, length); }

    kx::Kernel kernel_;
    sim::ParentBus bus_;
    sim::ModemPdo* pdo_ = &bus_.CreateModemPdo();
};

// ---- IN transfers -------------------------------------------------------------------------

TEST_F(ModemPdoTest, InTransferPendsUntilDataThenCompletesAtDispatchOnAnotherThread) {
    Submission read(BulkIn(), Bytes(4096));
    EXPECT_EQ(Submit(read), STATUS_PENDING);
    kx::DrainDispatchQueue();
    EXPECT_FALSE(read.Done()) << "no data, no completion";
    EXPECT_EQ(pdo_->OutstandingTransfers(UsbPipe::BulkIn), 1u);

    Bytes hello = {'h', 'e', 'l', 'l', 'o', '\r', '\n'};
    pdo_->SendBulkIn(hello);
    const auto& outcome = read.Wait();
    EXPECT_EQ(outcome.status, STATUS_SUCCESS);
    EXPECT_EQ(outcome.irql, DISPATCH_LEVEL);
    EXPECT_NE(outcome.thread, std::this_thread::get_id());
    EXPECT_EQ(read.Urb().UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(read.Received(), hello);

    auto records = pdo_->UrbRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].pipe, UsbPipe::BulkIn);
    EXPECT_EQ(records[0].direction, sim::UsbDirection::In);
    EXPECT_EQ(records[0].transferFlags, 3u);
    EXPECT_EQ(records[0].requestedLength, 4096u);
    EXPECT_EQ(records[0].data, hello) << "IN data is recorded at completion";
    EXPECT_LT(records[0].submitSequence, records[0].completeSequence);
}

TEST_F(ModemPdoTest, ShortPacketFullBufferAndZeroLengthPacketEndTransfers) {
    // 100 bytes go as 64 + 36: the short packet ends the transfer.
    Submission a(BulkIn(), Bytes(4096));
    Submit(a);
    pdo_->SendBulkIn(Pattern(100, 1));
    a.Wait();
    EXPECT_EQ(a.Received(), Pattern(100, 1));

    // 128 bytes go as 64 + 64 + a zero-length packet. A 128-byte transfer is full
    // after two packets; the zero-length packet then ends the next one, empty.
    Submission full(BulkIn(128), Bytes(128));
    Submission empty(BulkIn(), Bytes(4096));
    Submit(full);
    Submit(empty);
    pdo_->SendBulkIn(Pattern(128, 2));
    EXPECT_EQ(full.Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(full.Received(), Pattern(128, 2));
    EXPECT_EQ(empty.Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(empty.Urb().UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);

    // An explicit zero-length packet.
    Submission zlp(BulkIn(), Bytes(4096));
    Submit(zlp);
    pdo_->SendBulkIn({});
    EXPECT_EQ(zlp.Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(zlp.Urb().UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
    EXPECT_EQ(pdo_->QueuedInBytes(UsbPipe::BulkIn), 0u);
}

TEST_F(ModemPdoTest, DataSentBeforeAnyTransferWaitsInThePipeInOrder) {
    pdo_->SendBulkIn(Pattern(10, 0x10));
    pdo_->SendBulkIn(Pattern(3, 0x20));
    EXPECT_EQ(pdo_->QueuedInBytes(UsbPipe::BulkIn), 13u);
    Submission first(BulkIn(), Bytes(4096)), second(BulkIn(), Bytes(4096));
    Submit(first);
    Submit(second);
    first.Wait();
    second.Wait();
    EXPECT_EQ(first.Received(), Pattern(10, 0x10));
    EXPECT_EQ(second.Received(), Pattern(3, 0x20));
    EXPECT_LT(first.Wait().order, second.Wait().order);
}

TEST_F(ModemPdoTest, InterruptNotificationsArePacketsWithoutTrailingZeroLengthPacket) {
    // A SERIAL_STATE notification: carrier and DSR set.
    Bytes serialState = {0xA1, 0x20, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x03, 0x00};
    Submission note(BulkUrb(pdo_->InterruptInPipe(), 3, 16), Bytes(16));
    Submit(note);
    pdo_->SendInterrupt(serialState);
    EXPECT_EQ(note.Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(note.Received(), serialState);

    Submission full(BulkUrb(pdo_->InterruptInPipe(), 3, 16), Bytes(16));
    Submit(full);
    pdo_->SendInterrupt(Pattern(16, 0));
    EXPECT_EQ(full.Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(pdo_->QueuedInBytes(UsbPipe::InterruptIn), 0u);
    EXPECT_TRUE(pdo_->UrbRecords().back().Completed());
}

// With two DPC threads, completions of one pipe could overtake each other; the bus
// keeps them in submission order, as data on a pipe arrives in order.
TEST_F(ModemPdoTest, ManyTransfersOfOnePipeCompleteInSubmissionOrder) {
    constexpr int Count = 64;
    std::vector<std::unique_ptr<Submission>> reads;
    for (int i = 0; i < Count; ++i) {
        reads.push_back(std::make_unique<Submission>(BulkIn(), Bytes(4096)));
        Submit(*reads.back());
    }
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

// ---- OUT transfers and class requests ----------------------------------------------------

TEST_F(ModemPdoTest, BulkOutReachesTheDeviceInOrderAndCompletesWithFullLength) {
    Submission kept(BulkOut(5), Bytes{'A', 'T', 'Z', '\r', '\n'});
    EXPECT_EQ(Submit(kept), STATUS_PENDING);
    EXPECT_EQ(kept.Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(kept.Wait().irql, DISPATCH_LEVEL);
    EXPECT_EQ(kept.Urb().UrbBulkOrInterruptTransfer.TransferBufferLength, 5u);
    EXPECT_EQ(pdo_->TakeBulkOut(), (Bytes{'A', 'T', 'Z', '\r', '\n'})) << "no device: kept";
    EXPECT_TRUE(pdo_->TakeBulkOut().empty());

    auto device = std::make_shared<RecordingFunction>();
    pdo_->Attach(device);
    std::vector<std::unique_ptr<Submission>> writes;
    for (int i = 0; i < 32; ++i) {
        writes.push_back(std::make_unique<Submission>(BulkOut(4096), Pattern(4096, i)));
        Submit(*writes.back());
    }
    for (auto& w : writes)
        EXPECT_EQ(w->Wait().status, STATUS_SUCCESS);
    ASSERT_EQ(device->bulkOut.size(), 32u);
    for (int i = 0; i < 32; ++i)
        EXPECT_EQ(device->bulkOut[i], Pattern(4096, i)) << "write " << i;
    EXPECT_TRUE(pdo_->TakeBulkOut().empty());
}

TEST_F(ModemPdoTest, SetLineCodingGoesOutAsItsSetupPacketAndDataStage) {
    auto device = std::make_shared<RecordingFunction>();
    pdo_->Attach(device);
    Bytes coding = {0x00, 0xC2, 0x01, 0x00, 0x00, 0x00, 0x08};
    Submission set(ClassUrb(0x20, 0, 0, 7), coding);
    Submit(set);
    EXPECT_EQ(set.Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(set.Urb().UrbHeader.Status, USBD_STATUS_SUCCESS);

    const std::array<uint8_t, 8> setup = {0x21, 0x20, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00};
    auto record = pdo_->UrbRecords().at(0);
    EXPECT_EQ(record.function, URB_FUNCTION_CLASS_INTERFACE);
    EXPECT_EQ(record.pipe, UsbPipe::Control);
    ASSERT_TRUE(record.setup);
    EXPECT_EQ(record.setup->Bytes(), setup);
    EXPECT_EQ(record.data, coding);
    ASSERT_EQ(device->requests.size(), 1u);
    EXPECT_EQ(device->requests[0].first.Bytes(), setup);
    EXPECT_EQ(device->requests[0].second, coding);

    // SET_CONTROL_LINE_STATE with DTR and RTS: no data stage.
    Submission lines(ClassUrb(0x22, 0x0003, 0, 0));
    Submit(lines);
    EXPECT_EQ(lines.Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(pdo_->UrbRecords().at(1).setup->Bytes(),
              (std::array<uint8_t, 8>{0x21, 0x22, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00}));

    // GET_LINE_CODING: the direction comes from the flags, the data is trimmed to wLength.
    Submission get(ClassUrb(0x21, 0, USBD_TRANSFER_DIRECTION_IN, 7), Bytes(7));
    Submit(get);
    EXPECT_EQ(get.Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(pdo_->UrbRecords().at(2).setup->bmRequestType, 0xA1);
    EXPECT_EQ(get.Urb().UrbControlVendorClassRequest.TransferBufferLength, 7u);
    EXPECT_EQ(pdo_->UrbRecords().at(2).data, Pattern(7, 0x40));

    // A request the device stalls fails; the default pipe takes the next one.
    device->stallRequest = 0x22;
    Submission refused(ClassUrb(0x22, 0, 0, 0));
    Submit(refused);
    EXPECT_EQ(refused.Wait().status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(refused.Urb().UrbHeader.Status, USBD_STATUS_STALL_PID);
    Submission after(ClassUrb(0x20, 0, 0, 7), coding);
    Submit(after);
    EXPECT_EQ(after.Wait().status, STATUS_SUCCESS);
}

// ---- Validation ------------------------------------------------------------------------

TEST_F(ModemPdoTest, MalformedUrbsAreRefusedInTheSubmittersCall) {
    URB shortPipe = PipeUrb(URB_FUNCTION_RESET_PIPE, pdo_->BulkInPipe());
    shortPipe.UrbHeader.Length -= 1;
    URB bulkWithPipeLength = BulkIn();
    bulkWithPipeLength.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    URB classTooLong = ClassUrb(0x20, 0, 0, 0);
    classTooLong.UrbHeader.Length += 8;
    URB selectConfiguration = PipeUrb(URB_FUNCTION_SELECT_CONFIGURATION, nullptr);
    UCHAR stranger = 0;
    URB unknownPipe = BulkUrb(&stranger, 3, 16);
    URB abortUnknownPipe = PipeUrb(URB_FUNCTION_ABORT_PIPE, &stranger);
    URB tooLarge = BulkOut(4097);
    URB noBuffer = BulkOut(16);

    const struct {
        const char* name;
        URB urb;
        Bytes buffer;
        USBD_STATUS usbd;
    } table[] = {
        {"reset pipe one byte short", shortPipe, {}, USBD_STATUS_INVALID_PARAMETER},
        {"bulk with a pipe request's length",
         bulkWithPipeLength,
         {},
         USBD_STATUS_INVALID_PARAMETER},
        {"class request too long", classTooLong, {}, USBD_STATUS_INVALID_PARAMETER},
        {"function not served", selectConfiguration, {}, USBD_STATUS_INVALID_URB_FUNCTION},
        {"unknown pipe handle", unknownPipe, Bytes(16), USBD_STATUS_INVALID_PIPE_HANDLE},
        {"abort of an unknown pipe", abortUnknownPipe, {}, USBD_STATUS_INVALID_PIPE_HANDLE},
        {"beyond the maximum transfer size", tooLarge, Bytes(4097), USBD_STATUS_INVALID_PARAMETER},
        {"no transfer buffer", noBuffer, {}, USBD_STATUS_INVALID_PARAMETER},
    };
    for (const auto& row : table) {
        Submission s(row.urb, row.buffer);
        EXPECT_EQ(Submit(s), STATUS_INVALID_PARAMETER) << row.name;
        EXPECT_TRUE(s.Done()) << row.name << ": completed before the call returned";
        EXPECT_EQ(s.Wait().thread, std::this_thread::get_id()) << row.name;
        EXPECT_EQ(s.Urb().UrbHeader.Status, row.usbd) << row.name;
        auto record = pdo_->UrbRecords().back();
        EXPECT_EQ(record.status, STATUS_INVALID_PARAMETER) << row.name;
        EXPECT_TRUE(record.Completed()) << row.name;
    }
    EXPECT_TRUE(pdo_->TakeBulkOut().empty()) << "nothing refused reached the device";

    Submission portStatus(BulkIn());
    EXPECT_EQ(portStatus.Send(pdo_->Device(), IOCTL_INTERNAL_USB_GET_PORT_STATUS),
              STATUS_NOT_SUPPORTED);
}

// ---- Abort, stall and reset ----------------------------------------------------------------

TEST_F(ModemPdoTest, AbortCancelsEveryPendingTransferOfThePipeBeforeItCompletes) {
    Submission a(BulkIn(), Bytes(4096)), b(BulkIn(), Bytes(4096));
    Submission notification(BulkUrb(pdo_->InterruptInPipe(), 3, 16), Bytes(16));
    Submit(a);
    Submit(b);
    Submit(notification);
    Submission abort(PipeUrb(URB_FUNCTION_ABORT_PIPE, pdo_->BulkInPipe()));
    Submit(abort);
    EXPECT_EQ(abort.Wait().status, STATUS_SUCCESS);
    for (Submission* s : {&a, &b}) {
        EXPECT_TRUE(s->Done()) << "aborted transfers complete before the abort";
        EXPECT_EQ(s->Wait().status, STATUS_CANCELLED);
        EXPECT_EQ(s->Wait().irql, DISPATCH_LEVEL);
        EXPECT_EQ(s->Urb().UrbHeader.Status, USBD_STATUS_CANCELED);
        EXPECT_LT(s->Wait().order, abort.Wait().order);
    }
    kx::DrainDispatchQueue();
    EXPECT_FALSE(notification.Done()) << "another pipe's transfer is not aborted";

    // The pipe still works, and data sent now goes to the next transfer.
    pdo_->SendBulkIn(Pattern(5, 9));
    Submission next(BulkIn(), Bytes(4096));
    Submit(next);
    EXPECT_EQ(next.Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(next.Received(), Pattern(5, 9));
}

// A failed abort ends nothing, so it must not wait behind the transfers it left:
// its submitter gets the failure while they stay pending.
TEST_F(ModemPdoTest, AFailedAbortAnswersAtOnceAndLeavesThePipesTransfers) {
    Submission pending(BulkIn(), Bytes(4096));
    Submit(pending);
    sim::UrbMatch abortBulkIn;
    abortBulkIn.function = URB_FUNCTION_ABORT_PIPE;
    abortBulkIn.pipe = UsbPipe::BulkIn;
    pdo_->InjectFault(
        sim::UrbFault::Fail(abortBulkIn, STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING));
    Submission abort(PipeUrb(URB_FUNCTION_ABORT_PIPE, pdo_->BulkInPipe()));
    Submit(abort);
    EXPECT_EQ(abort.Wait().status, STATUS_UNSUCCESSFUL);
    kx::DrainDispatchQueue();
    EXPECT_FALSE(pending.Done());

    pdo_->SendBulkIn(Pattern(3, 1));
    EXPECT_EQ(pending.Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(pending.Received(), Pattern(3, 1));
}

TEST_F(ModemPdoTest, StalledPipeStaysHaltedUntilReset) {
    pdo_->InjectFault(sim::UrbFault::Stall({std::nullopt, UsbPipe::BulkOut}));
    Submission stalled(BulkOut(3), Bytes{1, 2, 3});
    Submit(stalled);
    EXPECT_EQ(stalled.Wait().status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stalled.Urb().UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_TRUE(pdo_->Halted(UsbPipe::BulkOut));
    Submission halted(BulkOut(3), Bytes{4, 5, 6});
    Submit(halted);
    EXPECT_EQ(halted.Wait().status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(halted.Urb().UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
    EXPECT_TRUE(pdo_->TakeBulkOut().empty());

    Submission reset(PipeUrb(URB_FUNCTION_RESET_PIPE, pdo_->BulkOutPipe()));
    Submit(reset);
    EXPECT_EQ(reset.Wait().status, STATUS_SUCCESS);
    EXPECT_FALSE(pdo_->Halted(UsbPipe::BulkOut));
    Submission works(BulkOut(3), Bytes{7, 8, 9});
    Submit(works);
    EXPECT_EQ(works.Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(pdo_->TakeBulkOut(), (Bytes{7, 8, 9}));

    // The device stalls the endpoint under a waiting read; the read behind it fails too.
    Submission first(BulkIn(), Bytes(4096)), second(BulkIn(), Bytes(4096));
    Submit(first);
    Submit(second);
    pdo_->StallEndpoint(UsbPipe::BulkIn);
    EXPECT_EQ(first.Wait().status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(first.Urb().UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(second.Urb().UrbHeader.Status, (second.Wait(), USBD_STATUS_ENDPOINT_HALTED));

    // More than a transfer asked for is babble: it fails and halts the pipe.
    Submission small(BulkUrb(pdo_->InterruptInPipe(), 3, 10), Bytes(10));
    Submit(small);
    pdo_->SendInterrupt(Pattern(16, 0));
    EXPECT_EQ(small.Wait().status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(small.Urb().UrbHeader.Status, USBD_STATUS_BABBLE_DETECTED);
    EXPECT_TRUE(pdo_->Halted(UsbPipe::InterruptIn));
}

// ---- Faults ------------------------------------------------------------------------------

TEST_F(ModemPdoTest, FailFaultHitsOnlyTheNextMatchingUrb) {
    pdo_->InjectFault(sim::UrbFault::Fail({URB_FUNCTION_CLASS_INTERFACE, std::nullopt},
                                          STATUS_INSUFFICIENT_RESOURCES,
                                          USBD_STATUS_DEV_NOT_RESPONDING));
    Submission write(BulkOut(1), Bytes{0x55});
    Submission request(ClassUrb(0x22, 1, 0, 0)), again(ClassUrb(0x22, 1, 0, 0));
    Submit(write);
    Submit(request);
    Submit(again);
    EXPECT_EQ(write.Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(request.Wait().status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(request.Urb().UrbHeader.Status, USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(again.Wait().status, STATUS_SUCCESS) << "a fault is one-shot";
}

TEST_F(ModemPdoTest, HeldTransferCompletesOnlyWhenReleasedAndKeepsItsPipeInOrder) {
    pdo_->InjectFault(sim::UrbFault::Hold({std::nullopt, UsbPipe::BulkOut}));
    Submission held(BulkOut(2), Bytes{1, 2}), behind(BulkOut(2), Bytes{3, 4});
    Submit(held);
    Submit(behind);
    kx::DrainDispatchQueue();
    EXPECT_FALSE(held.Done());
    EXPECT_FALSE(behind.Done());
    EXPECT_EQ(pdo_->HeldCount(), 1u);
    EXPECT_TRUE(pdo_->TakeBulkOut().empty());

    pdo_->ReleaseHeld();
    EXPECT_EQ(held.Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(behind.Wait().status, STATUS_SUCCESS);
    EXPECT_LT(held.Wait().order, behind.Wait().order);
    EXPECT_EQ(pdo_->TakeBulkOut(), (Bytes{1, 2, 3, 4}));

    // A held read takes no data, and the read behind it may not take it either.
    pdo_->InjectFault(sim::UrbFault::Hold({std::nullopt, UsbPipe::BulkIn}));
    Submission heldRead(BulkIn(), Bytes(4096)), nextRead(BulkIn(), Bytes(4096));
    Submit(heldRead);
    Submit(nextRead);
    pdo_->SendBulkIn({1});
    pdo_->SendBulkIn({2});
    kx::DrainDispatchQueue();
    EXPECT_FALSE(nextRead.Done());
    EXPECT_EQ(pdo_->QueuedInBytes(UsbPipe::BulkIn), 2u);
    pdo_->ReleaseHeld();
    EXPECT_EQ(heldRead.Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(heldRead.Received(), Bytes{1});
    EXPECT_EQ(nextRead.Wait().status, STATUS_SUCCESS);
    EXPECT_EQ(nextRead.Received(), Bytes{2});

    // A held reset clears the halt at once and answers only when released.
    pdo_->InjectFault(sim::UrbFault::Stall({std::nullopt, UsbPipe::BulkOut}));
    Submission stalled(BulkOut(1), Bytes{5});
    Submit(stalled);
    stalled.Wait();
    ASSERT_TRUE(pdo_->Halted(UsbPipe::BulkOut));
    pdo_->InjectFault(sim::UrbFault::Hold({URB_FUNCTION_RESET_PIPE, UsbPipe::BulkOut}));
    Submission reset(PipeUrb(URB_FUNCTION_RESET_PIPE, pdo_->BulkOutPipe()));
    EXPECT_EQ(Submit(reset), STATUS_PENDING);
    EXPECT_EQ(pdo_->HeldCount(), 1u);
    EXPECT_FALSE(pdo_->Halted(UsbPipe::BulkOut));
    pdo_->ReleaseHeld();
    EXPECT_EQ(reset.Wait().status, STATUS_SUCCESS);
}

// ---- Cancellation ------------------------------------------------------------------------

TEST_F(ModemPdoTest, CancelledTransferCompletesOnceAndLeavesTheDataForTheNext) {
    Submission early(BulkIn(), Bytes(4096));
    EXPECT_EQ(early.Send(pdo_->Device(), IOCTL_INTERNAL_USB_SUBMIT_URB, true), STATUS_PENDING);
    EXPECT_EQ(early.Wait().status, STATUS_CANCELLED);

    Submission read(BulkIn(), Bytes(4096));
    Submit(read);
    EXPECT_TRUE(IoCancelIrp(read.Irp()));
    EXPECT_EQ(read.Wait().status, STATUS_CANCELLED);
    EXPECT_EQ(read.Urb().UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(pdo_->OutstandingTransfers(UsbPipe::BulkIn), 0u);

    // Data arriving and the cancel race: exactly one completion each time (the
    // verifier stops a second one), a transfer that got its byte completes with it
    // even when the cancel came later, and no byte is lost, reordered or duplicated.
    constexpr int Rounds = 1000;
    Bytes received;
    for (int round = 0; round < Rounds; ++round) {
        Submission racing(BulkIn(), Bytes(4096));
        Submit(racing);
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

// ---- Unplug and teardown -----------------------------------------------------------------

TEST_F(ModemPdoTest, UnplugFailsEverythingOutstandingAndEveryLaterUrbAtOnce) {
    pdo_->InjectFault(sim::UrbFault::Hold({std::nullopt, UsbPipe::BulkOut}));
    Submission read(BulkIn(), Bytes(4096));
    Submission notification(BulkUrb(pdo_->InterruptInPipe(), 3, 16), Bytes(16));
    Submission write(BulkOut(1), Bytes{1});
    Submit(read);
    Submit(notification);
    Submit(write);
    pdo_->Unplug();
    for (Submission* s : {&read, &notification, &write}) {
        EXPECT_EQ(s->Wait().status, STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(s->Wait().irql, DISPATCH_LEVEL);
        EXPECT_EQ(s->Urb().UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    }
    EXPECT_TRUE(pdo_->TakeBulkOut().empty());

    pdo_->SendBulkIn({1, 2, 3});
    EXPECT_EQ(pdo_->QueuedInBytes(UsbPipe::BulkIn), 0u) << "a device that is gone sends nothing";
    Submission reset(PipeUrb(URB_FUNCTION_RESET_PIPE, pdo_->BulkInPipe()));
    EXPECT_EQ(Submit(reset), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(reset.Done());
    EXPECT_EQ(reset.Urb().UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
}

TEST_F(ModemPdoTest, RemovalAndDeletionEndOutstandingTransfersWithoutLeaks) {
    Submission read(BulkIn(), Bytes(4096));
    Submit(read);
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP remove = IoBuildDeviceIoControlRequest(0, pdo_->Device(), nullptr, 0, nullptr, 0, FALSE,
                                                &event, &iosb);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(remove);
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = IRP_MN_REMOVE_DEVICE;
    EXPECT_EQ(IoCallDriver(pdo_->Device(), remove), STATUS_SUCCESS);
    EXPECT_EQ(read.Wait().status, STATUS_CANCELLED) << "the device is still there: aborted";
    Submission refused(BulkIn(), Bytes(4096));
    EXPECT_EQ(Submit(refused), STATUS_DEVICE_NOT_CONNECTED);

    // Deleting the PDO with transfers inside: they end first, so the verifier sees
    // neither a busy device nor a leaked IRP.
    sim::ModemPdo& other = bus_.CreateModemPdo();
    Submission a(BulkUrb(other.BulkInPipe(), 3, 4096), Bytes(4096));
    Submission b(BulkUrb(other.InterruptInPipe(), 3, 16), Bytes(16));
    a.Send(other.Device());
    b.Send(other.Device());
    kx::VerifierCapture capture;
    bus_.DeletePdo(other);
    EXPECT_TRUE(capture.Findings().empty()) << kx::RuleName(capture.Findings()[0].rule);
    EXPECT_EQ(a.Wait().status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(b.Wait().status, STATUS_DEVICE_NOT_CONNECTED);
}

// ---- Synchronous completion --------------------------------------------------------------

TEST_F(ModemPdoTest, SynchronousPdoCompletesKnownOutcomesOnTheSubmittersStack) {
    sim::PdoOptions options;
    options.synchronousCompletion = true;
    sim::ModemPdo& pdo = bus_.CreateModemPdo(options);
    Submission write(BulkUrb(pdo.BulkOutPipe(), 0, 2), Bytes{1, 2});
    EXPECT_EQ(write.Send(pdo.Device()), STATUS_SUCCESS);
    EXPECT_TRUE(write.Done());
    EXPECT_EQ(write.Wait().thread, std::this_thread::get_id());
    EXPECT_EQ(write.Wait().irql, PASSIVE_LEVEL);

    pdo.SendBulkIn({7});
    Submission ready(BulkUrb(pdo.BulkInPipe(), 3, 64), Bytes(64));
    EXPECT_EQ(ready.Send(pdo.Device()), STATUS_SUCCESS);
    EXPECT_EQ(ready.Received(), Bytes{7});

    // Without data there is nothing to complete yet: it pends and completes later
    // from a DPC thread.
    Submission waiting(BulkUrb(pdo.BulkInPipe(), 3, 64), Bytes(64));
    EXPECT_EQ(waiting.Send(pdo.Device()), STATUS_PENDING);
    pdo.SendBulkIn({8});
    EXPECT_EQ(waiting.Wait().irql, DISPATCH_LEVEL);
    EXPECT_EQ(waiting.Received(), Bytes{8});
}

} // namespace
