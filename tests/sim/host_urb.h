// One URB on an IRP of the test's own, sent to a PDO the way a function driver sends
// it. The IRP stays allocated until the object goes, so the test may cancel it at
// any time; one still outstanding then is cancelled and waited for.
#pragma once

#include <kx/host.h>
#include <sim/bus.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace sim_test {

using Bytes = std::vector<uint8_t>;

class HostUrb {
  public:
    struct Outcome {
        NTSTATUS status = STATUS_PENDING;
        KIRQL irql = PASSIVE_LEVEL;
        uint64_t order = 0; // among the completions of every HostUrb
        std::thread::id thread;
    };

    // Sent to `device` at once; a transfer's TransferBuffer is pointed at `buffer`,
    // which the object owns.
    HostUrb(PDEVICE_OBJECT device, const URB& urb, Bytes buffer = {})
        : state_(std::make_unique<State>()) {
        state_->urb = urb;
        state_->buffer = std::move(buffer);
        if (!state_->buffer.empty())
            state_->urb.UrbBulkOrInterruptTransfer.TransferBuffer = state_->buffer.data();
        KeInitializeEvent(&state_->event, NotificationEvent, FALSE);
        irp_ = IoAllocateIrp(device->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = &state_->urb;
        IoSetCompletionRoutine(irp_, OnComplete, state_.get(), TRUE, TRUE, TRUE);
        IoCallDriver(device, irp_);
    }
    ~HostUrb() {
        if (!Done())
            IoCancelIrp(irp_);
        Wait();
        IoFreeIrp(irp_);
    }

    bool Done() const { return state_->done.load(); }
    const Outcome& Wait() {
        KeWaitForSingleObject(&state_->event, Executive, KernelMode, FALSE, nullptr);
        return state_->outcome;
    }
    PIRP Irp() const { return irp_; }
    USBD_STATUS UsbdStatus() const { return state_->urb.UrbHeader.Status; }
    // The bytes an IN transfer received.
    Bytes Received() const {
        ULONG length = state_->urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
        return Bytes(state_->buffer.begin(), state_->buffer.begin() + length);
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
        static std::atomic<uint64_t> completions{0};
        auto* state = static_cast<State*>(context);
        state->outcome = {irp->IoStatus.Status, KeGetCurrentIrql(), ++completions,
                          std::this_thread::get_id()};
        state->done = true;
        KeSetEvent(&state->event, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    std::unique_ptr<State> state_;
    PIRP irp_ = nullptr;
};

inline URB BulkUrb(USBD_PIPE_HANDLE pipe, ULONG flags, ULONG length) {
    URB urb{};
    urb.UrbHeader.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb.UrbBulkOrInterruptTransfer.PipeHandle = pipe;
    urb.UrbBulkOrInterruptTransfer.TransferFlags = flags;
    urb.UrbBulkOrInterruptTransfer.TransferBufferLength = length;
    return urb;
}

} // namespace sim_test
