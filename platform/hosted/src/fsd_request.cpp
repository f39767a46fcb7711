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
            irp->AssociatedIrp.SystemBuffer =
                NewSystemBuffer(Length, MajorFunction == IRP_MJ_WRITE ? Buffer : nullptr, Length);
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER |
                         (MajorFunction == IRP_MJ_READ ? IRP_INPUT_OPERATION : 0);
        }
    }

    SetThreadedCompletion(irp, transfer ? Length : 0);
    return irp;
}

} // extern "C"
