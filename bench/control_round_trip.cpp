// One device-control round trip: IOCTL_SERIAL_GET_BAUD_RATE through DeviceIoControl
// to the port driver, beside the same request to a driver that completes it at once
// in its dispatch routine (the I/O manager's own cost, the floor).
#include "bench_support.h"

#include <kx/ntddser.h>

namespace {

using namespace win32;

// ---- The floor: a driver that completes every request it gets at once ----

const std::u16string NullDeviceName = u"\\Device\\KorvaxBenchNull";

UNICODE_STRING Counted(const std::u16string& text) {
    UNICODE_STRING s;
    s.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    s.MaximumLength = s.Length;
    s.Buffer = const_cast<PWSTR>(reinterpret_cast<const WCHAR*>(text.c_str()));
    return s;
}

NTSTATUS NTAPI NullDispatch(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    irp->IoStatus.Information = 0;
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
        stack->Parameters.DeviceIoControl.OutputBufferLength >= sizeof(SERIAL_BAUD_RATE)) {
        static_cast<PSERIAL_BAUD_RATE>(irp->AssociatedIrp.SystemBuffer)->BaudRate = 115200;
        irp->IoStatus.Information = sizeof(SERIAL_BAUD_RATE);
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// The hosted kernel takes a driver that still has devices at unload for one that
// forgot them (it checks before the unload routine runs), as for a Plug and Play
// driver: the bench deletes the device before it unloads the driver.
void NTAPI NullUnload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI NullEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_DEVICE_CONTROL})
        driver->MajorFunction[major] = NullDispatch;
    driver->DriverUnload = NullUnload;
    UNICODE_STRING name = Counted(NullDeviceName);
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device);
    if (NT_SUCCESS(status)) {
        device->Flags |= DO_BUFFERED_IO;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    return status;
}

bool GetBaudRate(HANDLE handle) {
    SERIAL_BAUD_RATE rate{};
    DWORD returned = 0;
    return DeviceIoControl(handle, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &rate, sizeof rate,
                           &returned, nullptr) &&
           returned == sizeof rate && rate.BaudRate == 115200;
}

void GetBaudRateFromDriver(benchmark::State& state) {
    bench::PortWorld world;
    if (!world.Ok()) {
        state.SkipWithError("the port did not open");
        return;
    }
    for (auto _ : state) {
        if (!GetBaudRate(world.Port())) {
            state.SkipWithError("IOCTL_SERIAL_GET_BAUD_RATE failed");
            return;
        }
    }
}
BENCHMARK(GetBaudRateFromDriver)->MinTime(1.0)->UseRealTime();

void GetBaudRateFromNullDriver(benchmark::State& state) {
    sim::World world(bench::RealClockWorld());
    NTSTATUS status = STATUS_SUCCESS;
    PDRIVER_OBJECT driver = kx::LoadDriver(NullEntry, u"korvaxbenchnull", &status);
    if (driver == nullptr) {
        state.SkipWithError("the null driver did not load");
        return;
    }
    HANDLE handle =
        CreateFileA("\\\\.\\GLOBALROOT\\Device\\KorvaxBenchNull", GENERIC_READ | GENERIC_WRITE, 0,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        state.SkipWithError("the null device did not open");
    } else {
        for (auto _ : state) {
            if (!GetBaudRate(handle)) {
                state.SkipWithError("the null driver's request failed");
                break;
            }
        }
        CloseHandle(handle);
    }
    while (driver->DeviceObject != nullptr)
        IoDeleteDevice(driver->DeviceObject);
    kx::UnloadDriver(driver);
}
BENCHMARK(GetBaudRateFromNullDriver)->MinTime(1.0)->UseRealTime();

} // namespace
