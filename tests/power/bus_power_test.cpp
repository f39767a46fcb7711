// The modem PDO's side of power management: it answers power requests as a bus
// driver does, suspends its port while in a low-power device state (serving URBs
// or holding them until D0, as the test chooses), aborts what is outstanding when
// the host controller loses power at S3 or S4, and reports a URB submitted while
// that same URB is still outstanding.
#include "power_support.h"

#include <kx/pnp.h>

#include <gtest/gtest.h>

#include <memory>

namespace {

using namespace power_test;
using sim::LowPowerUrbs;
using sim::UsbPipe;

// A URB on an IRP of the test's own, sent straight to the PDO. The URB is the
// caller's, so two submissions may carry the same one.
class UrbIrp {
  public:
    UrbIrp(PDEVICE_OBJECT pdo, URB* urb) : pdo_(pdo), urb_(urb) {
        KeInitializeEvent(&done_, NotificationEvent, FALSE);
    }
    ~UrbIrp() {
        if (irp_ == nullptr)
            return;
        if (!Done())
            IoCancelIrp(irp_);
        Wait();
        IoFreeIrp(irp_);
    }
    UrbIrp(const UrbIrp&) = delete;
    UrbIrp& operator=(const UrbIrp&) = delete;

    NTSTATUS Send() {
        irp_ = IoAllocateIrp(pdo_->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = urb_;
        IoSetCompletionRoutine(irp_, OnComplete, this, TRUE, TRUE, TRUE);
        return IoCallDriver(pdo_, irp_);
    }
    bool Done() const { return KeReadStateEvent(const_cast<PKEVENT>(&done_)) != 0; }
    NTSTATUS Wait() {
        KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, nullptr);
        return status_;
    }

  private:
    static NTSTATUS NTAPI OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        auto* self = static_cast<UrbIrp*>(context);
        self->status_ = irp->IoStatus.Status;
        KeSetEvent(&self->done_, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    PDEVICE_OBJECT pdo_;
    URB* urb_;
    PIRP irp_ = nullptr;
    KEVENT done_;
    NTSTATUS status_ = STATUS_PENDING;
};

// A bulk or interrupt IN transfer with its own buffer.
struct InTransfer {
    InTransfer(USBD_PIPE_HANDLE pipe, ULONG length) : buffer(length) {
        urb.UrbHeader.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
        urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        urb.UrbBulkOrInterruptTransfer.PipeHandle = pipe;
        urb.UrbBulkOrInterruptTransfer.TransferFlags =
            USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
        urb.UrbBulkOrInterruptTransfer.TransferBufferLength = length;
        urb.UrbBulkOrInterruptTransfer.TransferBuffer = buffer.data();
    }
    std::vector<uint8_t> Received() const {
        return std::vector<uint8_t>(
            buffer.begin(), buffer.begin() + urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
    }
    URB urb{};
    std::vector<uint8_t> buffer;
};

URB PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe) {
    URB urb{};
    urb.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    urb.UrbHeader.Function = function;
    urb.UrbPipeRequest.PipeHandle = pipe;
    return urb;
}

class BusPowerTest : public ::testing::TestWithParam<LowPowerUrbs> {
  protected:
    void SetUp() override {
        sim::PdoOptions options;
        options.lowPowerUrbs = GetParam();
        pdo_ = &bus_.CreateModemPdo(options);
        node_ = kx::ReportDevice(pdo_->Device(), driver_.Driver());
        ASSERT_NE(node_, nullptr);
    }
    void TearDown() override {
        if (kx::CurrentSystemPowerState() != PowerSystemWorking)
            kx::SystemWake();
        kx::DrainWorkItems();
        kx::RemoveDevice(*node_);
    }
    bool Holds() const { return GetParam() == LowPowerUrbs::HoldUntilD0; }
    NTSTATUS SetDevice(DEVICE_POWER_STATE state) {
        return RequestDevicePower(pdo_->Device(), IRP_MN_SET_POWER, state);
    }

    kx::Kernel kernel_;
    sim::ParentBus bus_;
    PassingDriver driver_;
    sim::ModemPdo* pdo_ = nullptr;
    std::shared_ptr<kx::DeviceNode> node_;
};

// ---- Answers ------------------------------------------------------------------------------

TEST_P(BusPowerTest, SetAndQueryOfBothKindsSucceedAndOnlyADeviceSetChangesTheDevice) {
    kx::VerifierCapture capture;
    EXPECT_EQ(RequestDevicePower(pdo_->Device(), IRP_MN_QUERY_POWER, PowerDeviceD3),
              STATUS_SUCCESS);
    EXPECT_EQ(pdo_->DevicePower(), PowerDeviceD0);
    EXPECT_EQ(SetDevice(PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(pdo_->DevicePower(), PowerDeviceD3);
    EXPECT_EQ(kx::AnnouncedPowerState(pdo_->Device(), DevicePowerState).DeviceState, PowerDeviceD3);
    ASSERT_EQ(kx::SystemSleep(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(pdo_->SystemPower(), PowerSystemSleeping3);
    EXPECT_EQ(pdo_->DevicePower(), PowerDeviceD3) << "a system request sets no device state";
    ASSERT_EQ(kx::SystemWake(), STATUS_SUCCESS);
    EXPECT_EQ(pdo_->DevicePower(), PowerDeviceD3);
    EXPECT_EQ(SetDevice(PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(pdo_->DevicePower(), PowerDeviceD0);
    // The bus called PoStartNextPowerIrp for every one of them.
    EXPECT_TRUE(capture.Findings().empty());
}

TEST_P(BusPowerTest, WaitWakeFailsForAFunctionThatCannotWake) {
    POWER_STATE state;
    state.SystemState = PowerSystemSleeping3;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    static NTSTATUS seen;
    seen = STATUS_PENDING;
    auto callback = [](PDEVICE_OBJECT, UCHAR minor, POWER_STATE, PVOID context,
                       PIO_STATUS_BLOCK io) {
        EXPECT_EQ(minor, IRP_MN_WAIT_WAKE);
        seen = io->Status;
        KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    };
    ASSERT_EQ(PoRequestPowerIrp(pdo_->Device(), IRP_MN_WAIT_WAKE, state, callback, &done, nullptr),
              STATUS_PENDING);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(seen, STATUS_INVALID_DEVICE_STATE);
    auto records = pdo_->Records();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().minor, IRP_MN_WAIT_WAKE);
    EXPECT_EQ(records.back().powerState.SystemState, PowerSystemSleeping3);
}

TEST_P(BusPowerTest, AScriptedFailureStillStartsTheNextPowerIrpAndChangesNothing) {
    kx::VerifierCapture capture;
    pdo_->ScriptNext(sim::Response::Complete(STATUS_IO_DEVICE_ERROR)
                         .ForPower(IRP_MN_SET_POWER, DevicePowerState));
    EXPECT_EQ(SetDevice(PowerDeviceD3), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(pdo_->DevicePower(), PowerDeviceD0);
    EXPECT_EQ(SetDevice(PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(pdo_->DevicePower(), PowerDeviceD3);
    EXPECT_TRUE(capture.Findings().empty());
    EXPECT_EQ(SetDevice(PowerDeviceD0), STATUS_SUCCESS);
}

// ---- Transfers across low power -----------------------------------------------------------

TEST_P(BusPowerTest, TheHostControllerPoweringDownAtS3AbortsWhatIsOutstanding) {
    InTransfer bulk(pdo_->BulkInPipe(), 64);
    InTransfer notification(pdo_->InterruptInPipe(), 16);
    UrbIrp bulkIrp(pdo_->Device(), &bulk.urb);
    UrbIrp notificationIrp(pdo_->Device(), &notification.urb);
    bulkIrp.Send();
    notificationIrp.Send();
    EXPECT_EQ(SetDevice(PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_FALSE(bulkIrp.Done()) << "a suspended port keeps its transfers";
    ASSERT_EQ(kx::SystemSleep(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(bulkIrp.Wait(), STATUS_CANCELLED);
    EXPECT_EQ(notificationIrp.Wait(), STATUS_CANCELLED);
    EXPECT_EQ(bulk.urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(notification.urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    for (const auto& record : pdo_->UrbRecords()) {
        EXPECT_GT(record.completeSequence, PowerAtPdo(*pdo_).back().sequence)
            << "ended by the system set-power request, after it reached the PDO";
    }
}

TEST_P(BusPowerTest, ALightSleepKeepsTheControllerPoweredAndTheTransfersOutstanding) {
    InTransfer bulk(pdo_->BulkInPipe(), 64);
    UrbIrp bulkIrp(pdo_->Device(), &bulk.urb);
    bulkIrp.Send();
    EXPECT_EQ(SetDevice(PowerDeviceD3), STATUS_SUCCESS);
    ASSERT_EQ(kx::SystemSleep(PowerSystemSleeping1), STATUS_SUCCESS);
    ASSERT_EQ(kx::SystemWake(), STATUS_SUCCESS);
    EXPECT_EQ(SetDevice(PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_FALSE(bulkIrp.Done());
    pdo_->SendBulkIn({1, 2, 3});
    EXPECT_EQ(bulkIrp.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(bulk.Received(), (std::vector<uint8_t>{1, 2, 3}));
}

TEST_P(BusPowerTest, ASuspendedPortServesOrHoldsTransfersAsThePolicySays) {
    EXPECT_EQ(SetDevice(PowerDeviceD3), STATUS_SUCCESS);
    InTransfer bulk(pdo_->BulkInPipe(), 64);
    UrbIrp bulkIrp(pdo_->Device(), &bulk.urb);
    EXPECT_EQ(bulkIrp.Send(), STATUS_PENDING);
    pdo_->SendBulkIn({7, 8});
    kx::DrainDispatchQueue();
    if (Holds()) {
        EXPECT_EQ(pdo_->PowerHeldCount(), 1u);
        EXPECT_FALSE(bulkIrp.Done());
        EXPECT_EQ(pdo_->QueuedInBytes(UsbPipe::BulkIn), 2u) << "nothing moves on a suspended port";
        EXPECT_EQ(SetDevice(PowerDeviceD0), STATUS_SUCCESS);
        EXPECT_EQ(pdo_->PowerHeldCount(), 0u);
    }
    EXPECT_EQ(bulkIrp.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(bulk.Received(), (std::vector<uint8_t>{7, 8}));
}

TEST_P(BusPowerTest, ResetAndAbortActAtOnceOnASuspendedPort) {
    InTransfer before(pdo_->BulkInPipe(), 64);
    UrbIrp beforeIrp(pdo_->Device(), &before.urb);
    beforeIrp.Send();
    EXPECT_EQ(SetDevice(PowerDeviceD3), STATUS_SUCCESS);
    InTransfer during(pdo_->BulkInPipe(), 64);
    UrbIrp duringIrp(pdo_->Device(), &during.urb);
    duringIrp.Send();

    URB reset = PipeRequest(URB_FUNCTION_RESET_PIPE, pdo_->BulkInPipe());
    UrbIrp resetIrp(pdo_->Device(), &reset);
    resetIrp.Send();
    EXPECT_EQ(resetIrp.Wait(), STATUS_SUCCESS) << "a reset held until D0 could deadlock a wake";
    URB abort = PipeRequest(URB_FUNCTION_ABORT_PIPE, pdo_->BulkInPipe());
    UrbIrp abortIrp(pdo_->Device(), &abort);
    abortIrp.Send();
    EXPECT_EQ(abortIrp.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(beforeIrp.Wait(), STATUS_CANCELLED);
    EXPECT_EQ(duringIrp.Wait(), STATUS_CANCELLED) << "held or not, the abort ends it";
    EXPECT_EQ(pdo_->PowerHeldCount(), 0u);
    EXPECT_EQ(SetDevice(PowerDeviceD0), STATUS_SUCCESS);
}

TEST_P(BusPowerTest, TransfersHeldAcrossTheSuspendGoOnInSubmissionOrder) {
    EXPECT_EQ(SetDevice(PowerDeviceD3), STATUS_SUCCESS);
    InTransfer first(pdo_->BulkInPipe(), 64);
    InTransfer second(pdo_->BulkInPipe(), 64);
    UrbIrp firstIrp(pdo_->Device(), &first.urb);
    UrbIrp secondIrp(pdo_->Device(), &second.urb);
    firstIrp.Send();
    secondIrp.Send();
    pdo_->SendBulkIn({1});
    pdo_->SendBulkIn({2});
    EXPECT_EQ(SetDevice(PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(firstIrp.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(secondIrp.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(first.Received(), (std::vector<uint8_t>{1}));
    EXPECT_EQ(second.Received(), (std::vector<uint8_t>{2}));
}

INSTANTIATE_TEST_SUITE_P(Policies, BusPowerTest,
                         ::testing::Values(LowPowerUrbs::Serve, LowPowerUrbs::HoldUntilD0),
                         [](const ::testing::TestParamInfo<LowPowerUrbs>& info) {
                             return info.param == LowPowerUrbs::Serve ? "Serve" : "HoldUntilD0";
                         });

// ---- The same URB twice -------------------------------------------------------------------

class UrbTwiceTest : public ::testing::Test {
  protected:
    kx::Kernel kernel_;
    sim::ParentBus bus_;
    sim::ModemPdo& pdo_ = bus_.CreateModemPdo();
};

TEST_F(UrbTwiceTest, AUrbSubmittedWhileOutstandingIsAFindingAndIsRefusedUntouched) {
    InTransfer bulk(pdo_.BulkInPipe(), 64);
    UrbIrp first(pdo_.Device(), &bulk.urb);
    ASSERT_EQ(first.Send(), STATUS_PENDING);
    kx::VerifierCapture capture;
    {
        UrbIrp again(pdo_.Device(), &bulk.urb);
        EXPECT_EQ(again.Send(), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(again.Wait(), STATUS_INVALID_PARAMETER);
    }
    ASSERT_EQ(capture.Count(kx::Rule::UrbInFlightTwice), 1u);
    EXPECT_EQ(pdo_.UrbRecords().size(), 1u);
    EXPECT_EQ(bulk.urb.UrbHeader.Status, 0) << "the outstanding transfer's URB is left alone";

    // The first goes on undisturbed; once it is back, the URB may go out again.
    pdo_.SendBulkIn({5});
    EXPECT_EQ(first.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(bulk.Received(), (std::vector<uint8_t>{5}));
    bulk.urb.UrbBulkOrInterruptTransfer.TransferBufferLength = 64;
    UrbIrp later(pdo_.Device(), &bulk.urb);
    EXPECT_EQ(later.Send(), STATUS_PENDING);
    EXPECT_EQ(capture.Count(kx::Rule::UrbInFlightTwice), 1u);
    pdo_.Unplug();
    EXPECT_EQ(later.Wait(), STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(UrbTwiceTest, AUrbResubmittedFromItsOwnCompletionIsNoFinding) {
    // The readers' pattern: the completion routine sends the same URB again.
    struct Reader {
        Reader(PDEVICE_OBJECT device, USBD_PIPE_HANDLE pipe) : transfer(pipe, 16), pdo(device) {
            KeInitializeEvent(&done, NotificationEvent, FALSE);
        }
        InTransfer transfer;
        PDEVICE_OBJECT pdo;
        int completions = 0;
        KEVENT done;
    } reader(pdo_.Device(), pdo_.InterruptInPipe());
    struct Resubmit {
        static NTSTATUS NTAPI Routine(PDEVICE_OBJECT, PIRP irp, PVOID context) {
            auto* r = static_cast<Reader*>(context);
            IoFreeIrp(irp);
            if (++r->completions < 3) {
                r->transfer.urb.UrbBulkOrInterruptTransfer.TransferBufferLength = 16;
                Send(r);
            } else {
                KeSetEvent(&r->done, IO_NO_INCREMENT, FALSE);
            }
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
        static void Send(Reader* r) {
            PIRP irp = IoAllocateIrp(r->pdo->StackSize, FALSE);
            PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
            next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
            next->Parameters.Others.Argument1 = &r->transfer.urb;
            IoSetCompletionRoutine(irp, Routine, r, TRUE, TRUE, TRUE);
            IoCallDriver(r->pdo, irp);
        }
    };
    kx::VerifierCapture capture;
    Resubmit::Send(&reader);
    for (int i = 0; i < 3; ++i) {
        pdo_.WaitForOutstanding(UsbPipe::InterruptIn, 1);
        pdo_.SendInterrupt({static_cast<uint8_t>(i)});
        kx::DrainDispatchQueue();
    }
    KeWaitForSingleObject(&reader.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(reader.completions, 3);
    EXPECT_TRUE(capture.Findings().empty());
}

} // namespace
