// Fuzz target: device-control requests of any code, buffer lengths and input bytes
// on an open port, from an application or from a kernel-mode client at
// DISPATCH_LEVEL. Input: byte 0 the function number, byte 1 the transfer method
// (bits 0-1), whether the request comes from kernel mode at DISPATCH_LEVEL (bit 6)
// and whether bytes 2-5 give the whole control code instead (bit 7),
// bytes 6-7 the output length (little-endian, at most 4096), the rest the input
// buffer. The port keeps its state from one input to the next.
#include "fuzz_port.h"

#include <kx/host.h>
#include <kx/ntddser.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// A kernel-mode client sends the request at DISPATCH_LEVEL, as a driver above the
// port may. A wait for events that still pends once the world has settled is ended
// by a new mask (the IRP is the I/O manager's to free, so it is not cancelled here).
void AtDispatchLevel(fuzz::OpenPort& open, ULONG code, std::vector<uint8_t>& input,
                     std::vector<uint8_t>& output) {
    PDEVICE_OBJECT device = open.modem->FunctionDevice();
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    PIRP irp = IoBuildDeviceIoControlRequest(
        code, device, input.empty() ? nullptr : input.data(), static_cast<ULONG>(input.size()),
        output.empty() ? nullptr : output.data(), static_cast<ULONG>(output.size()), FALSE, &done,
        &ioStatus);
    if (irp == nullptr)
        return;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    kx::RunAtIrql(DISPATCH_LEVEL, [&] { status = IoCallDriver(device, irp); });
    if (status == STATUS_PENDING) {
        open.world->Settle();
        kx::DeliverApcs(); // the end reaches this thread as its APC
        if (KeReadStateEvent(&done) == 0)
            win32::SetCommMask(open.port, 0);
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    if (NT_SUCCESS(status))
        fuzz::Require(ioStatus.Information <= output.size(),
                      "a request returned more than its output buffer");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace win32;
    if (size < 8)
        return 0;
    fuzz::OpenPort& open = fuzz::Port();
    DWORD code = CTL_CODE(FILE_DEVICE_SERIAL_PORT, data[0], data[1] & 3, FILE_ANY_ACCESS);
    if (data[1] & 0x80)
        std::memcpy(&code, data + 2, sizeof code);
    const DWORD outputLength = (data[6] | (data[7] << 8)) % 4097;
    std::vector<uint8_t> input(data + 8, data + size);
    std::vector<uint8_t> output(outputLength);

    if (data[1] & 0x40) {
        AtDispatchLevel(open, code, input, output);
        return 0;
    }
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(
        open.port, code, input.empty() ? nullptr : input.data(), static_cast<DWORD>(input.size()),
        output.empty() ? nullptr : output.data(), outputLength, &returned, &overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING)
        ok = fuzz::Finish(open.port, overlapped, returned);
    if (ok)
        fuzz::Require(returned <= outputLength, "a request returned more than its output buffer");
    CloseHandle(event);

    // Whatever the request did, the port still answers.
    DWORD errors = 0;
    COMSTAT stat{};
    fuzz::Require(ClearCommError(open.port, &errors, &stat) == TRUE,
                  "the port stopped answering ClearCommError");
    return 0;
}
