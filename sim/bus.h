// The parent bus driver of the simulated world: it creates the modem function's
// physical device object and serves what the function driver sends down to it.
#pragma once

#include "usb.h"

#include <kx/host.h>

#include <array>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// What the PDO saw of one request.
struct RecordedIrp {
    UCHAR major = 0;
    UCHAR minor = 0;
    ULONG ioControlCode = 0;
    USHORT urbFunction = 0;
    USBD_PIPE_HANDLE pipe = nullptr;
    KIRQL irql = PASSIVE_LEVEL;
    // IoStatus.Status and Information as the request arrived.
    NTSTATUS statusOnEntry = 0;
    ULONG_PTR informationOnEntry = 0;
    // PnP queries: the IdType, DeviceTextType, relation Type or usage Type asked
    // for, and the stack location's file object (a target relation's).
    ULONG pnpType = 0;
    PFILE_OBJECT fileObject = nullptr;
    // Power requests: Parameters.Power of a set or query (IRP_MN_WAIT_WAKE: the
    // system state in powerState.SystemState).
    POWER_STATE_TYPE powerType = SystemPowerState;
    POWER_STATE powerState{};
    POWER_ACTION shutdownType = PowerActionNone;
    // Position in the one order of the PDO's arrivals, URB submissions and URB
    // completions (UrbRecord::submitSequence and completeSequence).
    uint64_t sequence = 0;
};

// A scripted answer for the next request that reaches the PDO.
struct Response {
    enum class Kind {
        Complete, // complete in the dispatch routine, on the caller's stack
        Pend,     // mark pending, return STATUS_PENDING, complete when the test says
    };
    Kind kind = Kind::Complete;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    std::optional<UCHAR> major; // only for requests of this major function,
    std::optional<UCHAR> minor; // of this minor function,
    // and, for power requests, of this Parameters.Power.Type. A power set or query
    // answered by script still ends as the bus ends it: PoStartNextPowerIrp, and a
    // successful set changes the PDO's power state.
    std::optional<POWER_STATE_TYPE> powerType;

    static Response Pend() {
        Response r;
        r.kind = Kind::Pend;
        return r;
    }
    static Response Complete(NTSTATUS status, ULONG_PTR information = 0) {
        Response r;
        r.status = status;
        r.information = information;
        return r;
    }
    // Narrows the answer to one kind of power request.
    Response& ForPower(UCHAR minorFunction, POWER_STATE_TYPE type) {
        major = IRP_MJ_POWER;
        minor = minorFunction;
        powerType = type;
        return *this;
    }
    bool Matches(const RecordedIrp& irp) const {
        return (!major || *major == irp.major) && (!minor || *minor == irp.minor) &&
               (!powerType || (irp.major == IRP_MJ_POWER && *powerType == irp.powerType));
    }
};

// What the hub does with URBs for the function while its PDO is in a low-power
// state (D1 to D3: the port is suspended, and a suspended device answers nothing).
// Every URB that needs the device is affected: bulk and interrupt transfers,
// class and vendor requests on the default pipe, and RESET_PIPE (it clears the
// endpoint's halt with a request to the device). ABORT_PIPE acts on the host
// controller's side of the pipe and completes at once in either mode. Transfers
// already outstanding when the port is suspended stay where they are (the
// host controller stops scheduling them) and go on when the PDO is set to D0.
enum class LowPowerUrbs {
    // Such URBs wait until the PDO is set to D0, then go on in submission order;
    // nothing behind them on their pipe moves meanwhile.
    HoldUntilD0,
    // Such URBs fail at once, in the submitter's call, as the USB stack fails a
    // transaction the device does not answer: USBD_STATUS_DEV_NOT_RESPONDING ("the
    // device is not responding" in the USBD_STATUS documentation) with the IRP
    // failed STATUS_UNSUCCESSFUL, the status the stack gives the other device
    // errors (a stall, babble).
    FailAtOnce,
};

// In which order an ABORT_PIPE and the transfers it ends complete. The abort takes
// every outstanding transfer of the pipe off the endpoint at once either way; only
// the completions' order differs. Windows gives no order: "The abort request might
// complete before all outstanding requests have completed" (_URB_HEADER structure,
// URB_FUNCTION_ABORT_PIPE (WDK)), so a client must not take the abort's completion
// for the end of its transfers.
enum class AbortOrder {
    // The abort completes first, from a DPC of its own (in the submitter's call with
    // PdoOptions::synchronousCompletion), whatever waits on the default pipe; the
    // transfers it ended complete after it, from the controller's completion DPC,
    // or only at ReleaseAbortedTransfers after HoldAbortedTransfers.
    AbortFirst,
    // The transfers complete first, in pipe order, then the abort.
    TransfersFirst,
};

// The layout of the PDO's device extension in pointer-sized words. The function
// driver relies on the three pipe handles at words 3, 4 and 5.
struct PdoExtension {
    PVOID Signature;
    PDEVICE_OBJECT Self;
    PVOID State;
    USBD_PIPE_HANDLE BulkInPipe;
    USBD_PIPE_HANDLE BulkOutPipe;
    USBD_PIPE_HANDLE InterruptInPipe;
};

// How a PDO serves its function's pipes.
struct PdoOptions {
    // Complete a URB in its dispatch routine, on the submitter's stack, when its
    // outcome is known at submission (OUT data, a class request, IN data already
    // waiting). Otherwise every URB completes from a DPC thread at DISPATCH_LEVEL.
    bool synchronousCompletion = false;
    USHORT bulkMaxPacket = 64;
    USHORT interruptMaxPacket = 16;
    // The pipes' MaximumTransferSize as the parent configured them; a larger bulk or
    // interrupt transfer is refused.
    ULONG maximumTransferSize = 4096;
    LowPowerUrbs lowPowerUrbs = LowPowerUrbs::HoldUntilD0;
    // How the bus names the function to Plug and Play: IRP_MN_QUERY_ID answers the
    // device ID and the instance ID from the PDO's instance path (<device ID>\<instance
    // ID>), the hardware IDs from this list (the device ID alone when it is empty) and
    // the compatible IDs from the next; IRP_MN_QUERY_DEVICE_TEXT the description and
    // the location.
    std::vector<std::u16string> hardwareIds;
    std::vector<std::u16string> compatibleIds = {u"USB\\Class_02&SubClass_02&Prot_01",
                                                 u"USB\\Class_02&SubClass_02", u"USB\\Class_02"};
    std::u16string description = u"USB modem";
    std::u16string location = u"Port_#0001.Hub_#0001";
    AbortOrder abortOrder = AbortOrder::AbortFirst;
    // The device state IRP_MN_QUERY_CAPABILITIES maps each sleep state (S1 to S5) to.
    DEVICE_POWER_STATE sleepDeviceState = PowerDeviceD3;
    // DO_POWER_PAGABLE on the PDO. The bus takes power requests at DISPATCH_LEVEL
    // and clears it, as a USB bus driver may; a driver above must then clear it too.
    bool powerPagable = false;
    // How many of the most recent URB records (and, separately, request records)
    // the PDO keeps for UrbRecords() and Records(); older ones are dropped, so a
    // long session runs in flat memory. Counters cover everything.
    size_t recordWindow = 4096;
    // Called with each URB's record when the URB reaches the bus (completion
    // false) and again when it completes (completion true; a URB refused at once is
    // already completed at the first call), in the order of the sequence numbers,
    // with the bus's lock held: it must not call the PDO. For streaming a capture
    // or counting the traffic of a long session.
    std::function<void(const UrbRecord& record, bool completion)> urbObserver;
};

// The modem function's physical device object. Besides Plug and Play it serves URBs
// as the USB stack below a function driver does: IN transfers wait per pipe until
// the device has data, OUT transfers and class requests reach the attached device
// (or are kept for the test), abort and reset act on a pipe, and every transfer can
// be cancelled. Completions come from DPC threads at DISPATCH_LEVEL, in submission
// order per pipe. Any thread may enter it at any IRQL up to DISPATCH_LEVEL.
//
// Power, as a bus driver answers it: set and query power requests for system and
// device states succeed; the bus calls PoStartNextPowerIrp for each, records a set
// device state before completing, and announces it with PoSetPowerState (a state
// below D0 when the request arrives, D0 once it is entered). While
// the PDO is in D1 to D3 its port is suspended and URBs follow
// PdoOptions::lowPowerUrbs. When the system set-power request for
// PowerSystemSleeping3 or PowerSystemHibernate reaches the PDO (the last of its
// stack to hear of it), the host controller is about to lose power: every transfer
// still outstanding ends with STATUS_CANCELLED and USBD_STATUS_CANCELED, whatever
// the PDO's device state (the function is still there; its transfers are aborted).
// A lighter sleep (S1, S2) keeps the controller powered, and the transfers stay.
// IRP_MN_WAIT_WAKE fails with STATUS_INVALID_DEVICE_STATE (the capabilities claim
// no wake); other power requests keep the status they came with.
//
// Plug and Play, as a bus driver answers for its child: every state change
// succeeds; IRP_MN_QUERY_ID, IRP_MN_QUERY_DEVICE_TEXT (PdoOptions) and
// IRP_MN_QUERY_BUS_INFORMATION (the USB bus type, PNPBus, bus 0) answer from paged
// pool; IRP_MN_QUERY_RESOURCE_REQUIREMENTS and IRP_MN_QUERY_RESOURCES succeed with
// no list (a USB function needs no hardware resources); the target device
// relation is the PDO, referenced; IRP_MN_DEVICE_USAGE_NOTIFICATION fails with
// STATUS_UNSUCCESSFUL (no paging, hibernation or dump file on a modem);
// IRP_MN_EJECT succeeds. Everything else, the other relations, IRP_MN_QUERY_INTERFACE
// and unknown minor codes included, completes with the status and information it
// came with.
//
// Cancelling a transfer (IoCancelIrp) takes it off its pipe at once; it completes
// later, from the controller's completion DPC, never inside the cancel call.
//
// RESET_PIPE (URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL) of a pipe with
// transfers still outstanding on it fails with STATUS_UNSUCCESSFUL and
// USBD_STATUS_ERROR_BUSY and leaves the pipe as it was (halted or not): a client
// must abort the pipe and let its transfers complete before resetting it.
//
// An IN transfer without USBD_SHORT_TRANSFER_OK that ends with a short packet
// fails with STATUS_UNSUCCESSFUL and USBD_STATUS_DATA_UNDERRUN (the bytes it took
// are returned) and halts the endpoint until RESET_PIPE, as the UHCI and OHCI
// controllers do.
//
// A URB submitted while the same URB is outstanding is a verifier finding
// (kx::Rule::UrbInFlightTwice); that submission fails with STATUS_INVALID_PARAMETER,
// is not recorded and leaves the URB untouched.
class ModemPdo {
  public:
    explicit ModemPdo(const PdoOptions& options = {});
    ~ModemPdo();
    ModemPdo(const ModemPdo&) = delete;
    ModemPdo& operator=(const ModemPdo&) = delete;

    PDEVICE_OBJECT Device() const { return device_; }
    USBD_PIPE_HANDLE BulkInPipe() const;
    USBD_PIPE_HANDLE BulkOutPipe() const;
    USBD_PIPE_HANDLE InterruptInPipe() const;
    // The handle of a data pipe; null for the default pipe, which the parent keeps.
    USBD_PIPE_HANDLE PipeHandle(UsbPipe pipe) const;
    USHORT MaxPacketSize(UsbPipe pipe) const;

    // ---- Scripted answers to any request (they take precedence over serving) ----
    void ScriptNext(const Response& response);
    // The window of the most recent requests (PdoOptions::recordWindow).
    std::vector<RecordedIrp> Records() const;
    size_t PendingCount() const;
    // Completes the oldest pended request later, from a DPC thread at DISPATCH_LEVEL.
    void CompletePending(NTSTATUS status, ULONG_PTR information = 0);
    // Blocks until at least `count` requests are pended by script.
    void WaitForPending(size_t count) const;

    // ---- Power ----
    DEVICE_POWER_STATE DevicePower() const;
    // The last system state set through the PDO's stack.
    SYSTEM_POWER_STATE SystemPower() const;
    // URBs waiting for the port to be resumed (LowPowerUrbs::HoldUntilD0).
    size_t PowerHeldCount() const;

    // ---- The device side ----
    // Attaches the device model (null detaches it). Without one, class requests are
    // acknowledged with no data and bulk-out bytes are kept for TakeBulkOut.
    void Attach(std::shared_ptr<UsbFunction> function);
    // The device sends data on bulk-in: packets of the maximum size and a final short
    // packet, a zero-length one when the data fills its last packet (so the data ends
    // the transfer that takes it). No bytes send one zero-length packet.
    void SendBulkIn(const std::vector<uint8_t>& bytes);
    // The device sends one notification on interrupt-in: packets of the maximum size,
    // the last one short or full; no zero-length packet unless there are no bytes.
    void SendInterrupt(const std::vector<uint8_t>& bytes);
    // Bulk-out bytes that reached no device, in order; taking them empties the store.
    std::vector<uint8_t> TakeBulkOut();
    // Bytes the device has sent on an IN pipe that no transfer has taken yet.
    size_t QueuedInBytes(UsbPipe pipe) const;
    // The device NAKs bulk-out while its buffer is full: OUT transfers that reach
    // the bus meanwhile stay in the host controller (cancellable, nothing behind
    // them moves) and go on, in order, once the device takes data again.
    void NakBulkOut(bool nak);
    // The device stalls a bulk or interrupt endpoint: the oldest outstanding transfer
    // fails with USBD_STATUS_STALL_PID (the next one to come, if none is outstanding)
    // and the pipe is halted until RESET_PIPE.
    void StallEndpoint(UsbPipe pipe);
    // The device is pulled out: every outstanding transfer fails, and so does every
    // later URB, at once, with STATUS_DEVICE_NOT_CONNECTED and USBD_STATUS_DEVICE_GONE.
    void Unplug();
    bool Unplugged() const;

    // ---- Faults ----
    void InjectFault(const UrbFault& fault);
    // Transfers held by a Hold fault, and letting them go on.
    size_t HeldCount() const;
    void ReleaseHeld();
    // From now on the transfers an abort ends (AbortOrder::AbortFirst) wait after the
    // abort has completed until ReleaseAbortedTransfers: the window in which a client
    // has its abort back and its transfers still outstanding.
    void HoldAbortedTransfers();
    void ReleaseAbortedTransfers();
    // The next bulk or interrupt transfer submitted on the pipe stops at the bus's
    // door, before the bus has seen it, until ResumeSubmission: the submitter's call
    // is still on its way down the stack (as behind a filter or a busy controller).
    // The submitting thread blocks there, whatever its IRQL.
    void PauseNextSubmission(UsbPipe pipe);
    void WaitForPausedSubmission() const;
    void ResumeSubmission();

    // ---- What happened ----
    // The window of the most recent URBs (PdoOptions::recordWindow), in submission order.
    std::vector<UrbRecord> UrbRecords() const;
    // Every URB submitted so far, and those of them completed (refused ones too).
    uint64_t UrbsSubmitted() const;
    uint64_t UrbsCompleted() const;
    // Accepted URBs on a pipe's queue that have not completed (a reset waits on the
    // default pipe; an abort on the pipe it acts on with AbortOrder::TransfersFirst,
    // on the default pipe otherwise).
    size_t OutstandingTransfers(UsbPipe pipe) const;
    // Blocks until at least `count` URBs are outstanding on the pipe.
    void WaitForOutstanding(UsbPipe pipe, size_t count) const;
    bool Halted(UsbPipe pipe) const;

    // Dispatch entry of the bus driver for this PDO.
    NTSTATUS Dispatch(PIRP irp);
    static ModemPdo* FromDevice(PDEVICE_OBJECT device);

  private:
    friend class ParentBus;

    // One accepted URB on a pipe's queue.
    struct Transfer {
        enum class Kind { In, Out, Control, Abort, Reset };
        enum class State {
            Held,          // stuck until ReleaseHeld; nothing behind it moves
            AwaitingPower, // submitted while the port is suspended; nothing behind it moves
            AwaitingData,  // an IN transfer collecting packets
            Nakked,        // an OUT transfer the device NAKs; nothing behind it moves
            Ready,         // outcome known, completes when it reaches the queue's head
            Aborted,       // ended by an abort; Ready once that abort has completed
        };
        Kind kind = Kind::In;
        State state = State::Ready;
        PIRP irp = nullptr;
        PURB urb = nullptr;
        size_t record = 0;
        ULONG length = 0; // the transfer buffer's length
        bool shortTransferOk = false;
        // Aborted: the record of the abort whose completion lets it complete.
        std::optional<size_t> abortedBy;
        std::vector<uint8_t> data; // OUT: bytes to send; IN: bytes received so far
        std::optional<SetupPacket> setup;
        // For a Ready transfer: whether it goes through normally (IN data delivered,
        // OUT data and requests handed to the device), or fails with the statuses.
        bool failed = false;
        NTSTATUS status = STATUS_SUCCESS;
        USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS;

        bool MovesData() const { return kind != Kind::Abort && kind != Kind::Reset; }
        // Its outcome is known (an aborted transfer's before it may complete).
        bool Ended() const { return state == State::Ready || failed; }
    };

    struct Pipe {
        std::deque<Transfer> transfers;           // in submission order
        std::deque<std::vector<uint8_t>> packets; // IN pipes: sent, not yet taken
        bool halted = false;
        bool stallNext = false; // the device stalls the next transfer
        bool pumping = false;   // a completion DPC is completing from the head
    };

    NTSTATUS Serve(PIRP irp);
    NTSTATUS ServePnp(PIRP irp);
    NTSTATUS ServeQueryId(PIRP irp);
    PWCHAR PnpString(const std::vector<std::u16string>& parts, bool multi) const;
    NTSTATUS AnswerString(PIRP irp, const std::vector<std::u16string>& parts, bool multi);
    NTSTATUS ServePower(PIRP irp);
    // Ends a power request as a bus driver does: a successful set takes effect,
    // PoStartNextPowerIrp, completion with the status.
    NTSTATUS FinishPower(PIRP irp, NTSTATUS status, ULONG_PTR information);
    NTSTATUS SubmitUrb(PIRP irp);
    // Blocks a submission that PauseNextSubmission stops.
    void WaitAtTheDoor(PURB urb);
    NTSTATUS Refuse(PIRP irp, PURB urb, UrbRecord record, NTSTATUS status, USBD_STATUS usbdStatus);
    NTSTATUS Queue(PIRP irp, Transfer transfer, UsbPipe queue,
                   std::unique_lock<kx::UnscheduledMutex>& lock);
    // Completes a transfer that this thread owns; takes the lock only briefly.
    NTSTATUS Finish(Transfer transfer);
    void Pump(UsbPipe queue);
    // Completes the head transfer of the pipe if it is ready; false (the pipe's pump
    // ends) when it is not.
    bool CompleteHead(UsbPipe queue);
    static DRIVER_CANCEL CancelRoutine;
    void CancelTransfer(PIRP irp);
    // Takes a transfer off every queue; a ready one's completion DPC is queued.
    void Detach(Transfer transfer);
    void CompleteDetached(PIRP irp);
    void ReleaseDetached();

    // Helpers that run with mutex_ held.
    bool PortSuspended() const;
    // A transfer that moves data reaches the bus: its fault, the pipe's halt or
    // stall, or its wait for data.
    void StartMover(Transfer& transfer, UsbPipe pipe);
    // A reset reaches the device: the endpoint's halt and stall are cleared.
    void StartReset(Transfer& transfer, UsbPipe pipe, const std::optional<UrbFault>& fault);
    // The port is resumed: transfers that waited for it reach the bus.
    void ResumePort();
    std::optional<UsbPipe> PipeFromHandle(USBD_PIPE_HANDLE handle) const;
    std::optional<UrbFault> TakeFault(USHORT function, UsbPipe pipe, bool movesData);
    void MakeReady(Transfer& transfer, NTSTATUS status, USBD_STATUS usbdStatus);
    // An abort reaches the host controller: what is outstanding on the pipe ends.
    void StartAbort(Transfer& abort, UsbPipe pipe, const std::optional<UrbFault>& fault);
    // An abort has completed: the transfers it ended may complete (AbortFirst).
    void AbortCompleted(size_t abortRecord);
    void Halt(UsbPipe pipe);
    void TakePackets(UsbPipe pipe);
    void FailOutstanding(NTSTATUS status, USBD_STATUS usbdStatus);
    void Kick(UsbPipe queue);
    void Send(UsbPipe pipe, const std::vector<uint8_t>& bytes, bool endWithShortPacket);
    // The records of URBs: a window of the newest plus, kept aside, those that left
    // the window while outstanding. Indexes count every URB ever recorded.
    size_t AddUrbRecord(UrbRecord record);
    UrbRecord& UrbRecordAt(size_t index);
    // Its completion is written: the observer hears of it, and a record kept aside goes.
    void UrbCompleted(size_t index);
    // Fails every outstanding transfer and waits until the last completion is done,
    // so that the device object can go.
    void Shutdown();

    const PdoOptions options_;
    PDEVICE_OBJECT device_ = nullptr;
    mutable kx::UnscheduledMutex mutex_;
    mutable std::condition_variable_any changed_;
    std::deque<Response> script_;
    std::deque<RecordedIrp> records_;
    std::deque<PIRP> pended_;

    std::array<Pipe, UsbPipeCount> pipes_;
    // Transfers taken off a queue whose cancel routine had already been claimed:
    // the cancel routine completes them.
    std::vector<Transfer> cancelling_;
    // Transfers off every queue, each waiting for a completion DPC of its own:
    // cancelled transfers, and aborts that complete ahead of what they ended (a held
    // one waits for ReleaseHeld first).
    std::vector<Transfer> detached_;
    bool holdAborted_ = false;
    std::deque<UrbRecord> urbRecords_;
    size_t urbRecordBase_ = 0; // index of urbRecords_.front()
    std::map<size_t, UrbRecord> urbRecordsAside_;
    uint64_t urbsCompleted_ = 0;
    std::deque<UrbFault> faults_;
    // PauseNextSubmission: the pipe to stop at, and whether a submission waits there.
    std::optional<UsbPipe> pauseAt_;
    bool paused_ = false;
    std::shared_ptr<UsbFunction> function_;
    std::vector<uint8_t> bulkOut_;
    bool nakBulkOut_ = false;
    uint64_t sequence_ = 0;
    // Pumps scheduled or running plus completions in progress outside them.
    size_t busy_ = 0;
    bool unplugged_ = false;
    bool removed_ = false; // IRP_MN_REMOVE_DEVICE took the pipes down until the next start
    DEVICE_POWER_STATE devicePower_ = PowerDeviceD0;
    SYSTEM_POWER_STATE systemPower_ = PowerSystemWorking;
    // Distinct objects whose addresses serve as the pipe handles.
    UCHAR pipeObjects_[3] = {};
};

class ParentBus {
  public:
    ParentBus();
    ~ParentBus();
    ParentBus(const ParentBus&) = delete;
    ParentBus& operator=(const ParentBus&) = delete;

    PDRIVER_OBJECT Driver() const { return driver_; }
    ModemPdo& CreateModemPdo(const PdoOptions& options = {});
    void DeletePdo(ModemPdo& pdo);

  private:
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<std::unique_ptr<ModemPdo>> pdos_;
};

} // namespace sim
