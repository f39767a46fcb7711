// What the two readers share: starting a transfer with its accounting, the failure
// path that declares the device lost, and the common end of a completion.
#pragma once

#include "data.h"

// Why a reader's transfer is being started. A start (open, wake) leaves a reader
// that is already running alone; a completion re-issues its own transfer; a resume
// starts only a receive engine that stopped for lack of room in the ring.
typedef enum _READER_START {
    ReaderStart,
    ReaderReissue,
    ReaderResume,
} READER_START;

// One reader: its state words in the device context (Throttled is NULL for a reader
// that never waits for room) and what its transfer is made of.
typedef struct _READER {
    PUCHAR Active;
    PUCHAR Throttled;
    PURB Urb;
    USBD_PIPE_HANDLE Pipe;
    PVOID Buffer;
    ULONG Length;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
} READER;

void StartReader(PDEVICE_CONTEXT DeviceContext, const READER* Reader, READER_START How);
BOOLEAN ReaderPortOpen(PDEVICE_CONTEXT DeviceContext);
void HandleReaderFailure(PDEVICE_CONTEXT DeviceContext, PUCHAR Active);
NTSTATUS EndReaderCompletion(PDEVICE_CONTEXT DeviceContext, PIRP Irp);
