// The receive ring: the bulk-in completion stores into it, read requests take from
// it. Every operation holds RingLock for its whole copy, so a reader never sees a
// half-written packet, and each copy is at most two pieces: up to the end of the
// storage, then from its start. Whatever takes bytes out (a read, a purge) tells
// the receive engine, which may be waiting for room; so neither is called with
// Lock held.
#include "data.h"

// Copies Length bytes into the ring at Index, wrapping once at the end of the storage.
static void CopyIntoRing(PDEVICE_CONTEXT Context, ULONG Index, const UCHAR* Source, ULONG Length) {
    ULONG first = RING_BUFFER_SIZE - Index;
    if (first > Length) {
        first = Length;
    }
    RtlCopyMemory(&Context->RingBuffer[Index], Source, first);
    if (Length != first) {
        RtlCopyMemory(&Context->RingBuffer[0], Source + first, Length - first);
    }
}

static void CopyOutOfRing(PDEVICE_CONTEXT Context, ULONG Index, PUCHAR Destination, ULONG Length) {
    ULONG first = RING_BUFFER_SIZE - Index;
    if (first > Length) {
        first = Length;
    }
    RtlCopyMemory(Destination, &Context->RingBuffer[Index], first);
    if (Length != first) {
        RtlCopyMemory(Destination + first, &Context->RingBuffer[0], Length - first);
    }
}

static ULONG AdvanceIndex(ULONG Index, ULONG Count) {
    Index += Count;
    if (Index >= RING_BUFFER_SIZE) {
        Index -= RING_BUFFER_SIZE;
    }
    return Index;
}

// Stores what fits and reports how much; on a full ring nothing is stored. The
// oldest data is kept: what did not fit is the caller's to report.
NTSTATUS RingWrite(PDEVICE_CONTEXT DeviceContext, const UCHAR* Source, ULONG Length,
                   PULONG Written) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&DeviceContext->RingLock, &oldIrql);
    ULONG space = RING_BUFFER_SIZE - (ULONG)DeviceContext->RingCount;
    if (space == 0) {
        KeReleaseSpinLock(&DeviceContext->RingLock, oldIrql);
        *Written = 0;
        return STATUS_UNSUCCESSFUL;
    }
    ULONG count = Length < space ? Length : space;
    CopyIntoRing(DeviceContext, DeviceContext->RingWriteIndex, Source, count);
    DeviceContext->RingWriteIndex = AdvanceIndex(DeviceContext->RingWriteIndex, count);
    InterlockedExchangeAdd(&DeviceContext->RingCount, (LONG)count);
    KeReleaseSpinLock(&DeviceContext->RingLock, oldIrql);
    *Written = count;
    return STATUS_SUCCESS;
}

// Takes up to Length of the oldest bytes; an empty ring gives nothing.
NTSTATUS RingRead(PDEVICE_CONTEXT DeviceContext, PUCHAR Destination, ULONG Length, PULONG Read) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&DeviceContext->RingLock, &oldIrql);
    ULONG held = (ULONG)DeviceContext->RingCount;
    if (held == 0) {
        KeReleaseSpinLock(&DeviceContext->RingLock, oldIrql);
        *Read = 0;
        return STATUS_UNSUCCESSFUL;
    }
    ULONG count = Length < held ? Length : held;
    CopyOutOfRing(DeviceContext, DeviceContext->RingReadIndex, Destination, count);
    DeviceContext->RingReadIndex = AdvanceIndex(DeviceContext->RingReadIndex, count);
    InterlockedExchangeAdd(&DeviceContext->RingCount, -(LONG)count);
    KeReleaseSpinLock(&DeviceContext->RingLock, oldIrql);
    *Read = count;
    ResumeThrottledReceive(DeviceContext);
    return STATUS_SUCCESS;
}

// Callers may hold Lock: Lock comes before RingLock.
ULONG RingGetCount(PDEVICE_CONTEXT DeviceContext) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&DeviceContext->RingLock, &oldIrql);
    ULONG count = (ULONG)DeviceContext->RingCount;
    KeReleaseSpinLock(&DeviceContext->RingLock, oldIrql);
    return count;
}

// Empties the ring; the stored bytes are left as they are.
NTSTATUS RingPurge(PDEVICE_CONTEXT DeviceContext) {
    KIRQL oldIrql;
    KeAcquireSpinLock(&DeviceContext->RingLock, &oldIrql);
    DeviceContext->RingWriteIndex = 0;
    DeviceContext->RingReadIndex = 0;
    InterlockedExchange(&DeviceContext->RingCount, 0);
    KeReleaseSpinLock(&DeviceContext->RingLock, oldIrql);
    ResumeThrottledReceive(DeviceContext);
    return STATUS_SUCCESS;
}
