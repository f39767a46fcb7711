// IoBuildSynchronousFsdRequest: read, write, flush and shutdown requests built the
// way the I/O manager builds them for a caller that waits on an event. Buffered
// I/O devices get a system buffer (a write's data copied in, a read's data copied
// back to the caller's buffer at completion); other devices see the caller's buffer
// as UserBuffer. The hosted kernel has no MDLs, so direct I/O devices are refused.
#include "io_internal.h"

#include <algorithm>
#include <cstring>

using namespace kx;
using namespace kx::detail;

namespace {

bool IsTransfer(ULONG majorFunction) {
    return majorFunction == IRP_MJ_READ || majorFunction == IRP_MJ_WRITE;
}

// NT_ERROR: the I/O manager copies a buffered read's data back for success,
// informational and warning statuses alike.
bool IsError(NTSTATUS status) {
    return (static_cast<ULONG>(status) >> 30) == 3;
}

} // namespace

extern "C" {

PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject,
                                        PVOID Buffer, ULONG Length, PLARGE_INTEGER StartingOffset,
                                        PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoBuildSynchronousFsdRequest");
    bool transfer = IsTransfer(MajorFunction);
    if (!transfer && MajorFunction != IRP_MJ_FLUSH_BUFFERS && MajorFunction != IRP_MJ_SHUTDOWN)
        return nullptr;
    if (transfer && (DeviceObject->Flags & DO_DIRECT_IO))
        return nullptr;

    PIRP irp = AllocateIrpAt(DeviceObject->StackSize,
                             reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
    if (irp == nullptr)
        return nullptr;
    irp->RequestorMode = KernelMode;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = static_cast<UCHAR>(MajorFunction);

    if (transfer) {
        next->Parameters.Read.Length = Length;
        next->Parameters.Read.ByteOffset.QuadPart =
            StartingOffset != nullptr ? StartingOffset->QuadPart : 0;
        irp->UserBuffer = Buffer;
        if ((DeviceObject->Flags & DO_BUFFERED_IO) && Length != 0) {
            auto* system = new char[Length]();
            if (MajorFunction == IRP_MJ_WRITE)
                std::memcpy(system, Buffer, Length);
            irp->AssociatedIrp.SystemBuffer = system;
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER |
                         (MajorFunction == IRP_MJ_READ ? IRP_INPUT_OPERATION : 0);
        }
    }

    // At the top: copy a buffered read's data back, fill the status block, signal
    // the event and free the request, as the I/O manager does for the waiting thread.
    SetIrpTopCompletion(irp, [Length](PIRP done) {
        auto* system = static_cast<char*>(done->AssociatedIrp.SystemBuffer);
        if ((done->Flags & IRP_INPUT_OPERATION) && system != nullptr &&
            done->UserBuffer != nullptr && !IsError(done->IoStatus.Status)) {
            size_t n = std::min<size_t>(done->IoStatus.Information, Length);
            std::memcpy(done->UserBuffer, system, n);
        }
        if (done->Flags & IRP_DEALLOCATE_BUFFER)
            delete[] system;
        if (done->UserIosb)
            *done->UserIosb = done->IoStatus;
        PKEVENT event = done->UserEvent;
        IoFreeIrp(done); // before the waiter runs, as for device-control requests
        if (event)
            KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    });
    return irp;
}

} // extern "C"
