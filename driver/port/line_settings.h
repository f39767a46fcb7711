// Checks and constant answers of the line-settings requests.
#pragma once

#include <driver/frame/frame.h>

// The rates IOCTL_SERIAL_SET_BAUD_RATE accepts. Independent of the SettableBaud bits
// that the port's properties announce.
#define SUPPORTED_BAUD_RATE_COUNT 16
extern const ULONG SUPPORTED_BAUD_RATES[SUPPORTED_BAUD_RATE_COUNT];

BOOLEAN IsSupportedBaudRate(ULONG Rate);
BOOLEAN IsValidDataBits(UCHAR Bits);
// Writes the port's SERIAL_COMMPROP (64 bytes); constant, whatever the settings.
void FillCommProperties(PDEVICE_CONTEXT DeviceContext, PSERIAL_COMMPROP Properties);
