// The one platform include of driver code. The Windows build sees the DDK's own
// headers; the hosted build sees the hosted kernel's declarations of the same names.
#pragma once

#if defined(KORVAX_HOSTED)

#include <kx/wdm.h>

#else

// mingw-w64's wdm.h tests NTDDI_WINVISTA, which its sdkddkver.h never defines, and
// redefines two interlocked intrinsics that intrin.h already provides in C++.
#ifndef NTDDI_WINVISTA
#define NTDDI_WINVISTA 0x06000000
#endif
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

#include <ddk/wdm.h>
#include <usb.h>
#include <usbdi.h>
#include <usbioctl.h>
#include <ntddser.h>

// Serial interface values that mingw-w64's ntddser.h leaves out.
#ifndef SERIAL_MSR_DCD
#define SERIAL_MSR_DCTS 0x01
#define SERIAL_MSR_DDSR 0x02
#define SERIAL_MSR_TERI 0x04
#define SERIAL_MSR_DDCD 0x08
#define SERIAL_MSR_CTS 0x10
#define SERIAL_MSR_DSR 0x20
#define SERIAL_MSR_RI 0x40
#define SERIAL_MSR_DCD 0x80
#endif
#ifndef IOCTL_SERIAL_GET_COMMCONFIG
#define IOCTL_SERIAL_GET_COMMCONFIG CTL_CODE(FILE_DEVICE_SERIAL_PORT, 33, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_SET_COMMCONFIG CTL_CODE(FILE_DEVICE_SERIAL_PORT, 34, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif

// The kernel's own string routines, exported by ntoskrnl; the C library's headers
// are not part of a driver build.
extern "C" int __cdecl swprintf(wchar_t* Buffer, const wchar_t* Format, ...);

#endif
