// What the two readers share: starting a transfer with its accounting, the failure
// path that declares the device lost or leaves the reader stopped, and the common end of a
// completion.
#pragma once

#include "data.h"

// Why a reader's transfer is being started. A start (open, wake) leaves a reader
// that is already running alone; a completion re-issues its own transfer; a resume
// starts only a receive engine that stopped for lack of room in the ring; a retry
// starts only a reader that stopped without a transfer and is not held back.
typedef enum _READER_START {
    ReaderStart,
    ReaderReissue,
    ReaderResume,
    ReaderRetry,
} READER_START;

#define READER_RETRY_BULK_IN   0x01
#define READER_RETRY_INTERRUPT 0x02

// One reader: its state words in the device context (Throttled is NULL for a reader
// that never waits for room), its bit in ReadersToRetry and what its transfer is
// made of.
typedef struct _READER {
    PUCHAR Active;
    PUCHAR Throttled;
    UCHAR RetryBit;
    PURB Urb;
    USBD_PIPE_HANDLE Pipe;
    PVOID Buffer;
    ULONG Length;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
} READER;

void StartReader(PDEVICE_CONTEXT DeviceContext, const READER* Reader, READER_START How);
BOOLEAN ReaderPortOpen(PDEVICE_CONTEXT DeviceContext);
void HandleReaderFailure(PDEVICE_CONTEXT DeviceContext, PUCHAR Active);
void RestartStoppedBulkInRead(PDEVICE_CONTEXT DeviceContext);
void RestartStoppedInterruptRead(PDEVICE_CONTEXT DeviceContext);
NTSTATUS EndReaderCompletion(PDEVICE_CONTEXT DeviceContext, PIRP Irp);
