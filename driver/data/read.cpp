// IRP_MJ_READ: reads are served from the receive ring. A read that finds data
// returns at once with what is there; one that finds the ring empty waits, unless
// its time-outs ask for an immediate return, until the receive engine's next packet
// or its total time-out ends it. At most one read waits at a time.
#include "data.h"

#define MILLISECONDS_TO_100NS 10000
// The longest total time-out, in milliseconds, that a relative due time can hold.
#define MAX_TOTAL_TIMEOUT_MS (0x7FFFFFFFFFFFFFFFULL / MILLISECONDS_TO_100NS)

// What a read's time-outs ask for. Multiplier and Constant are the total timer's.
typedef struct _READ_TIMING {
    BOOLEAN ReturnAtOnce;
    BOOLEAN UseTotalTimer;
    ULONG Multiplier;
    ULONG Constant;
} READ_TIMING;

// ReadIntervalTimeout MAXULONG gives the classic "return what is there" forms; any
// other interval uses the multiplier and constant as plain numbers, and 0/0 means
// no total time-out at all.
static READ_TIMING ChooseReadTiming(const SERIAL_TIMEOUTS* Timeouts) {
    READ_TIMING timing = {FALSE, FALSE, 0, 0};
    ULONG multiplier = Timeouts->ReadTotalTimeoutMultiplier;
    ULONG constant = Timeouts->ReadTotalTimeoutConstant;

    if (Timeouts->ReadIntervalTimeout == MAXULONG) {
        if (constant == MAXULONG) {
            return timing; // waits until data arrives
        }
        if (multiplier == 0 && constant == 0) {
            timing.ReturnAtOnce = TRUE;
            return timing;
        }
        timing.UseTotalTimer = TRUE;
        timing.Multiplier = multiplier == MAXULONG ? 0 : multiplier;
        timing.Constant = constant;
        return timing;
    }
    if (multiplier == 0 && constant == 0) {
        return timing; // waits until data arrives
    }
    timing.UseTotalTimer = TRUE;
    timing.Multiplier = multiplier;
    timing.Constant = constant;
    return timing;
}

// Multiplier x Length + Constant milliseconds as a relative due time. The sum is
// exact in 64 bits; one too long for a due time to hold (beyond some 29,000 years)
// is taken as no time-out, since the conversion would wrap into an arbitrary and
// possibly short due time.
BOOLEAN TotalTimeoutDueTime(ULONG Multiplier, ULONG Constant, ULONG Length,
                            PLARGE_INTEGER DueTime) {
    ULONGLONG milliseconds = (ULONGLONG)Multiplier * Length + Constant;
    if (milliseconds > MAX_TOTAL_TIMEOUT_MS) {
        return FALSE;
    }
    DueTime->QuadPart = -(LONGLONG)(milliseconds * MILLISECONDS_TO_100NS);
    return TRUE;
}

// Lock held. The read becomes the port's current read: a timer left from an
// earlier read must not end this one, and the receive engine learns the interval
// period to re-arm with. The period is set before the flag that publishes it.
static void BeginCurrentRead(PDEVICE_CONTEXT Context, const SERIAL_TIMEOUTS* Timeouts,
                             ULONG Length) {
    CancelReadTimers(Context);
    Context->ReadLengthRemaining = Length;
    Context->ReadIntervalActive = 0;

    ULONG interval = Timeouts->ReadIntervalTimeout;
    if (interval != 0 && interval != MAXULONG) {
        Context->IntervalTime.QuadPart = (LONGLONG)((ULONGLONG)interval * MILLISECONDS_TO_100NS);
        Context->IntervalTimeToUse =
            Context->IntervalTime.QuadPart >= Context->CutOverAmount.QuadPart
                ? &Context->LongIntervalAmount
                : &Context->ShortIntervalAmount;
        Context->ReadIntervalActive = 1;
    }
}

static void CountReceived(PDEVICE_CONTEXT Context, ULONG Bytes) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&Context->Lock, &oldIrql);
    Context->PerfStats.ReceivedCount += Bytes;
    KeReleaseSpinLock(&Context->Lock, oldIrql);
}

static NTSTATUS EndRead(PDEVICE_CONTEXT Context, PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Status = Status;
    IofCompleteRequest(Irp, IO_SERIAL_INCREMENT);
    ReleaseRequestLock(Context, Irp);
    return Status;
}

// Any IRQL up to DISPATCH_LEVEL.
NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_CONTEXT context = GetDeviceContext(DeviceObject);
    SERIAL_TIMEOUTS timeouts;
    KIRQL oldIrql;

    Irp->IoStatus.Information = 0;
    NTSTATUS status = AcceptRequest(context, Irp);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
    if (length == 0) {
        return EndRead(context, Irp, STATUS_SUCCESS);
    }
    RestartStoppedReaders(context);

    // A read that arrives while another waits leaves the waiting read's timers and
    // count alone: it takes what the ring holds, or is refused.
    KeAcquireSpinLock(&context->Lock, &oldIrql);
    timeouts = context->Timeouts;
    BOOLEAN anotherWaits = !IsListEmpty(&context->ReadIrpQueue);
    if (!anotherWaits) {
        BeginCurrentRead(context, &timeouts, length);
    }
    KeReleaseSpinLock(&context->Lock, oldIrql);

    READ_TIMING timing = ChooseReadTiming(&timeouts);
    ULONG copied;
    RingRead(context, (PUCHAR)Irp->AssociatedIrp.SystemBuffer, length, &copied);
    if (copied != 0 || timing.ReturnAtOnce) {
        Irp->IoStatus.Information = copied;
        CountReceived(context, copied);
        return EndRead(context, Irp, STATUS_SUCCESS);
    }
    if (anotherWaits) {
        return EndRead(context, Irp, STATUS_INVALID_PARAMETER);
    }

    LARGE_INTEGER dueTime;
    BOOLEAN useTimer = timing.UseTotalTimer &&
                       TotalTimeoutDueTime(timing.Multiplier, timing.Constant, length, &dueTime);
    return QueueRead(context, Irp, useTimer ? &dueTime : NULL);
}

// Returns STATUS_PENDING with the request queued, or completes it itself and
// returns STATUS_INVALID_PARAMETER (another read waits), STATUS_CANCELLED or
// STATUS_DELETE_PENDING.
NTSTATUS QueueRead(PDEVICE_CONTEXT DeviceContext, PIRP Irp, PLARGE_INTEGER TotalDueTime) {
    KIRQL oldIrql;
    NTSTATUS status = STATUS_PENDING;

    KeAcquireSpinLock(&DeviceContext->Lock, &oldIrql);
    if (!IsListEmpty(&DeviceContext->ReadIrpQueue)) {
        status = STATUS_INVALID_PARAMETER;
    } else if (DeviceContext->CleanedUp) {
        status = STATUS_CANCELLED; // after the handle's cleanup: nothing would end it
    } else if (IsDeviceRemoving(DeviceContext)) {
        // The read passed the gate, then a removal or a lost device ended the queue
        // before it got here: nothing would end it now. Both mark the device under
        // StateLock before they take Lock to empty the queue.
        status = STATUS_DELETE_PENDING;
    } else if (!InsertQueuedRequest(&DeviceContext->ReadIrpQueue, Irp, CancelQueuedRequest,
                                    FALSE)) {
        status = STATUS_CANCELLED;
    } else {
        ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
        DeviceContext->ReadLengthRemaining = length - (ULONG)Irp->IoStatus.Information;
        // Set with the queueing, so that the timer cannot outlive the read it times
        // and end a later one.
        if (TotalDueTime != NULL) {
            ArmReadTimer(DeviceContext, &DeviceContext->ReadTotalTimer, *TotalDueTime);
        }
    }
    KeReleaseSpinLock(&DeviceContext->Lock, oldIrql);

    if (status != STATUS_PENDING) {
        return EndRead(DeviceContext, Irp, status);
    }
    // Data that arrived after this read found the ring empty may already have had
    // its packet's turn at the queue; serve it now rather than at the next packet.
    ServeQueuedReadWithData(DeviceContext);
    return STATUS_PENDING;
}

PIRP DequeueRead(PDEVICE_CONTEXT DeviceContext) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&DeviceContext->Lock, &oldIrql);
    PIRP irp = RemoveQueuedRequest(&DeviceContext->ReadIrpQueue);
    KeReleaseSpinLock(&DeviceContext->Lock, oldIrql);
    return irp;
}

// Completes a read taken off the queue with what the ring holds: STATUS_SUCCESS
// when that fills it, STATUS_TIMEOUT otherwise (even with nothing at all).
static void ServeRead(PDEVICE_CONTEXT Context, PIRP Irp) {
    ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
    ULONG delivered = (ULONG)Irp->IoStatus.Information;
    ULONG copied;
    RingRead(Context, (PUCHAR)Irp->AssociatedIrp.SystemBuffer + delivered, length - delivered,
             &copied);
    delivered += copied;
    Irp->IoStatus.Information = delivered;

    KIRQL oldIrql;
    KeAcquireSpinLock(&Context->Lock, &oldIrql);
    Context->PerfStats.ReceivedCount += copied;
    Context->ReadLengthRemaining = length - delivered;
    KeReleaseSpinLock(&Context->Lock, oldIrql);

    EndRead(Context, Irp, delivered == length ? STATUS_SUCCESS : STATUS_TIMEOUT);
}

// Called by the receive purge: the waiting read ends with what the ring holds.
void CompleteQueuedReads(PDEVICE_CONTEXT DeviceContext) {
    PIRP irp;
    while ((irp = DequeueRead(DeviceContext)) != NULL) {
        ServeRead(DeviceContext, irp);
    }
}

// After a packet, and after a read is queued. The bytes may already be gone to a
// read that took them at once, and a read queued after that must go on waiting,
// its timers armed: the test of the ring, the stop of the timers and the taking of
// the read are one hold of Lock (Lock before RingLock).
void ServeQueuedReadWithData(PDEVICE_CONTEXT DeviceContext) {
    PIRP irp = NULL;
    KIRQL oldIrql;

    KeAcquireSpinLock(&DeviceContext->Lock, &oldIrql);
    if (RingGetCount(DeviceContext) != 0) {
        CancelReadTimers(DeviceContext);
        irp = RemoveQueuedRequest(&DeviceContext->ReadIrpQueue);
    }
    KeReleaseSpinLock(&DeviceContext->Lock, oldIrql);
    if (irp != NULL) {
        ServeRead(DeviceContext, irp);
    }
}

void EndQueuedReads(PDEVICE_CONTEXT DeviceContext, NTSTATUS Status) {
    PIRP irp;
    while ((irp = DequeueRead(DeviceContext)) != NULL) {
        EndRead(DeviceContext, irp, Status);
    }
}

// ---- The read timers and the device's lifetime ----
//
// A read timer that is set, or has fired with its DPC run still to come, uses the
// device context, so from its arming until the end of that run it holds the remove
// lock: one hold per timer, tagged with the timer. The hold never rests on what
// KeRemoveQueueDpc or KeCancelTimer return. On Windows 2000 and XP a DPC that
// KeRemoveQueueDpc reports removed may run all the same ("KeRemoveQueueDpc
// routine" (WDK)), so the driver never takes a run off the queue, and it never
// sets a timer again while the run of its last firing is still to come: an arming
// made meanwhile is left to that run, its due time kept in the waiting read's
// DriverContext (the driver owns the queued request). So each firing has exactly
// one run, the run knows whether another can follow, and two runs of a timer
// overlap on two processors only once the first has found the timer idle under
// Lock; each then gives back a hold of its own. Only the timer's signal state is read: its expiry
// sets it (and queues the DPC), setting the timer clears it.
//
// The run gives the hold back as its very last act. What remains of it is the
// return from the routine, at DISPATCH_LEVEL where the processor is not taken from
// it; without KeFlushQueuedDpcs (Windows XP on) a Windows 2000 driver has no way
// to wait for that.

static PKDPC ReadTimerDpc(PDEVICE_CONTEXT Context, PKTIMER Timer) {
    return Timer == &Context->ReadTotalTimer ? &Context->ReadTotalDpc : &Context->ReadIntervalDpc;
}

static PUCHAR ReadTimerState(PDEVICE_CONTEXT Context, PKTIMER Timer) {
    return Timer == &Context->ReadTotalTimer ? &Context->ReadTotalTimerState
                                             : &Context->ReadIntervalTimerState;
}

// Lock held. Where the waiting read keeps the due time of an arming of Timer that
// waits for a run; NULL when no read waits.
static PVOID RearmDueSlot(PDEVICE_CONTEXT Context, PKTIMER Timer) {
    if (IsListEmpty(&Context->ReadIrpQueue)) {
        return NULL;
    }
    PIRP irp = CONTAINING_RECORD(Context->ReadIrpQueue.Flink, IRP, Tail.Overlay.ListEntry);
    return &irp->Tail.Overlay.DriverContext[Timer == &Context->ReadTotalTimer ? 0 : 2];
}

static void ReleaseReadTimerHold(PDEVICE_CONTEXT Context, PKTIMER Timer) {
    IoReleaseRemoveLockEx(&Context->RemoveLock, Timer, sizeof(IO_REMOVE_LOCK));
}

// Lock held. Stops a set timer and drops a waiting arming; ARMED is left to the
// caller. A timer that has fired meanwhile has its run to come, which keeps the
// hold. TRUE when the timer went idle here and its hold is to be given back.
static BOOLEAN StopReadTimer(PDEVICE_CONTEXT Context, PKTIMER Timer) {
    PUCHAR state = ReadTimerState(Context, Timer);
    *state &= ~READ_TIMER_REARM;
    if (!(*state & READ_TIMER_SET)) {
        return FALSE;
    }
    KeCancelTimer(Timer);
    *state &= ~READ_TIMER_SET;
    if (KeReadStateTimer(Timer)) {
        *state |= READ_TIMER_FIRED;
        return FALSE;
    }
    return TRUE;
}

// Lock held; any IRQL up to DISPATCH_LEVEL. Returns FALSE, the timer left unset,
// once removal has begun.
BOOLEAN ArmReadTimer(PDEVICE_CONTEXT DeviceContext, PKTIMER Timer, LARGE_INTEGER DueTime) {
    PUCHAR state = ReadTimerState(DeviceContext, Timer);
    if (!(*state & (READ_TIMER_SET | READ_TIMER_FIRED))) {
        if (!NT_SUCCESS(IoAcquireRemoveLockEx(&DeviceContext->RemoveLock, Timer, "", 1,
                                              sizeof(IO_REMOVE_LOCK)))) {
            return FALSE;
        }
    } else {
        // The timer keeps its hold; only an unfired setting is stopped here.
        StopReadTimer(DeviceContext, Timer);
    }
    if (!(*state & READ_TIMER_FIRED)) {
        *state |= READ_TIMER_SET;
        KeSetTimer(Timer, DueTime, ReadTimerDpc(DeviceContext, Timer));
    } else {
        // With no read waiting there is nothing to time: the run just ends.
        PVOID slot = RearmDueSlot(DeviceContext, Timer);
        if (slot != NULL) {
            RtlCopyMemory(slot, &DueTime, sizeof(DueTime));
            *state |= READ_TIMER_REARM;
        }
    }
    *state |= READ_TIMER_ARMED;
    return TRUE;
}

// Lock held; any IRQL up to DISPATCH_LEVEL. No run to come serves a read any more;
// a timer stopped before it fired gives its hold back here.
void CancelReadTimers(PDEVICE_CONTEXT DeviceContext) {
    PKTIMER timers[2] = {&DeviceContext->ReadTotalTimer, &DeviceContext->ReadIntervalTimer};
    for (ULONG i = 0; i < 2; i++) {
        if (StopReadTimer(DeviceContext, timers[i])) {
            ReleaseReadTimerHold(DeviceContext, timers[i]);
        }
        *ReadTimerState(DeviceContext, timers[i]) &= ~READ_TIMER_ARMED;
    }
}

// The run of a firing. An arming that waited for it sets the timer again and takes
// over the hold; that arming superseded the firing, which ends nothing. Otherwise
// the firing ends the waiting read if the timer was armed for it, and the timer is
// idle. The decision and taking the read off the queue are one hold of Lock, so
// the read served is the one the decision was about.
static void RunReadTimer(PDEVICE_CONTEXT Context, PKTIMER Timer) {
    PUCHAR state = ReadTimerState(Context, Timer);
    PIRP irp = NULL;
    BOOLEAN idle = FALSE;
    KIRQL oldIrql;

    KeAcquireSpinLock(&Context->Lock, &oldIrql);
    PVOID slot = RearmDueSlot(Context, Timer);
    if ((*state & READ_TIMER_REARM) && slot != NULL) {
        LARGE_INTEGER dueTime;
        RtlCopyMemory(&dueTime, slot, sizeof(dueTime));
        *state = (UCHAR)((*state & READ_TIMER_ARMED) | READ_TIMER_SET);
        KeSetTimer(Timer, dueTime, ReadTimerDpc(Context, Timer));
    } else {
        if (*state & READ_TIMER_ARMED) {
            irp = RemoveQueuedRequest(&Context->ReadIrpQueue);
        }
        *state = 0;
        idle = TRUE;
    }
    KeReleaseSpinLock(&Context->Lock, oldIrql);
    if (irp != NULL) {
        ServeRead(Context, irp);
    }
    // The last touch of the device: removal may delete it once the hold is back.
    if (idle) {
        ReleaseReadTimerHold(Context, Timer);
    }
}

void NTAPI ReadTotalTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                               PVOID SystemArgument2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    PDEVICE_CONTEXT context = (PDEVICE_CONTEXT)DeferredContext;
    RunReadTimer(context, &context->ReadTotalTimer);
}

void NTAPI ReadIntervalTimeoutDpc(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                  PVOID SystemArgument2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    PDEVICE_CONTEXT context = (PDEVICE_CONTEXT)DeferredContext;
    RunReadTimer(context, &context->ReadIntervalTimer);
}
