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

#endif
