// What the two readers share: starting a transfer with its accounting, the failure
// path that declares the device lost, and the common end of a completion.
#pragma once

#include "data.h"

void StartReader(PDEVICE_CONTEXT DeviceContext, PUCHAR Active, PURB Urb, USBD_PIPE_HANDLE Pipe,
                 PVOID Buffer, ULONG Length, PIO_COMPLETION_ROUTINE CompletionRoutine);
void HandleReaderFailure(PDEVICE_CONTEXT DeviceContext, PUCHAR Active);
NTSTATUS EndReaderCompletion(PDEVICE_CONTEXT DeviceContext, PIRP Irp);
