// The receive ring and read requests with their time-outs; request queues and
// cancellation shared by reads, writes and event waits.
#pragma once

#include <driver/frame/frame.h>

// Receive ring (RingLock).
NTSTATUS RingWrite(PDEVICE_CONTEXT DeviceContext, const UCHAR* Source, ULONG Length,
                   PULONG Written);
NTSTATUS RingRead(PDEVICE_CONTEXT DeviceContext, PUCHAR Destination, ULONG Length, PULONG Read);
ULONG RingGetCount(PDEVICE_CONTEXT DeviceContext);
NTSTATUS RingPurge(PDEVICE_CONTEXT DeviceContext);

// Multiplier x Length + Constant milliseconds as a relative due time; FALSE when
// the sum is too long for a due time to hold (taken as no time-out).
BOOLEAN TotalTimeoutDueTime(ULONG Multiplier, ULONG Constant, ULONG Length, PLARGE_INTEGER DueTime);

// Read requests. QueueRead sets the total time-out timer (TotalDueTime, NULL for
// none) together with queueing, so the timer always belongs to the queued read.
DRIVER_DISPATCH DispatchRead;
NTSTATUS QueueRead(PDEVICE_CONTEXT DeviceContext, PIRP Irp, PLARGE_INTEGER TotalDueTime);
PIRP DequeueRead(PDEVICE_CONTEXT DeviceContext);
void CompleteQueuedReads(PDEVICE_CONTEXT DeviceContext);
// Serves the waiting read if the ring holds data, and only then stops the read
// timers (after each packet, and after a read is queued).
void ServeQueuedReadWithData(PDEVICE_CONTEXT DeviceContext);
// Ends the waiting read with Status and what it has been given so far.
void EndQueuedReads(PDEVICE_CONTEXT DeviceContext, NTSTATUS Status);
KDEFERRED_ROUTINE ReadTotalTimeoutDpc;
KDEFERRED_ROUTINE ReadIntervalTimeoutDpc;

// The only way the two read timers are set and cancelled, both with Lock held: a
// timer holds the remove lock from its arming until it is cancelled before it
// fires or the DPC run of its last firing has ended, so the device outlives it.
// ArmReadTimer returns FALSE, setting nothing, once removal has begun.
BOOLEAN ArmReadTimer(PDEVICE_CONTEXT DeviceContext, PKTIMER Timer, LARGE_INTEGER DueTime);
void CancelReadTimers(PDEVICE_CONTEXT DeviceContext);

// The queue discipline of every request queue, with Lock held. InsertQueuedRequest
// queues the request (at the tail, or at the head) with CancelRoutine published and
// marks it pending; it returns FALSE, leaving the request unqueued, unmarked and the
// caller's, when the request was cancelled before it could be queued. Every cancel
// routine takes Lock before it touches its request. RemoveQueuedRequest returns the
// head request whose cancel routine it took back, or NULL.
BOOLEAN InsertQueuedRequest(PLIST_ENTRY QueueHead, PIRP Irp, PDRIVER_CANCEL CancelRoutine,
                            BOOLEAN AtHead);
PIRP RemoveQueuedRequest(PLIST_ENTRY QueueHead);

// Cancellation of queued requests.
void CancelQueue(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY QueueHead);
void CancelAllQueues(PDEVICE_OBJECT DeviceObject);
DRIVER_CANCEL CancelQueuedRequest;

// Event waits. The wait is queued with Lock held by the caller, so that finding no
// pending events and queueing the wait are one step.
NTSTATUS QueueWaitRequestLocked(PDEVICE_CONTEXT DeviceContext, PIRP Irp);
PIRP DequeueWaitRequest(PDEVICE_CONTEXT DeviceContext);
BOOLEAN CompleteWaitRequest(PDEVICE_CONTEXT DeviceContext, ULONG Mask);

// Hands PendingEvents to the waiting event request, if one waits, in the same hold
// of Lock that takes the wait off its queue and clears the word, so that the next
// wait cannot be given the same bits again. ClearAlways clears the word even when
// no wait was there. Returns whether a wait was completed. Lock not held.
BOOLEAN DeliverPendingEvents(PDEVICE_CONTEXT DeviceContext, BOOLEAN ClearAlways);

// The transmit engine: write and immediate-character requests, one at a time, in
// chunks of at most BULK_TRANSFER_SIZE, each carried down on the request's own IRP.
#define IMMEDIATE_CHAR_MARK 0xFFFFFFFF
#define WRITE_REQUEST_MARK  0

typedef struct _WRITE_TRANSFER {
    URB Urb;
    PUCHAR NextBuffer;
    ULONG BytesRemaining;
    ULONG BytesSent;
    // 2 as a chunk is sent: the sender and the chunk's completion each let go once,
    // and whichever lets go last takes the engine on.
    volatile LONG Handoff;
} WRITE_TRANSFER, *PWRITE_TRANSFER;

DRIVER_DISPATCH DispatchWrite;
NTSTATUS QueueImmediateChar(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS QueueWrite(PDEVICE_CONTEXT DeviceContext, PIRP Irp, BOOLEAN AtHead);
PIRP DequeueWrite(PDEVICE_CONTEXT DeviceContext);
NTSTATUS StartNextWrite(PDEVICE_CONTEXT DeviceContext);
// The write total time-out's timer and DPCs, set up once with the device context.
void InitializeWriteTimer(PDEVICE_CONTEXT DeviceContext);
KDEFERRED_ROUTINE WriteTotalTimeoutDpc;
// PURGE_TXABORT's end of the write in flight; see write.cpp.
void CancelCurrentWrite(PDEVICE_CONTEXT DeviceContext);
// The wake's restart of an engine stopped by a chunk that failed in the sleep.
void ResumeWriteEngine(PDEVICE_CONTEXT DeviceContext);
IO_COMPLETION_ROUTINE WriteCompletion;
DRIVER_CANCEL WriteCancel;

// The request kind shares one word of the current stack location: a write's
// Parameters.Write.ByteOffset.HighPart, which in the 32-bit layout is a
// device-control request's Parameters.DeviceIoControl.Type3InputBuffer. Reading
// and writing it through the write form keeps to one word in both builds.
inline void SetRequestKind(PIRP Irp, ULONG Kind) {
    IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.ByteOffset.HighPart = (LONG)Kind;
}

inline ULONG RequestKind(PIRP Irp) {
    return (ULONG)IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.ByteOffset.HighPart;
}

// The two readers that run while the port is open: the bulk-in receive engine and
// the interrupt-in notification reader. Each keeps one transfer outstanding.
#define BULK_TRANSFER_SIZE        4096
#define RX80FULL_THRESHOLD        820000
#define SERIAL_STATE_NOTIFICATION 0x20
#define READER_FAILURE_EVENTS     (SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD)

void StartBulkInRead(PDEVICE_CONTEXT DeviceContext);
// Any IRQL up to DISPATCH_LEVEL, no lock held: bytes have left the ring. A receive
// engine stopped for room sends its next transfer once the ring can take it whole.
void ResumeThrottledReceive(PDEVICE_CONTEXT DeviceContext);
// After a transfer of the port's has gone down: tells a close under way to abort
// the pipes again, since the transfer may have reached the lower driver after them.
void WakeClosingPort(PDEVICE_CONTEXT DeviceContext);
IO_COMPLETION_ROUTINE BulkInCompletion;
void StartInterruptRead(PDEVICE_CONTEXT DeviceContext);
IO_COMPLETION_ROUTINE InterruptCompletion;
void ApplySerialState(PDEVICE_CONTEXT DeviceContext);
// Any IRQL up to DISPATCH_LEVEL, no lock held: a reader that stopped because it
// could not get an IRP starts again (called at each read, wait and purge). Nothing
// starts while the system sleeps or once close has begun.
void RestartStoppedReaders(PDEVICE_CONTEXT DeviceContext);
