// Open, close, cleanup and flush of the port.
#pragma once

#include <driver/frame/frame.h>

DRIVER_DISPATCH DispatchCreate;
DRIVER_DISPATCH DispatchClose;
DRIVER_DISPATCH DispatchCleanup;
DRIVER_DISPATCH DispatchFlushBuffers;
void ResetPortForOpen(PDEVICE_CONTEXT DeviceContext);

// Line settings a freshly opened port starts with.
#define OPEN_BAUD_RATE 460800
#define OPEN_STOP_BITS STOP_BITS_2
#define OPEN_PARITY    NO_PARITY
#define OPEN_DATA_BITS 8
#define OPEN_XON_CHAR  0x11
#define OPEN_XOFF_CHAR 0x13
