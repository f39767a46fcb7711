// The device context: all state of one port, held in the FDO's device extension.
#pragma once

#include <platform/wdm.h>

// Pool tag of every allocation the driver makes; reads "Krvx" in a pool dump.
#define KORVAX_POOL_TAG 0x7876724BUL

#define RING_BUFFER_SIZE         1024000
#define BULK_IN_BUFFER_SIZE      4096
#define NOTIFICATION_BUFFER_SIZE 16

// Stored in DeviceLostMark when a receive transfer fails on an open port while the
// system is awake. Never cleared for that device object.
#define DEVICE_LOST_MARK 9999

#define WRITE_TIMER_NONE 0xFF

typedef enum _DEVICE_PNP_STATE {
    NotStarted = 0,
    Started = 1,
    StopPending = 2,
    RemovePending = 3,
    SurpriseRemoved = 4,
    Removed = 5,
} DEVICE_PNP_STATE;

// Field order and widths are fixed: the 32-bit build lays the record out exactly as
// the device extension size that AddDevice asks for.
// A read timer's state (Lock; see read.cpp). Neither SET nor FIRED: idle, with no
// remove-lock hold and no DPC run to come.
#define READ_TIMER_ARMED 0x01 // armed for the read now waiting
#define READ_TIMER_SET   0x02 // set; it may have fired, its run not begun
#define READ_TIMER_FIRED 0x04 // cancelled after it fired: its run is still to come
#define READ_TIMER_REARM 0x08 // an arming waits for that run; its due time is in the read

typedef struct _DEVICE_CONTEXT {
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_OBJECT LowerDeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;
    IO_REMOVE_LOCK RemoveLock;
    UNICODE_STRING InterfaceName;
    ULONG PnpState;         // DEVICE_PNP_STATE; read by the gate under StateLock
    ULONG PreviousPnpState; // restored by IRP_MN_CANCEL_REMOVE_DEVICE
    ULONG DevicePowerState; // DEVICE_POWER_STATE
    ULONG SystemPowerState; // SYSTEM_POWER_STATE
    DEVICE_CAPABILITIES DeviceCapabilities;
    volatile LONG OpenCount;
    USBD_PIPE_HANDLE BulkInPipe;
    USBD_PIPE_HANDLE BulkOutPipe;
    USBD_PIPE_HANDLE InterruptInPipe;
    ULONG DeviceLostMark;

    // Lock guards the request queues, line settings, time-outs, events, modem
    // status, statistics, the write counters and SystemSuspended.
    KSPIN_LOCK Lock;
    SERIAL_TIMEOUTS Timeouts;
    ULONG BaudRate;
    UCHAR StopBits;
    UCHAR Parity;
    UCHAR DataBits;
    SERIAL_HANDFLOW HandFlow;
    SERIAL_CHARS SpecialChars;
    ULONG WaitMask;
    SERIALPERF_STATS PerfStats;
    USHORT ModemStatus;
    URB InterruptUrb;
    LIST_ENTRY WaitIrpQueue;
    LIST_ENTRY ReadIrpQueue;
    UCHAR NotificationBuffer[NOTIFICATION_BUFFER_SIZE];
    ULONG WriteBytesQueued;
    UNICODE_STRING DeviceName;
    UNICODE_STRING SymbolicLinkName;
    ULONG HoldReasons;
    UCHAR WriteBusy;
    LIST_ENTRY WriteIrpQueue;

    // Read time-outs.
    LARGE_INTEGER IntervalTime;
    LARGE_INTEGER ShortIntervalAmount;
    LARGE_INTEGER LongIntervalAmount;
    LARGE_INTEGER CutOverAmount;
    PLARGE_INTEGER IntervalTimeToUse;
    UCHAR ReadIntervalActive;
    // READ_TIMER_* (Lock). A DPC run serves a read only when its timer is armed for
    // that read: a run of an earlier read's expiry finds ARMED cleared, or an arming
    // waiting for it, and leaves the read alone.
    UCHAR ReadIntervalTimerState;
    UCHAR ReadTotalTimerState;
    KTIMER ReadTotalTimer;
    KDPC ReadTotalDpc;
    KTIMER ReadIntervalTimer;
    KDPC ReadIntervalDpc;

    // Receive engine and ring; RingLock guards the indices, count and storage.
    URB BulkInUrb;
    UCHAR BulkInBuffer[BULK_IN_BUFFER_SIZE];
    ULONG RingWriteIndex;
    ULONG RingReadIndex;
    volatile LONG RingCount;
    UCHAR RingBuffer[RING_BUFFER_SIZE];
    KSPIN_LOCK RingLock;
    ULONG ReadLengthRemaining;
    ULONG PendingEvents;
    UCHAR IsOpen;
    // SERIAL_ERROR_* bits reported and cleared by IOCTL_SERIAL_GET_COMMSTATUS (Lock).
    UCHAR CommErrors;

    // StateLock is a leaf: PnpState and DeviceLostMark as the gate reads them.
    KSPIN_LOCK StateLock;
    FAST_MUTEX OpenMutex;  // open against QUERY_REMOVE and QUERY_STOP
    FAST_MUTEX CloseMutex; // close
    KEVENT NoPendingTransfersEvent;
    volatile LONG PendingTransferCount;
    UCHAR SystemSuspended;

    // 1 while the reader has a transfer in the lower driver (Lock). A wake restarts
    // only a reader that has stopped, so its URB and buffer are never in flight twice.
    UCHAR BulkInReaderActive;
    UCHAR InterruptReaderActive;
    // 1 while the receive engine is stopped because the ring has no room for a whole
    // transfer (Lock); BulkInReaderActive is then 0. A read that makes room, or a
    // start once the ring has room, sends the next transfer.
    UCHAR BulkInThrottled;

    // The transmit engine's request in flight (Lock): set while the engine carries
    // it, so that a purge can cancel it. While WriteCancellers is not 0 a purge or
    // the time-out may be in IoCancelIrp on it; the engine then ends it with those
    // claims moved onto the request, and leaves its completion to the last of them.
    PIRP CurrentWriteIrp;
    ULONG WriteCancellers;
    // 1 while the engine is stopped because a chunk failed while the system slept
    // (Lock); WriteBusy stays set, so writes queue, and the wake restarts it.
    UCHAR WriteStopped;
    // READER_RETRY_* bits of the readers that stopped because they could not get an
    // IRP (Lock); the next read, wait or purge starts them again.
    UCHAR ReadersToRetry;
    // 1 from the handle's cleanup to the next open (Lock): no request is queued,
    // so none can wait with nothing left to end it.
    UCHAR CleanedUp;

    // The write total time-out (Lock; see write.cpp). One timer, two DPCs: a
    // setting is made only on a DPC with no run to come, so each setting has
    // exactly one run, which holds the remove lock (tagged with its DPC) until it
    // ends. WriteTimerCurrent is the DPC of the latest setting (WRITE_TIMER_NONE:
    // none, or its run has begun) and WriteTimerIrp the write it times (NULL: a
    // stale setting). A wish made while both DPCs have a run to come
    // (WriteTimerWanted) is carried out by the first of those runs.
    KTIMER WriteTotalTimer;
    KDPC WriteTotalDpc[2];
    PIRP WriteTimerIrp;
    PIRP WriteTimerWantedIrp;
    LARGE_INTEGER WriteTimerWantedDue;
    UCHAR WriteTimerPending[2];
    UCHAR WriteTimerCurrent;
    UCHAR WriteTimerWanted;
    // 1 once the write total time-out has cancelled CurrentWriteIrp (Lock).
    UCHAR WriteTimedOut;
} DEVICE_CONTEXT, *PDEVICE_CONTEXT;

#if !defined(KORVAX_HOSTED)
static_assert(sizeof(DEVICE_CONTEXT) == 1029040, "device extension size of the 32-bit build");
#endif

inline PDEVICE_CONTEXT GetDeviceContext(PDEVICE_OBJECT DeviceObject) {
    return (PDEVICE_CONTEXT)DeviceObject->DeviceExtension;
}
