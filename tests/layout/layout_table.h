// The sizes, alignments and field offsets of every structure the driver shares
// with the kernel, the USB stack or the serial API, as one list compiled twice:
// by the windows-x86 build against the DDK's headers (cmake/layout, which stores
// the values in build/windows-x86/layout/layout-windows-x86.bin) and by the
// 32-bit hosted build against the hosted kernel's headers (tests/layout). The
// layout test compares the two row by row.
//
// The driver's own records are in the table too: the hosted kernel allocates the
// device extension by the size the driver asks for, and a 64-bit integer or a
// bit-field placed differently would show there first.
//
// Only the driver's one platform include is used (and the driver's own headers),
// so each side sees exactly what the driver sees. Nothing here may need the C++
// library: the Windows side is compiled as driver code.
#pragma once

#include <driver/data/reader.h>
#include <driver/port/serial.h>
#include <driver/power/power.h>
#include <platform/wdm.h>

// KORVAX_LAYOUT_ROWS(SIZE, ALIGN, OFFSET) expands to one SIZE(type), ALIGN(type) or
// OFFSET(type, member) per row. A member may be a path through nested structures
// and unions or an array element. Bit-fields have no offset: the word that holds
// them is checked by the offsets of the fields around it and the size.
// clang-format off
#define KORVAX_LAYOUT_ROWS(SIZE, ALIGN, OFFSET)                                                    \
    /* Base types */                                                                               \
    SIZE(LARGE_INTEGER) ALIGN(LARGE_INTEGER)                                                       \
    OFFSET(LARGE_INTEGER, HighPart)                                                                \
    SIZE(ULARGE_INTEGER) ALIGN(ULARGE_INTEGER)                                                     \
    SIZE(LONGLONG) SIZE(ULONGLONG)                                                                 \
    SIZE(ULONG_PTR) SIZE(SIZE_T) SIZE(WCHAR) SIZE(BOOLEAN)                                         \
    SIZE(UNICODE_STRING) ALIGN(UNICODE_STRING)                                                     \
    OFFSET(UNICODE_STRING, MaximumLength) OFFSET(UNICODE_STRING, Buffer)                           \
    SIZE(LIST_ENTRY) OFFSET(LIST_ENTRY, Blink)                                                     \
    SIZE(IO_STATUS_BLOCK)                                                                          \
    OFFSET(IO_STATUS_BLOCK, Status) OFFSET(IO_STATUS_BLOCK, Information)                           \
    /* Dispatcher objects, DPCs, locks and work items */                                           \
    SIZE(KSPIN_LOCK) ALIGN(KSPIN_LOCK)                                                             \
    SIZE(DISPATCHER_HEADER) ALIGN(DISPATCHER_HEADER)                                               \
    OFFSET(DISPATCHER_HEADER, Type) OFFSET(DISPATCHER_HEADER, Size)                                \
    OFFSET(DISPATCHER_HEADER, Inserted) OFFSET(DISPATCHER_HEADER, SignalState)                     \
    OFFSET(DISPATCHER_HEADER, WaitListHead)                                                        \
    SIZE(KEVENT) ALIGN(KEVENT)                                                                     \
    SIZE(KTIMER) ALIGN(KTIMER)                                                                     \
    OFFSET(KTIMER, DueTime) OFFSET(KTIMER, TimerListEntry) OFFSET(KTIMER, Dpc)                     \
    OFFSET(KTIMER, Period)                                                                         \
    SIZE(KDPC) ALIGN(KDPC)                                                                         \
    OFFSET(KDPC, Importance) OFFSET(KDPC, Number) OFFSET(KDPC, DpcListEntry)                       \
    OFFSET(KDPC, DeferredRoutine) OFFSET(KDPC, DeferredContext) OFFSET(KDPC, SystemArgument1)      \
    OFFSET(KDPC, SystemArgument2) OFFSET(KDPC, DpcData)                                            \
    SIZE(FAST_MUTEX) ALIGN(FAST_MUTEX)                                                             \
    OFFSET(FAST_MUTEX, Count) OFFSET(FAST_MUTEX, Owner) OFFSET(FAST_MUTEX, Contention)             \
    OFFSET(FAST_MUTEX, Event) OFFSET(FAST_MUTEX, OldIrql)                                          \
    SIZE(WORK_QUEUE_ITEM) ALIGN(WORK_QUEUE_ITEM)                                                   \
    OFFSET(WORK_QUEUE_ITEM, List) OFFSET(WORK_QUEUE_ITEM, WorkerRoutine)                           \
    OFFSET(WORK_QUEUE_ITEM, Parameter)                                                             \
    SIZE(IO_REMOVE_LOCK) ALIGN(IO_REMOVE_LOCK)                                                     \
    OFFSET(IO_REMOVE_LOCK, Common.Removed) OFFSET(IO_REMOVE_LOCK, Common.IoCount)                  \
    OFFSET(IO_REMOVE_LOCK, Common.RemoveEvent)                                                     \
    /* Driver object */                                                                            \
    SIZE(DRIVER_OBJECT) ALIGN(DRIVER_OBJECT)                                                       \
    OFFSET(DRIVER_OBJECT, Size) OFFSET(DRIVER_OBJECT, DeviceObject) OFFSET(DRIVER_OBJECT, Flags)   \
    OFFSET(DRIVER_OBJECT, DriverStart) OFFSET(DRIVER_OBJECT, DriverSize)                           \
    OFFSET(DRIVER_OBJECT, DriverSection) OFFSET(DRIVER_OBJECT, DriverExtension)                    \
    OFFSET(DRIVER_OBJECT, DriverName) OFFSET(DRIVER_OBJECT, HardwareDatabase)                      \
    OFFSET(DRIVER_OBJECT, FastIoDispatch) OFFSET(DRIVER_OBJECT, DriverInit)                        \
    OFFSET(DRIVER_OBJECT, DriverStartIo) OFFSET(DRIVER_OBJECT, DriverUnload)                       \
    OFFSET(DRIVER_OBJECT, MajorFunction[IRP_MJ_CREATE])                                            \
    OFFSET(DRIVER_OBJECT, MajorFunction[IRP_MJ_DEVICE_CONTROL])                                    \
    OFFSET(DRIVER_OBJECT, MajorFunction[IRP_MJ_POWER])                                             \
    OFFSET(DRIVER_OBJECT, MajorFunction[IRP_MJ_PNP])                                               \
    SIZE(DRIVER_EXTENSION)                                                                         \
    OFFSET(DRIVER_EXTENSION, DriverObject) OFFSET(DRIVER_EXTENSION, AddDevice)                     \
    OFFSET(DRIVER_EXTENSION, Count) OFFSET(DRIVER_EXTENSION, ServiceKeyName)                       \
    /* Device object */                                                                            \
    SIZE(DEVICE_OBJECT) ALIGN(DEVICE_OBJECT)                                                       \
    OFFSET(DEVICE_OBJECT, Size) OFFSET(DEVICE_OBJECT, ReferenceCount)                              \
    OFFSET(DEVICE_OBJECT, DriverObject) OFFSET(DEVICE_OBJECT, NextDevice)                          \
    OFFSET(DEVICE_OBJECT, AttachedDevice) OFFSET(DEVICE_OBJECT, CurrentIrp)                        \
    OFFSET(DEVICE_OBJECT, Timer) OFFSET(DEVICE_OBJECT, Flags)                                      \
    OFFSET(DEVICE_OBJECT, Characteristics) OFFSET(DEVICE_OBJECT, Vpb)                              \
    OFFSET(DEVICE_OBJECT, DeviceExtension) OFFSET(DEVICE_OBJECT, DeviceType)                       \
    OFFSET(DEVICE_OBJECT, StackSize) OFFSET(DEVICE_OBJECT, Queue)                                  \
    OFFSET(DEVICE_OBJECT, AlignmentRequirement) OFFSET(DEVICE_OBJECT, DeviceQueue)                 \
    OFFSET(DEVICE_OBJECT, Dpc) OFFSET(DEVICE_OBJECT, ActiveThreadCount)                            \
    OFFSET(DEVICE_OBJECT, SecurityDescriptor) OFFSET(DEVICE_OBJECT, DeviceLock)                    \
    OFFSET(DEVICE_OBJECT, SectorSize) OFFSET(DEVICE_OBJECT, Spare1)                                \
    OFFSET(DEVICE_OBJECT, DeviceObjectExtension) OFFSET(DEVICE_OBJECT, Reserved)                   \
    /* File object */                                                                              \
    SIZE(FILE_OBJECT) ALIGN(FILE_OBJECT)                                                           \
    OFFSET(FILE_OBJECT, Size) OFFSET(FILE_OBJECT, DeviceObject) OFFSET(FILE_OBJECT, Vpb)           \
    OFFSET(FILE_OBJECT, FsContext) OFFSET(FILE_OBJECT, FsContext2)                                 \
    OFFSET(FILE_OBJECT, SectionObjectPointer) OFFSET(FILE_OBJECT, PrivateCacheMap)                 \
    OFFSET(FILE_OBJECT, FinalStatus) OFFSET(FILE_OBJECT, RelatedFileObject)                        \
    OFFSET(FILE_OBJECT, LockOperation) OFFSET(FILE_OBJECT, DeletePending)                          \
    OFFSET(FILE_OBJECT, ReadAccess) OFFSET(FILE_OBJECT, WriteAccess)                               \
    OFFSET(FILE_OBJECT, DeleteAccess) OFFSET(FILE_OBJECT, SharedRead)                              \
    OFFSET(FILE_OBJECT, SharedWrite) OFFSET(FILE_OBJECT, SharedDelete)                             \
    OFFSET(FILE_OBJECT, Flags) OFFSET(FILE_OBJECT, FileName)                                       \
    OFFSET(FILE_OBJECT, CurrentByteOffset) OFFSET(FILE_OBJECT, Waiters) OFFSET(FILE_OBJECT, Busy)  \
    OFFSET(FILE_OBJECT, LastLock) OFFSET(FILE_OBJECT, Lock) OFFSET(FILE_OBJECT, Event)             \
    OFFSET(FILE_OBJECT, CompletionContext) OFFSET(FILE_OBJECT, IrpListLock)                        \
    OFFSET(FILE_OBJECT, IrpList) OFFSET(FILE_OBJECT, FileObjectExtension)                          \
    /* IRP */                                                                                      \
    SIZE(IRP) ALIGN(IRP)                                                                           \
    OFFSET(IRP, Size) OFFSET(IRP, MdlAddress) OFFSET(IRP, Flags)                                   \
    OFFSET(IRP, AssociatedIrp.MasterIrp) OFFSET(IRP, AssociatedIrp.IrpCount)                       \
    OFFSET(IRP, AssociatedIrp.SystemBuffer) OFFSET(IRP, ThreadListEntry)                           \
    OFFSET(IRP, IoStatus.Status) OFFSET(IRP, IoStatus.Information)                                 \
    OFFSET(IRP, RequestorMode) OFFSET(IRP, PendingReturned) OFFSET(IRP, StackCount)                \
    OFFSET(IRP, CurrentLocation) OFFSET(IRP, Cancel) OFFSET(IRP, CancelIrql)                       \
    OFFSET(IRP, ApcEnvironment) OFFSET(IRP, AllocationFlags) OFFSET(IRP, UserIosb)                 \
    OFFSET(IRP, UserEvent) OFFSET(IRP, Overlay.AsynchronousParameters.UserApcRoutine)              \
    OFFSET(IRP, Overlay.AsynchronousParameters.UserApcContext)                                     \
    OFFSET(IRP, Overlay.AllocationSize) OFFSET(IRP, CancelRoutine) OFFSET(IRP, UserBuffer)         \
    OFFSET(IRP, Tail.Overlay.DriverContext[0]) OFFSET(IRP, Tail.Overlay.DriverContext[3])          \
    OFFSET(IRP, Tail.Overlay.Thread) OFFSET(IRP, Tail.Overlay.AuxiliaryBuffer)                     \
    OFFSET(IRP, Tail.Overlay.ListEntry) OFFSET(IRP, Tail.Overlay.CurrentStackLocation)             \
    OFFSET(IRP, Tail.Overlay.PacketType) OFFSET(IRP, Tail.Overlay.OriginalFileObject)             \
    OFFSET(IRP, Tail.Apc) OFFSET(IRP, Tail.CompletionKey)                                          \
    /* IRP stack location: every parameter set the driver, the bus or the kernel uses */          \
    SIZE(IO_STACK_LOCATION) ALIGN(IO_STACK_LOCATION)                                               \
    OFFSET(IO_STACK_LOCATION, MinorFunction) OFFSET(IO_STACK_LOCATION, Flags)                      \
    OFFSET(IO_STACK_LOCATION, Control) OFFSET(IO_STACK_LOCATION, Parameters)                       \
    OFFSET(IO_STACK_LOCATION, Parameters.Create.SecurityContext)                                   \
    OFFSET(IO_STACK_LOCATION, Parameters.Create.Options)                                           \
    OFFSET(IO_STACK_LOCATION, Parameters.Create.FileAttributes)                                    \
    OFFSET(IO_STACK_LOCATION, Parameters.Create.ShareAccess)                                       \
    OFFSET(IO_STACK_LOCATION, Parameters.Create.EaLength)                                          \
    OFFSET(IO_STACK_LOCATION, Parameters.Read.Length)                                              \
    OFFSET(IO_STACK_LOCATION, Parameters.Read.Key)                                                 \
    OFFSET(IO_STACK_LOCATION, Parameters.Read.ByteOffset)                                          \
    OFFSET(IO_STACK_LOCATION, Parameters.Write.Length)                                             \
    OFFSET(IO_STACK_LOCATION, Parameters.Write.Key)                                                \
    OFFSET(IO_STACK_LOCATION, Parameters.Write.ByteOffset)                                         \
    OFFSET(IO_STACK_LOCATION, Parameters.Write.ByteOffset.HighPart)                                \
    OFFSET(IO_STACK_LOCATION, Parameters.DeviceIoControl.OutputBufferLength)                       \
    OFFSET(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength)                        \
    OFFSET(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode)                            \
    OFFSET(IO_STACK_LOCATION, Parameters.DeviceIoControl.Type3InputBuffer)                         \
    OFFSET(IO_STACK_LOCATION, Parameters.QueryDeviceRelations.Type)                                \
    OFFSET(IO_STACK_LOCATION, Parameters.DeviceCapabilities.Capabilities)                          \
    OFFSET(IO_STACK_LOCATION, Parameters.UsageNotification.InPath)                                 \
    OFFSET(IO_STACK_LOCATION, Parameters.UsageNotification.Type)                                   \
    OFFSET(IO_STACK_LOCATION, Parameters.WaitWake.PowerState)                                      \
    OFFSET(IO_STACK_LOCATION, Parameters.Power.SystemContext)                                      \
    OFFSET(IO_STACK_LOCATION, Parameters.Power.Type)                                               \
    OFFSET(IO_STACK_LOCATION, Parameters.Power.State)                                              \
    OFFSET(IO_STACK_LOCATION, Parameters.Power.ShutdownType)                                       \
    OFFSET(IO_STACK_LOCATION, Parameters.StartDevice.AllocatedResources)                           \
    OFFSET(IO_STACK_LOCATION, Parameters.StartDevice.AllocatedResourcesTranslated)                 \
    OFFSET(IO_STACK_LOCATION, Parameters.Others.Argument1)                                         \
    OFFSET(IO_STACK_LOCATION, Parameters.Others.Argument2)                                         \
    OFFSET(IO_STACK_LOCATION, Parameters.Others.Argument3)                                         \
    OFFSET(IO_STACK_LOCATION, Parameters.Others.Argument4)                                         \
    OFFSET(IO_STACK_LOCATION, DeviceObject) OFFSET(IO_STACK_LOCATION, FileObject)                  \
    OFFSET(IO_STACK_LOCATION, CompletionRoutine) OFFSET(IO_STACK_LOCATION, Context)                \
    /* Plug and Play, power and the registry */                                                    \
    SIZE(DEVICE_CAPABILITIES) ALIGN(DEVICE_CAPABILITIES)                                           \
    OFFSET(DEVICE_CAPABILITIES, Version) OFFSET(DEVICE_CAPABILITIES, Address)                      \
    OFFSET(DEVICE_CAPABILITIES, UINumber) OFFSET(DEVICE_CAPABILITIES, DeviceState)                 \
    OFFSET(DEVICE_CAPABILITIES, SystemWake) OFFSET(DEVICE_CAPABILITIES, DeviceWake)                \
    OFFSET(DEVICE_CAPABILITIES, D1Latency) OFFSET(DEVICE_CAPABILITIES, D3Latency)                  \
    SIZE(POWER_STATE) ALIGN(POWER_STATE)                                                           \
    SIZE(SYSTEM_POWER_STATE) SIZE(DEVICE_POWER_STATE) SIZE(POWER_STATE_TYPE) SIZE(POWER_ACTION)    \
    SIZE(DEVICE_RELATION_TYPE)                                                                     \
    SIZE(KEY_VALUE_FULL_INFORMATION)                                                               \
    OFFSET(KEY_VALUE_FULL_INFORMATION, Type) OFFSET(KEY_VALUE_FULL_INFORMATION, DataOffset)        \
    OFFSET(KEY_VALUE_FULL_INFORMATION, DataLength) OFFSET(KEY_VALUE_FULL_INFORMATION, NameLength)  \
    OFFSET(KEY_VALUE_FULL_INFORMATION, Name)                                                       \
    /* URBs the driver builds */                                                                   \
    SIZE(_URB_HEADER)                                                                              \
    OFFSET(_URB_HEADER, Function) OFFSET(_URB_HEADER, Status)                                      \
    OFFSET(_URB_HEADER, UsbdDeviceHandle) OFFSET(_URB_HEADER, UsbdFlags)                           \
    SIZE(_URB_PIPE_REQUEST)                                                                        \
    OFFSET(_URB_PIPE_REQUEST, PipeHandle) OFFSET(_URB_PIPE_REQUEST, Reserved)                      \
    SIZE(_URB_BULK_OR_INTERRUPT_TRANSFER)                                                          \
    OFFSET(_URB_BULK_OR_INTERRUPT_TRANSFER, PipeHandle)                                            \
    OFFSET(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferFlags)                                         \
    OFFSET(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength)                                  \
    OFFSET(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBuffer)                                        \
    OFFSET(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferMDL)                                     \
    OFFSET(_URB_BULK_OR_INTERRUPT_TRANSFER, UrbLink)                                               \
    OFFSET(_URB_BULK_OR_INTERRUPT_TRANSFER, hca)                                                   \
    SIZE(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST)                                                     \
    OFFSET(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferFlags)                                    \
    OFFSET(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBufferLength)                             \
    OFFSET(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBuffer)                                   \
    OFFSET(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBufferMDL)                                \
    OFFSET(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, UrbLink)                                          \
    OFFSET(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, hca)                                              \
    OFFSET(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, RequestTypeReservedBits)                          \
    OFFSET(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Request)                                          \
    OFFSET(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Value)                                            \
    OFFSET(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Index)                                            \
    OFFSET(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Reserved1)                                        \
    SIZE(URB) ALIGN(URB)                                                                           \
    OFFSET(URB, UrbBulkOrInterruptTransfer.TransferBufferLength)                                   \
    /* Serial requests */                                                                          \
    SIZE(SERIAL_BAUD_RATE)                                                                         \
    SIZE(SERIAL_LINE_CONTROL)                                                                      \
    OFFSET(SERIAL_LINE_CONTROL, Parity) OFFSET(SERIAL_LINE_CONTROL, WordLength)                    \
    SIZE(SERIAL_TIMEOUTS)                                                                          \
    OFFSET(SERIAL_TIMEOUTS, ReadTotalTimeoutMultiplier)                                            \
    OFFSET(SERIAL_TIMEOUTS, ReadTotalTimeoutConstant)                                              \
    OFFSET(SERIAL_TIMEOUTS, WriteTotalTimeoutMultiplier)                                           \
    OFFSET(SERIAL_TIMEOUTS, WriteTotalTimeoutConstant)                                             \
    SIZE(SERIAL_QUEUE_SIZE) OFFSET(SERIAL_QUEUE_SIZE, OutSize)                                     \
    SIZE(SERIAL_CHARS)                                                                             \
    OFFSET(SERIAL_CHARS, ErrorChar) OFFSET(SERIAL_CHARS, BreakChar)                                \
    OFFSET(SERIAL_CHARS, EventChar) OFFSET(SERIAL_CHARS, XonChar) OFFSET(SERIAL_CHARS, XoffChar)   \
    SIZE(SERIAL_HANDFLOW)                                                                          \
    OFFSET(SERIAL_HANDFLOW, FlowReplace) OFFSET(SERIAL_HANDFLOW, XonLimit)                         \
    OFFSET(SERIAL_HANDFLOW, XoffLimit)                                                             \
    SIZE(SERIAL_STATUS)                                                                            \
    OFFSET(SERIAL_STATUS, HoldReasons) OFFSET(SERIAL_STATUS, AmountInInQueue)                      \
    OFFSET(SERIAL_STATUS, AmountInOutQueue) OFFSET(SERIAL_STATUS, EofReceived)                     \
    OFFSET(SERIAL_STATUS, WaitForImmediate)                                                        \
    SIZE(SERIALPERF_STATS)                                                                         \
    OFFSET(SERIALPERF_STATS, TransmittedCount) OFFSET(SERIALPERF_STATS, FrameErrorCount)           \
    OFFSET(SERIALPERF_STATS, SerialOverrunErrorCount)                                              \
    OFFSET(SERIALPERF_STATS, BufferOverrunErrorCount) OFFSET(SERIALPERF_STATS, ParityErrorCount)   \
    SIZE(SERIAL_COMMPROP)                                                                          \
    OFFSET(SERIAL_COMMPROP, PacketVersion) OFFSET(SERIAL_COMMPROP, ServiceMask)                    \
    OFFSET(SERIAL_COMMPROP, Reserved1) OFFSET(SERIAL_COMMPROP, MaxTxQueue)                         \
    OFFSET(SERIAL_COMMPROP, MaxRxQueue) OFFSET(SERIAL_COMMPROP, MaxBaud)                           \
    OFFSET(SERIAL_COMMPROP, ProvSubType) OFFSET(SERIAL_COMMPROP, ProvCapabilities)                 \
    OFFSET(SERIAL_COMMPROP, SettableParams) OFFSET(SERIAL_COMMPROP, SettableBaud)                  \
    OFFSET(SERIAL_COMMPROP, SettableData) OFFSET(SERIAL_COMMPROP, SettableStopParity)              \
    OFFSET(SERIAL_COMMPROP, CurrentTxQueue) OFFSET(SERIAL_COMMPROP, CurrentRxQueue)                \
    OFFSET(SERIAL_COMMPROP, ProvSpec1) OFFSET(SERIAL_COMMPROP, ProvSpec2)                          \
    OFFSET(SERIAL_COMMPROP, ProvChar)                                                              \
    /* The driver's own records */                                                                 \
    SIZE(DEVICE_CONTEXT) ALIGN(DEVICE_CONTEXT)                                                     \
    OFFSET(DEVICE_CONTEXT, RemoveLock) OFFSET(DEVICE_CONTEXT, DeviceCapabilities)                  \
    OFFSET(DEVICE_CONTEXT, OpenCount) OFFSET(DEVICE_CONTEXT, Lock)                                 \
    OFFSET(DEVICE_CONTEXT, InterruptUrb) OFFSET(DEVICE_CONTEXT, WriteIrpQueue)                     \
    OFFSET(DEVICE_CONTEXT, IntervalTime) OFFSET(DEVICE_CONTEXT, CutOverAmount)                     \
    OFFSET(DEVICE_CONTEXT, ReadTotalTimer) OFFSET(DEVICE_CONTEXT, ReadTotalDpc)                    \
    OFFSET(DEVICE_CONTEXT, ReadIntervalTimer) OFFSET(DEVICE_CONTEXT, BulkInUrb)                    \
    OFFSET(DEVICE_CONTEXT, RingBuffer) OFFSET(DEVICE_CONTEXT, StateLock)                           \
    OFFSET(DEVICE_CONTEXT, OpenMutex) OFFSET(DEVICE_CONTEXT, NoPendingTransfersEvent)              \
    OFFSET(DEVICE_CONTEXT, BulkInThrottled) OFFSET(DEVICE_CONTEXT, CurrentWriteIrp)                \
    OFFSET(DEVICE_CONTEXT, WriteCancellers) OFFSET(DEVICE_CONTEXT, WriteStopped)                   \
    OFFSET(DEVICE_CONTEXT, ReadersToRetry) OFFSET(DEVICE_CONTEXT, CleanedUp)                       \
    OFFSET(DEVICE_CONTEXT, WriteTotalTimer) OFFSET(DEVICE_CONTEXT, WriteTotalDpc[1])               \
    OFFSET(DEVICE_CONTEXT, WriteTimerWantedDue) OFFSET(DEVICE_CONTEXT, WriteTimedOut)              \
    SIZE(WRITE_TRANSFER) OFFSET(WRITE_TRANSFER, NextBuffer) OFFSET(WRITE_TRANSFER, Handoff)        \
    SIZE(READER) OFFSET(READER, Length) OFFSET(READER, CompletionRoutine)                          \
    SIZE(DEVICE_CONTROL_WORK_ITEM)                                                                 \
    SIZE(POWER_IRP_CONTEXT) OFFSET(POWER_IRP_CONTEXT, RequestedMinor)                              \
    OFFSET(POWER_IRP_CONTEXT, ResumeItem)
// clang-format on

namespace korvax_layout {

#define KORVAX_LAYOUT_SIZE_VALUE(type)           (ULONG)sizeof(type),
#define KORVAX_LAYOUT_ALIGN_VALUE(type)          (ULONG)alignof(type),
#define KORVAX_LAYOUT_OFFSET_VALUE(type, member) (ULONG) __builtin_offsetof(type, member),
#define KORVAX_LAYOUT_SIZE_NAME(type)            "sizeof(" #type ")",
#define KORVAX_LAYOUT_ALIGN_NAME(type)           "alignof(" #type ")",
#define KORVAX_LAYOUT_OFFSET_NAME(type, member)  #type "." #member,

// The values as this compiler lays the structures out, and each row's name.
inline constexpr ULONG kValues[] = {KORVAX_LAYOUT_ROWS(
    KORVAX_LAYOUT_SIZE_VALUE, KORVAX_LAYOUT_ALIGN_VALUE, KORVAX_LAYOUT_OFFSET_VALUE)};
inline constexpr const char* kNames[] = {KORVAX_LAYOUT_ROWS(
    KORVAX_LAYOUT_SIZE_NAME, KORVAX_LAYOUT_ALIGN_NAME, KORVAX_LAYOUT_OFFSET_NAME)};
inline constexpr ULONG kRows = sizeof(kValues) / sizeof(kValues[0]);
static_assert(sizeof(kNames) / sizeof(kNames[0]) == kRows, "one name per row");

// FNV-1a over every row name (each with its terminating zero): a table file made
// from another list of rows is recognized as such instead of being compared
// value by value against the wrong names.
constexpr ULONG RowNamesHash() {
    ULONG hash = 2166136261u;
    for (ULONG row = 0; row < kRows; ++row) {
        const char* name = kNames[row];
        do {
            hash = (hash ^ (unsigned char)*name) * 16777619u;
        } while (*name++ != '\0');
    }
    return hash;
}

// The table file: this header, then kRows values, each a little-endian 32-bit word.
inline constexpr ULONG kMagic = 0x594c584b; // "KXLY"
struct FileHeader {
    ULONG Magic;
    ULONG Rows;
    ULONG NamesHash;
};

} // namespace korvax_layout
