// The modem PDO's USB service: validating URBs as the USB stack does, the per-pipe
// transfer queues, the device side, faults, and completing from DPC threads.
#include "bus.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace sim {

namespace {

// bmRequestType bits (type and recipient) of the class and vendor request
// functions; the direction bit comes from the transfer flags.
std::optional<UCHAR> ControlRequestType(USHORT function) {
    switch (function) {
    case URB_FUNCTION_CLASS_DEVICE:
        return 0x20;
    case URB_FUNCTION_CLASS_INTERFACE:
        return 0x21;
    case URB_FUNCTION_CLASS_ENDPOINT:
        return 0x22;
    case URB_FUNCTION_VENDOR_DEVICE:
        return 0x40;
    case URB_FUNCTION_VENDOR_INTERFACE:
        return 0x41;
    case URB_FUNCTION_VENDOR_ENDPOINT:
        return 0x42;
    default:
        return std::nullopt;
    }
}

// The structure size each served function requires in Hdr.Length.
std::optional<size_t> RequiredLength(USHORT function) {
    switch (function) {
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_RESET_PIPE:
        return sizeof(_URB_PIPE_REQUEST);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    default:
        if (ControlRequestType(function))
            return sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
        return std::nullopt;
    }
}

// The host controller's completion DPC running on this thread, and the pipes
// whose transfers became ready while it ran: it completes them itself, as one
// DPC completes whatever the controller finished, rather than queueing another.
struct CompletionDpc {
    const ModemPdo* pdo = nullptr;
    std::vector<UsbPipe> madeReady;
};
thread_local CompletionDpc* completionDpc = nullptr;

NTSTATUS CompleteUrbIrp(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

} // namespace

std::array<uint8_t, 8> SetupPacket::Bytes() const {
    return {bmRequestType,
            bRequest,
            static_cast<uint8_t>(wValue & 0xFF),
            static_cast<uint8_t>(wValue >> 8),
            static_cast<uint8_t>(wIndex & 0xFF),
            static_cast<uint8_t>(wIndex >> 8),
            static_cast<uint8_t>(wLength & 0xFF),
            static_cast<uint8_t>(wLength >> 8)};
}

// ---- Submission -------------------------------------------------------------------------

NTSTATUS ModemPdo::SubmitUrb(PIRP irp) {
    auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    if (urb == nullptr)
        return CompleteUrbIrp(irp, STATUS_INVALID_PARAMETER);
    WaitAtTheDoor(urb);
    PIRP outstanding = nullptr;
    {
        std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
        auto same = [urb](const Transfer& t) { return t.urb == urb; };
        for (const Pipe& pipe : pipes_) {
            auto it = std::find_if(pipe.transfers.begin(), pipe.transfers.end(), same);
            if (it != pipe.transfers.end())
                outstanding = it->irp;
        }
        for (const auto* list : {&cancelling_, &detached_}) {
            auto it = std::find_if(list->begin(), list->end(), same);
            if (it != list->end())
                outstanding = it->irp;
        }
    }
    if (outstanding != nullptr) {
        // The URB and its buffer belong to the transfer in flight: this submission
        // must not touch them.
        kx::ReportFinding(kx::Rule::UrbInFlightTwice,
                          "URB " + std::to_string(reinterpret_cast<uintptr_t>(urb)) +
                              " (function " + std::to_string(urb->UrbHeader.Function) +
                              ") submitted in IRP " +
                              std::to_string(reinterpret_cast<uintptr_t>(irp)) +
                              " while still outstanding in IRP " +
                              std::to_string(reinterpret_cast<uintptr_t>(outstanding)));
        return CompleteUrbIrp(irp, STATUS_INVALID_PARAMETER);
    }

    UrbRecord record;
    record.irp = irp;
    record.function = urb->UrbHeader.Function;
    record.length = urb->UrbHeader.Length;
    record.submitIrql = KeGetCurrentIrql();
    record.submitTime = kx::CurrentTime();

    std::optional<size_t> required = RequiredLength(record.function);
    if (!required)
        return Refuse(irp, urb, record, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION);
    if (record.length != *required)
        return Refuse(irp, urb, record, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);

    Transfer transfer;
    transfer.irp = irp;
    transfer.urb = urb;
    UsbPipe queue = UsbPipe::Control;
    PVOID buffer = nullptr;
    switch (record.function) {
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_RESET_PIPE: {
        record.pipe = PipeFromHandle(urb->UrbPipeRequest.PipeHandle);
        if (!record.pipe)
            return Refuse(irp, urb, record, STATUS_INVALID_PARAMETER,
                          USBD_STATUS_INVALID_PIPE_HANDLE);
        record.direction = PipeDirection(*record.pipe);
        bool abort = record.function == URB_FUNCTION_ABORT_PIPE;
        transfer.kind = abort ? Transfer::Kind::Abort : Transfer::Kind::Reset;
        // An abort that completes after the transfers it ends waits behind them on
        // their pipe; a reset is a request to the device on the default pipe.
        bool behindTransfers = abort && options_.abortOrder == AbortOrder::TransfersFirst;
        queue = behindTransfers ? *record.pipe : UsbPipe::Control;
        break;
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        auto& request = urb->UrbBulkOrInterruptTransfer;
        record.transferFlags = request.TransferFlags;
        record.requestedLength = request.TransferBufferLength;
        record.pipe = PipeFromHandle(request.PipeHandle);
        if (!record.pipe)
            return Refuse(irp, urb, record, STATUS_INVALID_PARAMETER,
                          USBD_STATUS_INVALID_PIPE_HANDLE);
        // The endpoint decides the direction of a bulk or interrupt transfer.
        record.direction = PipeDirection(*record.pipe);
        transfer.kind =
            record.direction == UsbDirection::In ? Transfer::Kind::In : Transfer::Kind::Out;
        queue = *record.pipe;
        buffer = request.TransferBuffer;
        transfer.shortTransferOk = (request.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
        if (request.TransferBufferLength > options_.maximumTransferSize)
            return Refuse(irp, urb, record, STATUS_INVALID_PARAMETER,
                          USBD_STATUS_INVALID_PARAMETER);
        break;
    }
    default: {
        auto& request = urb->UrbControlVendorClassRequest;
        record.pipe = UsbPipe::Control;
        record.transferFlags = request.TransferFlags;
        record.requestedLength = request.TransferBufferLength;
        record.requestTypeReservedBits = request.RequestTypeReservedBits;
        record.direction = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) ? UsbDirection::In
                                                                                : UsbDirection::Out;
        if (request.TransferBufferLength > 0xFFFF)
            return Refuse(irp, urb, record, STATUS_INVALID_PARAMETER,
                          USBD_STATUS_INVALID_PARAMETER);
        SetupPacket setup;
        setup.bmRequestType = static_cast<UCHAR>(*ControlRequestType(record.function) |
                                                 (record.direction == UsbDirection::In ? 0x80 : 0));
        setup.bRequest = request.Request;
        setup.wValue = request.Value;
        setup.wIndex = request.Index;
        setup.wLength = static_cast<USHORT>(request.TransferBufferLength);
        record.setup = setup;
        transfer.setup = setup;
        transfer.kind = Transfer::Kind::Control;
        buffer = request.TransferBuffer;
        break;
    }
    }

    if (transfer.MovesData()) {
        transfer.length = record.requestedLength;
        // The bus reads and writes TransferBuffer only; a transfer described by an MDL
        // alone is not served here.
        if (transfer.length != 0 && buffer == nullptr)
            return Refuse(irp, urb, record, STATUS_INVALID_PARAMETER,
                          USBD_STATUS_INVALID_PARAMETER);
        if (record.direction == UsbDirection::Out && transfer.length != 0) {
            auto* bytes = static_cast<const uint8_t*>(buffer);
            record.data.assign(bytes, bytes + transfer.length);
            transfer.data = record.data;
        }
    }

    std::unique_lock<kx::UnscheduledMutex> lock(mutex_);
    if (unplugged_ || removed_) {
        lock.unlock();
        return Refuse(irp, urb, record, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    }
    // A suspended device answers nothing (see LowPowerUrbs).
    bool needsDevice = transfer.MovesData() || transfer.kind == Transfer::Kind::Reset;
    if (needsDevice && PortSuspended() && options_.lowPowerUrbs == LowPowerUrbs::FailAtOnce) {
        lock.unlock();
        return Refuse(irp, urb, record, STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING);
    }
    record.submitSequence = ++sequence_;
    USHORT function = record.function;
    UsbPipe target = *record.pipe;
    transfer.record = AddUrbRecord(std::move(record));

    if (needsDevice && PortSuspended()) {
        // It reaches the device when the port is resumed; its fault is taken then.
        transfer.state = Transfer::State::AwaitingPower;
        return Queue(irp, std::move(transfer), queue, lock);
    }
    if (transfer.MovesData()) {
        StartMover(transfer, target);
        return Queue(irp, std::move(transfer), queue, lock);
    }
    // A stall is something the device does to a transfer; abort and reset can only
    // fail or be held.
    std::optional<UrbFault> fault = TakeFault(function, target, false);
    if (fault && fault->kind == UrbFault::Kind::Fail) {
        // A failed abort ends nothing: it answers on the default pipe rather than
        // after the transfers it would have ended.
        MakeReady(transfer, fault->status, fault->usbdStatus);
        queue = UsbPipe::Control;
    } else if (transfer.kind == Transfer::Kind::Abort) {
        StartAbort(transfer, target, fault);
        if (options_.abortOrder == AbortOrder::AbortFirst) {
            // The controller's side of the pipe: nothing on the default pipe (a
            // request held for the suspended port) delays it.
            if (options_.synchronousCompletion && transfer.state == Transfer::State::Ready) {
                ++busy_;
                lock.unlock();
                return Finish(std::move(transfer));
            }
            IoMarkIrpPending(irp);
            Detach(std::move(transfer));
            changed_.notify_all();
            return STATUS_PENDING;
        }
    } else {
        StartReset(transfer, target, fault);
    }
    return Queue(irp, std::move(transfer), queue, lock);
}

// Every transfer of the pipe that has not finished ends as cancelled (a held one
// too: the controller lets go of it). With AbortOrder::AbortFirst they complete
// once the abort has (AbortCompleted); otherwise ahead of the abort, which waits
// behind them on their pipe.
void ModemPdo::StartAbort(Transfer& abort, UsbPipe target, const std::optional<UrbFault>& fault) {
    bool abortFirst = options_.abortOrder == AbortOrder::AbortFirst;
    for (Transfer& pending : pipes_[static_cast<size_t>(target)].transfers) {
        if (!pending.MovesData() || pending.Ended())
            continue;
        MakeReady(pending, STATUS_CANCELLED, USBD_STATUS_CANCELED);
        if (abortFirst) {
            pending.state = Transfer::State::Aborted;
            pending.abortedBy = abort.record;
        }
    }
    MakeReady(abort, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    if (fault && fault->kind == UrbFault::Kind::Hold)
        abort.state = Transfer::State::Held; // it acts at once, answers late
}

void ModemPdo::AbortCompleted(size_t abortRecord) {
    if (holdAborted_)
        return;
    for (size_t i = 0; i < pipes_.size(); ++i) {
        for (Transfer& transfer : pipes_[i].transfers) {
            if (transfer.state == Transfer::State::Aborted && transfer.abortedBy == abortRecord)
                transfer.state = Transfer::State::Ready;
        }
        Kick(static_cast<UsbPipe>(i));
    }
}

void ModemPdo::HoldAbortedTransfers() {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    holdAborted_ = true;
}

void ModemPdo::ReleaseAbortedTransfers() {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    holdAborted_ = false;
    for (size_t i = 0; i < pipes_.size(); ++i) {
        for (Transfer& transfer : pipes_[i].transfers) {
            if (transfer.state == Transfer::State::Aborted)
                transfer.state = Transfer::State::Ready;
        }
        Kick(static_cast<UsbPipe>(i));
    }
}

void ModemPdo::StartReset(Transfer& transfer, UsbPipe target,
                          const std::optional<UrbFault>& fault) {
    if (fault && fault->kind == UrbFault::Kind::Fail) {
        MakeReady(transfer, fault->status, fault->usbdStatus);
        return;
    }
    // The client must have ended the pipe's transfers (aborted them and seen them
    // complete) before it resets the pipe: "How to recover from USB pipe errors"
    // (WDK) has the client cancel or wait for every pending transfer first.
    // USBD_STATUS_ERROR_BUSY is the USB stack's status for a request that finds
    // the pipe busy. The WDK does not say what the stack does otherwise; the bus
    // refuses the reset, the stricter reading, and the pipe stays as it was.
    auto busy = [&](const Transfer& t) {
        return t.MovesData() && UrbRecordAt(t.record).pipe == target;
    };
    const auto& onPipe = pipes_[static_cast<size_t>(target)].transfers;
    if (std::any_of(onPipe.begin(), onPipe.end(), busy) ||
        std::any_of(cancelling_.begin(), cancelling_.end(), busy) ||
        std::any_of(detached_.begin(), detached_.end(), busy)) {
        MakeReady(transfer, STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_BUSY);
        return;
    }
    // Clearing the halt also clears the device's stall of the endpoint.
    Pipe& pipe = pipes_[static_cast<size_t>(target)];
    pipe.halted = false;
    pipe.stallNext = false;
    MakeReady(transfer, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    if (fault && fault->kind == UrbFault::Kind::Hold)
        transfer.state = Transfer::State::Held;
}

void ModemPdo::StartMover(Transfer& transfer, UsbPipe target) {
    Pipe& pipe = pipes_[static_cast<size_t>(target)];
    std::optional<UrbFault> fault = TakeFault(UrbRecordAt(transfer.record).function, target, true);
    if (fault && fault->kind == UrbFault::Kind::Fail) {
        MakeReady(transfer, fault->status, fault->usbdStatus);
    } else if (pipe.halted) {
        MakeReady(transfer, STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED);
    } else if ((fault && fault->kind == UrbFault::Kind::Stall) || pipe.stallNext) {
        // The default pipe stalls one request and takes the next setup packet again.
        MakeReady(transfer, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
        pipe.stallNext = false;
        if (target != UsbPipe::Control)
            Halt(target);
    } else if (fault && fault->kind == UrbFault::Kind::Hold) {
        transfer.state = Transfer::State::Held;
    } else if (target == UsbPipe::BulkOut && nakBulkOut_) {
        transfer.state = Transfer::State::Nakked;
    } else {
        transfer.state = transfer.kind == Transfer::Kind::In ? Transfer::State::AwaitingData
                                                             : Transfer::State::Ready;
    }
}

bool ModemPdo::PortSuspended() const {
    return devicePower_ != PowerDeviceD0;
}

void ModemPdo::ResumePort() {
    for (size_t i = 0; i < pipes_.size(); ++i) {
        for (Transfer& transfer : pipes_[i].transfers) {
            if (transfer.state != Transfer::State::AwaitingPower)
                continue;
            if (transfer.kind != Transfer::Kind::Reset) {
                StartMover(transfer, static_cast<UsbPipe>(i));
                continue;
            }
            // Resets wait on the default pipe; they act on the pipe they name.
            UsbPipe target = *UrbRecordAt(transfer.record).pipe;
            StartReset(transfer, target, TakeFault(URB_FUNCTION_RESET_PIPE, target, false));
        }
        TakePackets(static_cast<UsbPipe>(i));
        Kick(static_cast<UsbPipe>(i));
    }
}

size_t ModemPdo::PowerHeldCount() const {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    size_t held = 0;
    for (const Pipe& pipe : pipes_) {
        held += static_cast<size_t>(
            std::count_if(pipe.transfers.begin(), pipe.transfers.end(), [](const Transfer& t) {
                return t.state == Transfer::State::AwaitingPower;
            }));
    }
    return held;
}

NTSTATUS ModemPdo::Refuse(PIRP irp, PURB urb, UrbRecord record, NTSTATUS status,
                          USBD_STATUS usbdStatus) {
    // The USB stack refuses a URB it cannot take in the submitter's call.
    record.status = status;
    record.usbdStatus = usbdStatus;
    record.completeTime = record.submitTime;
    {
        std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
        record.submitSequence = ++sequence_;
        record.completeSequence = ++sequence_;
        UrbCompleted(AddUrbRecord(std::move(record)));
        changed_.notify_all();
    }
    urb->UrbHeader.Status = usbdStatus;
    return CompleteUrbIrp(irp, status);
}

NTSTATUS ModemPdo::Queue(PIRP irp, Transfer transfer, UsbPipe queue,
                         std::unique_lock<kx::UnscheduledMutex>& lock) {
    Pipe& pipe = pipes_[static_cast<size_t>(queue)];
    pipe.transfers.push_back(std::move(transfer));
    TakePackets(queue);
    changed_.notify_all();

    if (options_.synchronousCompletion && pipe.transfers.size() == 1 && !pipe.pumping &&
        pipe.transfers.front().state == Transfer::State::Ready) {
        Transfer done = std::move(pipe.transfers.front());
        pipe.transfers.pop_front();
        ++busy_;
        lock.unlock();
        return Finish(std::move(done));
    }

    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelRoutine);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        // Cancelled before the routine was in place: nobody else will complete it.
        auto it = std::find_if(pipe.transfers.begin(), pipe.transfers.end(),
                               [irp](const Transfer& t) { return t.irp == irp; });
        Transfer cancelled = std::move(*it);
        pipe.transfers.erase(it);
        MakeReady(cancelled, STATUS_CANCELLED, USBD_STATUS_CANCELED);
        ++busy_;
        Kick(queue);
        lock.unlock();
        Finish(std::move(cancelled));
        return STATUS_PENDING;
    }
    Kick(queue);
    return STATUS_PENDING;
}

// ---- Completion -------------------------------------------------------------------------

NTSTATUS ModemPdo::Finish(Transfer transfer) {
    NTSTATUS status = transfer.status;
    USBD_STATUS usbdStatus = transfer.usbdStatus;
    std::shared_ptr<UsbFunction> function;
    {
        std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
        function = function_;
    }

    std::vector<uint8_t> delivered; // IN bytes to put in the transfer buffer
    bool in = false;
    switch (transfer.kind) {
    case Transfer::Kind::In: {
        auto& request = transfer.urb->UrbBulkOrInterruptTransfer;
        delivered = std::move(transfer.data);
        in = true;
        if (!delivered.empty())
            std::memcpy(request.TransferBuffer, delivered.data(), delivered.size());
        request.TransferBufferLength = static_cast<ULONG>(delivered.size());
        break;
    }
    case Transfer::Kind::Out: {
        auto& request = transfer.urb->UrbBulkOrInterruptTransfer;
        if (transfer.failed) {
            request.TransferBufferLength = 0;
        } else if (function) {
            function->OnBulkOut(transfer.data);
        } else {
            std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
            bulkOut_.insert(bulkOut_.end(), transfer.data.begin(), transfer.data.end());
        }
        break;
    }
    case Transfer::Kind::Control: {
        auto& request = transfer.urb->UrbControlVendorClassRequest;
        bool deviceToHost = (transfer.setup->bmRequestType & 0x80) != 0;
        if (!transfer.failed) {
            std::vector<uint8_t> data = deviceToHost ? std::vector<uint8_t>() : transfer.data;
            Handshake handshake =
                function ? function->OnControlRequest(*transfer.setup, data) : Handshake::Ack;
            if (handshake == Handshake::Stall) {
                status = STATUS_UNSUCCESSFUL;
                usbdStatus = USBD_STATUS_STALL_PID;
            } else if (deviceToHost) {
                data.resize(std::min<size_t>(data.size(), transfer.length));
                delivered = std::move(data);
            }
        }
        if (deviceToHost) {
            in = true;
            if (!delivered.empty())
                std::memcpy(request.TransferBuffer, delivered.data(), delivered.size());
            request.TransferBufferLength = static_cast<ULONG>(delivered.size());
        } else if (!NT_SUCCESS(status)) {
            request.TransferBufferLength = 0;
        }
        break;
    }
    case Transfer::Kind::Abort:
    case Transfer::Kind::Reset:
        break;
    }

    transfer.urb->UrbHeader.Status = usbdStatus;
    LONGLONG now = kx::CurrentTime();
    {
        std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
        UrbRecord& record = UrbRecordAt(transfer.record);
        record.completeTime = now;
        record.status = status;
        record.usbdStatus = usbdStatus;
        record.completeSequence = ++sequence_;
        if (in)
            record.data = std::move(delivered);
        UrbCompleted(transfer.record);
    }
    CompleteUrbIrp(transfer.irp, status);
    {
        // Notified under the lock: once busy_ is 0, Shutdown may free this object.
        std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
        if (transfer.kind == Transfer::Kind::Abort)
            AbortCompleted(transfer.record);
        --busy_;
        changed_.notify_all();
    }
    return status;
}

// Completes transfers from the head of pipes' queues while they are ready, so a
// pipe's transfers complete in the order they were submitted, as on the bus. A
// pipe that a completion makes ready (the device answers the OUT data just
// completed, the driver sends the next transfer) is taken on here, its transfers
// before the next one of the pipe that made it ready.
void ModemPdo::Pump(UsbPipe queue) {
    CompletionDpc dpc;
    dpc.pdo = this;
    CompletionDpc* outer = std::exchange(completionDpc, &dpc);
    std::vector<UsbPipe> pumping{queue};
    while (!pumping.empty()) {
        if (!CompleteHead(pumping.back()))
            pumping.pop_back();
        pumping.insert(pumping.end(), dpc.madeReady.begin(), dpc.madeReady.end());
        dpc.madeReady.clear();
    }
    completionDpc = outer;
}

bool ModemPdo::CompleteHead(UsbPipe queue) {
    Pipe& pipe = pipes_[static_cast<size_t>(queue)];
    Transfer transfer;
    {
        std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
        if (pipe.transfers.empty() || pipe.transfers.front().state != Transfer::State::Ready) {
            pipe.pumping = false;
            --busy_;
            changed_.notify_all();
            return false;
        }
        transfer = std::move(pipe.transfers.front());
        pipe.transfers.pop_front();
        if (IoSetCancelRoutine(transfer.irp, nullptr) == nullptr) {
            // Its cancel routine is running or about to run and completes it.
            cancelling_.push_back(std::move(transfer));
            return true;
        }
        ++busy_;
    }
    Finish(std::move(transfer));
    return true;
}

void NTAPI ModemPdo::CancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    FromDevice(DeviceObject)->CancelTransfer(Irp);
}

void ModemPdo::CancelTransfer(PIRP irp) {
    Transfer transfer;
    {
        std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
        auto owns = [irp](const Transfer& t) { return t.irp == irp; };
        auto it = std::find_if(cancelling_.begin(), cancelling_.end(), owns);
        if (it != cancelling_.end()) {
            transfer = std::move(*it);
            cancelling_.erase(it);
        } else {
            for (size_t i = 0; i < pipes_.size(); ++i) {
                auto& transfers = pipes_[i].transfers;
                auto found = std::find_if(transfers.begin(), transfers.end(), owns);
                if (found == transfers.end())
                    continue;
                transfer = std::move(*found);
                transfers.erase(found);
                // Transfers behind it may now be at the head.
                Kick(static_cast<UsbPipe>(i));
                break;
            }
        }
        // A transfer that has already finished on the bus completes as it finished;
        // one still waiting ends cancelled, with whatever IN data it had received.
        if (!transfer.Ended())
            MakeReady(transfer, STATUS_CANCELLED, USBD_STATUS_CANCELED);
        transfer.state = Transfer::State::Ready;
        // The host controller completes it from its DPC once the endpoint has let
        // go of it, never inside IoCancelIrp: the canceller must not count on the
        // IRP being complete when the call returns (IoCancelIrp routine (WDK): it
        // only sets the cancel bit and calls the cancel routine).
        Detach(std::move(transfer));
    }
}

void ModemPdo::Detach(Transfer transfer) {
    bool ready = transfer.state == Transfer::State::Ready;
    PIRP irp = transfer.irp;
    detached_.push_back(std::move(transfer));
    if (ready) {
        ++busy_;
        kx::QueueAtDispatch([this, irp] { CompleteDetached(irp); });
    }
}

// Held aborts that answer ahead of their pipe go on.
void ModemPdo::ReleaseDetached() {
    for (Transfer& transfer : detached_) {
        if (transfer.state != Transfer::State::Held)
            continue;
        transfer.state = Transfer::State::Ready;
        ++busy_;
        kx::QueueAtDispatch([this, irp = transfer.irp] { CompleteDetached(irp); });
    }
}

void ModemPdo::CompleteDetached(PIRP irp) {
    Transfer transfer;
    {
        std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
        auto it = std::find_if(detached_.begin(), detached_.end(),
                               [irp](const Transfer& t) { return t.irp == irp; });
        transfer = std::move(*it);
        detached_.erase(it);
    }
    Finish(std::move(transfer));
}

// ---- Helpers under the lock -------------------------------------------------------------

std::optional<UsbPipe> ModemPdo::PipeFromHandle(USBD_PIPE_HANDLE handle) const {
    for (UsbPipe pipe : {UsbPipe::BulkIn, UsbPipe::BulkOut, UsbPipe::InterruptIn}) {
        if (handle != nullptr && handle == PipeHandle(pipe))
            return pipe;
    }
    return std::nullopt;
}

std::optional<UrbFault> ModemPdo::TakeFault(USHORT function, UsbPipe pipe, bool movesData) {
    auto it = std::find_if(faults_.begin(), faults_.end(), [&](const UrbFault& f) {
        if (f.match.function && *f.match.function != function)
            return false;
        if (f.match.pipe && *f.match.pipe != pipe)
            return false;
        return movesData || f.kind != UrbFault::Kind::Stall;
    });
    if (it == faults_.end())
        return std::nullopt;
    UrbFault fault = *it;
    faults_.erase(it);
    return fault;
}

void ModemPdo::MakeReady(Transfer& transfer, NTSTATUS status, USBD_STATUS usbdStatus) {
    transfer.state = Transfer::State::Ready;
    transfer.failed = !NT_SUCCESS(status);
    transfer.status = status;
    transfer.usbdStatus = usbdStatus;
}

// The endpoint halts: what was waiting on it fails, the oldest with the stall.
void ModemPdo::Halt(UsbPipe which) {
    Pipe& pipe = pipes_[static_cast<size_t>(which)];
    pipe.halted = true;
    for (Transfer& transfer : pipe.transfers) {
        if (transfer.MovesData() && !transfer.Ended())
            MakeReady(transfer, STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED);
    }
    Kick(which);
}

// Hands the packets the device has sent to the waiting IN transfers, oldest first.
// A transfer ends with a short packet or when its buffer is full; one that is held
// keeps everything behind it waiting. An IN transfer that ends any other way still
// returns the bytes it had received, as the host controller reports them.
void ModemPdo::TakePackets(UsbPipe which) {
    if (which == UsbPipe::Control || PipeDirection(which) != UsbDirection::In || PortSuspended())
        return;
    Pipe& pipe = pipes_[static_cast<size_t>(which)];
    size_t maxPacket = MaxPacketSize(which);
    for (Transfer& transfer : pipe.transfers) {
        if (transfer.state == Transfer::State::Ready || transfer.state == Transfer::State::Aborted)
            continue;
        if (transfer.state == Transfer::State::Held ||
            transfer.state == Transfer::State::AwaitingPower)
            break;
        while (transfer.state == Transfer::State::AwaitingData && !pipe.packets.empty()) {
            std::vector<uint8_t> packet = std::move(pipe.packets.front());
            pipe.packets.pop_front();
            if (packet.size() > transfer.length - transfer.data.size()) {
                // The device sent more than the transfer has room for.
                MakeReady(transfer, STATUS_UNSUCCESSFUL, USBD_STATUS_BABBLE_DETECTED);
                Halt(which);
                return;
            }
            transfer.data.insert(transfer.data.end(), packet.begin(), packet.end());
            bool full = transfer.data.size() == transfer.length;
            if (packet.size() < maxPacket && !full && !transfer.shortTransferOk) {
                // "If the USBD_SHORT_TRANSFER_OK flag is not set, the host controller
                // completes the transfer with an error", and on UHCI and OHCI "a
                // short packet transfer halts the endpoint" until the client resets
                // it (_URB_BULK_OR_INTERRUPT_TRANSFER structure (WDK)).
                MakeReady(transfer, STATUS_UNSUCCESSFUL, USBD_STATUS_DATA_UNDERRUN);
                Halt(which);
                return;
            }
            if (packet.size() < maxPacket || full)
                MakeReady(transfer, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
        }
        if (transfer.state != Transfer::State::Ready)
            break;
    }
}

// An aborted transfer keeps its outcome and no longer waits for its abort or a
// release: the controller lets go of everything.
void ModemPdo::FailOutstanding(NTSTATUS status, USBD_STATUS usbdStatus) {
    for (size_t i = 0; i < pipes_.size(); ++i) {
        for (Transfer& transfer : pipes_[i].transfers) {
            if (!transfer.Ended())
                MakeReady(transfer, status, usbdStatus);
            transfer.state = Transfer::State::Ready;
        }
        Kick(static_cast<UsbPipe>(i));
    }
    ReleaseDetached();
}

void ModemPdo::Kick(UsbPipe queue) {
    Pipe& pipe = pipes_[static_cast<size_t>(queue)];
    if (pipe.pumping || pipe.transfers.empty() ||
        pipe.transfers.front().state != Transfer::State::Ready)
        return;
    pipe.pumping = true;
    ++busy_;
    if (completionDpc != nullptr && completionDpc->pdo == this) {
        completionDpc->madeReady.push_back(queue);
        return;
    }
    kx::QueueAtDispatch([this, queue] { Pump(queue); });
}

// ---- The device side --------------------------------------------------------------------

void ModemPdo::Send(UsbPipe which, const std::vector<uint8_t>& bytes, bool endWithShortPacket) {
    size_t maxPacket = MaxPacketSize(which);
    {
        std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
        if (unplugged_)
            return;
        Pipe& pipe = pipes_[static_cast<size_t>(which)];
        for (size_t offset = 0; offset < bytes.size(); offset += maxPacket) {
            size_t n = std::min(maxPacket, bytes.size() - offset);
            pipe.packets.emplace_back(bytes.begin() + static_cast<ptrdiff_t>(offset),
                                      bytes.begin() + static_cast<ptrdiff_t>(offset + n));
        }
        if (bytes.empty() || (endWithShortPacket && bytes.size() % maxPacket == 0))
            pipe.packets.emplace_back();
        TakePackets(which);
        Kick(which);
        changed_.notify_all();
    }
}

void ModemPdo::SendBulkIn(const std::vector<uint8_t>& bytes) {
    Send(UsbPipe::BulkIn, bytes, true);
}

void ModemPdo::SendInterrupt(const std::vector<uint8_t>& bytes) {
    Send(UsbPipe::InterruptIn, bytes, false);
}

void ModemPdo::Attach(std::shared_ptr<UsbFunction> function) {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    function_ = std::move(function);
}

std::vector<uint8_t> ModemPdo::TakeBulkOut() {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    return std::exchange(bulkOut_, {});
}

size_t ModemPdo::QueuedInBytes(UsbPipe pipe) const {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    size_t total = 0;
    for (const auto& packet : pipes_[static_cast<size_t>(pipe)].packets)
        total += packet.size();
    return total;
}

void ModemPdo::StallEndpoint(UsbPipe which) {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    Pipe& pipe = pipes_[static_cast<size_t>(which)];
    if (which == UsbPipe::Control) {
        pipe.stallNext = true;
        return;
    }
    auto waiting = std::find_if(pipe.transfers.begin(), pipe.transfers.end(),
                                [](const Transfer& t) { return !t.Ended(); });
    if (waiting == pipe.transfers.end()) {
        pipe.stallNext = true;
        return;
    }
    MakeReady(*waiting, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    Halt(which);
}

void ModemPdo::Unplug() {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    unplugged_ = true;
    for (Pipe& pipe : pipes_)
        pipe.packets.clear();
    FailOutstanding(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
}

bool ModemPdo::Unplugged() const {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    return unplugged_;
}

// ---- Faults and inspection --------------------------------------------------------------

void ModemPdo::InjectFault(const UrbFault& fault) {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    faults_.push_back(fault);
}

size_t ModemPdo::HeldCount() const {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    size_t held = 0;
    for (const Pipe& pipe : pipes_) {
        held += static_cast<size_t>(
            std::count_if(pipe.transfers.begin(), pipe.transfers.end(),
                          [](const Transfer& t) { return t.state == Transfer::State::Held; }));
    }
    held += static_cast<size_t>(
        std::count_if(detached_.begin(), detached_.end(),
                      [](const Transfer& t) { return t.state == Transfer::State::Held; }));
    return held;
}

void ModemPdo::ReleaseHeld() {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    for (size_t i = 0; i < pipes_.size(); ++i) {
        for (Transfer& transfer : pipes_[i].transfers) {
            if (transfer.state != Transfer::State::Held)
                continue;
            transfer.state = transfer.kind == Transfer::Kind::In ? Transfer::State::AwaitingData
                                                                 : Transfer::State::Ready;
        }
        TakePackets(static_cast<UsbPipe>(i));
        Kick(static_cast<UsbPipe>(i));
    }
    ReleaseDetached();
}

void ModemPdo::NakBulkOut(bool nak) {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    nakBulkOut_ = nak;
    if (nak)
        return;
    for (Transfer& transfer : pipes_[static_cast<size_t>(UsbPipe::BulkOut)].transfers) {
        if (transfer.state == Transfer::State::Nakked)
            transfer.state = Transfer::State::Ready;
    }
    Kick(UsbPipe::BulkOut);
}

void ModemPdo::PauseNextSubmission(UsbPipe pipe) {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    pauseAt_ = pipe;
}

void ModemPdo::WaitForPausedSubmission() const {
    std::unique_lock<kx::UnscheduledMutex> lock(mutex_);
    kx::BlockUntil(
        lock, changed_, [&] { return paused_; }, "a paused submission");
}

void ModemPdo::ResumeSubmission() {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    pauseAt_.reset();
    changed_.notify_all();
}

void ModemPdo::WaitAtTheDoor(PURB urb) {
    if (urb->UrbHeader.Function != URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
        return;
    std::unique_lock<kx::UnscheduledMutex> lock(mutex_);
    if (!pauseAt_ || PipeFromHandle(urb->UrbBulkOrInterruptTransfer.PipeHandle) != pauseAt_)
        return;
    paused_ = true;
    changed_.notify_all();
    kx::BlockUntil(
        lock, changed_, [&] { return !pauseAt_.has_value(); }, "the test to resume the submission");
    paused_ = false;
}

std::vector<UrbRecord> ModemPdo::UrbRecords() const {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    return {urbRecords_.begin(), urbRecords_.end()};
}

uint64_t ModemPdo::UrbsSubmitted() const {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    return urbRecordBase_ + urbRecords_.size();
}

uint64_t ModemPdo::UrbsCompleted() const {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    return urbsCompleted_;
}

size_t ModemPdo::AddUrbRecord(UrbRecord record) {
    size_t index = urbRecordBase_ + urbRecords_.size();
    urbRecords_.push_back(std::move(record));
    if (options_.urbObserver)
        options_.urbObserver(urbRecords_.back(), false);
    // The newest record stays, whatever the window: its completion may follow.
    while (urbRecords_.size() > std::max<size_t>(options_.recordWindow, 1)) {
        // An outstanding URB's record is still written at its completion.
        if (!urbRecords_.front().Completed())
            urbRecordsAside_.emplace(urbRecordBase_, std::move(urbRecords_.front()));
        urbRecords_.pop_front();
        ++urbRecordBase_;
    }
    return index;
}

UrbRecord& ModemPdo::UrbRecordAt(size_t index) {
    if (index >= urbRecordBase_)
        return urbRecords_[index - urbRecordBase_];
    return urbRecordsAside_.at(index);
}

void ModemPdo::UrbCompleted(size_t index) {
    ++urbsCompleted_;
    if (options_.urbObserver)
        options_.urbObserver(UrbRecordAt(index), true);
    if (index < urbRecordBase_)
        urbRecordsAside_.erase(index);
}

size_t ModemPdo::OutstandingTransfers(UsbPipe pipe) const {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    return pipes_[static_cast<size_t>(pipe)].transfers.size();
}

void ModemPdo::WaitForOutstanding(UsbPipe pipe, size_t count) const {
    std::unique_lock<kx::UnscheduledMutex> lock(mutex_);
    kx::BlockUntil(
        lock, changed_, [&] { return pipes_[static_cast<size_t>(pipe)].transfers.size() >= count; },
        "outstanding transfers");
}

bool ModemPdo::Halted(UsbPipe pipe) const {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    return pipes_[static_cast<size_t>(pipe)].halted;
}

// ---- Teardown ---------------------------------------------------------------------------

void ModemPdo::Shutdown() {
    std::unique_lock<kx::UnscheduledMutex> lock(mutex_);
    removed_ = true;
    FailOutstanding(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    kx::BlockUntil(
        lock, changed_, [&] { return busy_ == 0 && cancelling_.empty() && detached_.empty(); },
        "the bus's completions to end");
}

} // namespace sim
