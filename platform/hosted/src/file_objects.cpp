// File objects: what the I/O manager does for an application's handle to a device.
// Open by name, the requests built for a file object and completed back to the
// caller (synchronously or through an event and a status block), CancelIo, and
// the cleanup and close that end a handle.
#include "io_internal.h"
#include "pnp_internal.h"

#include <kx/files.h>
#include <kx/namespace.h>
#include <kx/pnp.h>

#include <algorithm>
#include <cstring>
#include <list>
#include <map>
#include <thread>

namespace kx {

namespace {

// The generic rights, mapped as for files.
constexpr ACCESS_MASK GenericRead = 0x80000000;
constexpr ACCESS_MASK GenericWrite = 0x40000000;
constexpr ACCESS_MASK GenericAll = 0x10000000;

// The IRP allocations of cleanup and close must succeed: a failed one (fault
// injection fails one allocation at a time) is tried again.
constexpr int MustSucceedAttempts = 8;

struct FileRecord;

// One request the I/O manager issued for a file object, from its dispatch until the
// caller has been told of its end.
struct Request {
    PIRP irp = nullptr;
    FileRecord* file = nullptr;
    std::thread::id thread;
    // The issuing thread's APC queue: the caller's part of the completion runs there.
    std::shared_ptr<detail::ApcQueue> apc;
    IoCompletionTarget target;
    // The caller waits for the end (synchronous file object).
    bool synchronous = false;
    ULONG outputLength = 0;
    // Filled at completion.
    IO_STATUS_BLOCK status{};
    // The status block and event are told: the request did not fail at once.
    bool reported = false;
    // The IRP came back to the I/O manager; its APC is queued.
    bool completed = false;
    KEVENT done;
};

struct FileRecord {
    FILE_OBJECT object{};
    std::u16string name;
    PDEVICE_OBJECT device = nullptr;
    std::shared_ptr<DeviceNode> node;
    // The file object's own event, set by completions that named no event.
    KEVENT event;
    // The handle and each request not yet finished.
    int references = 1;
    bool handleOpen = true;
    std::list<std::shared_ptr<Request>> requests;
    // A synchronous file object admits one request (or its cleanup) at a time.
    std::mutex synchronousIo;
    WORK_QUEUE_ITEM closeItem{};
};

std::mutex filesMutex;
std::map<PFILE_OBJECT, std::unique_ptr<FileRecord>> files;

void ReportNotOpen(PFILE_OBJECT file, const char* routine) {
    detail::Report(Rule::InvalidHandle, std::string(routine) + " with file object " +
                                            detail::Hex(file) + ", which is not open");
}

// The record of an open file object, with a reference taken for the caller (which
// gives it back with DropReference, or hands it to a request); null, reported, when
// the handle is not open.
FileRecord* Reference(PFILE_OBJECT file, const char* routine) {
    {
        std::lock_guard<std::mutex> guard(filesMutex);
        auto it = files.find(file);
        if (it != files.end() && it->second->handleOpen) {
            it->second->references++;
            return it->second.get();
        }
    }
    ReportNotOpen(file, routine);
    return nullptr;
}

bool StartsWith(std::u16string_view text, std::u16string_view prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// \??\GLOBALROOT is a link to the root of the namespace: \\.\GLOBALROOT\Device\X
// names \Device\X.
std::u16string ResolveGlobalRoot(std::u16string name) {
    std::u16string upper = detail::CanonicalLinkName(name);
    constexpr std::u16string_view root = u"\\GLOBAL??\\GLOBALROOT";
    if (!StartsWith(upper, root))
        return name;
    // The same characters in the name as given: only the directory alias differs.
    size_t rootEnd = name.size() - (upper.size() - root.size());
    std::u16string rest = name.substr(rootEnd);
    return rest.empty() ? u"\\" : rest;
}

ACCESS_MASK MapGenericAccess(ACCESS_MASK access) {
    if (access & (GenericRead | GenericAll))
        access |= FILE_READ_DATA;
    if (access & (GenericWrite | GenericAll))
        access |= FILE_WRITE_DATA;
    return access;
}

PIRP AllocateFileIrp(PDEVICE_OBJECT top, bool mustSucceed) {
    auto site = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
    for (int attempt = 0; attempt < (mustSucceed ? MustSucceedAttempts : 1); ++attempt) {
        PIRP irp = AllocateIrpAt(top->StackSize, site);
        if (irp != nullptr)
            return irp;
    }
    return nullptr;
}

void PrepareIrp(PIRP irp, FileRecord& file, UCHAR major) {
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = &file.object;
    irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(KeGetCurrentThread());
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->FileObject = &file.object;
}

// Sends a request the I/O manager waits for itself (create, cleanup, close) and
// returns its final status.
NTSTATUS SendAndWait(PDEVICE_OBJECT top, PIRP irp) {
    struct Wait {
        KEVENT done;
        IO_STATUS_BLOCK status{};
    };
    auto wait = std::make_shared<Wait>();
    KeInitializeEvent(&wait->done, NotificationEvent, FALSE);
    SetIrpTopCompletion(irp, [wait](PIRP completed) {
        wait->status = completed->IoStatus;
        IoFreeIrp(completed);
        KeSetEvent(&wait->done, IO_NO_INCREMENT, FALSE);
    });
    IoCallDriver(top, irp);
    KeWaitForSingleObject(&wait->done, Executive, KernelMode, FALSE, nullptr);
    return wait->status.Status;
}

// The last reference is gone: IRP_MJ_CLOSE, then the file object and what it held.
void CloseAndDelete(FileRecord* file) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(file->device);
    PIRP irp = AllocateFileIrp(top, true);
    if (irp != nullptr) {
        PrepareIrp(irp, *file, IRP_MJ_CLOSE);
        SendAndWait(top, irp);
    } else {
        detail::Report(Rule::KernelBugCheck, "no IRP for IRP_MJ_CLOSE of " + ToUtf8(file->name));
    }
    ObDereferenceObject(top);

    PDEVICE_OBJECT device = file->device;
    std::shared_ptr<DeviceNode> node = std::move(file->node);
    {
        std::lock_guard<std::mutex> guard(filesMutex);
        device->ReferenceCount--;
        files.erase(&file->object);
    }
    // The node may go on with a removal that waited for this handle.
    if (node)
        node->HandleClosed();
    ObDereferenceObject(device);
}

void NTAPI DeferredClose(PVOID parameter) {
    CloseAndDelete(static_cast<FileRecord*>(parameter));
}

// The last reference went in a completion, possibly at DISPATCH_LEVEL and inside
// a driver's routine: the close is the system's work, done on a worker thread.
void QueueDeferredClose(FileRecord* file) {
    ExInitializeWorkItem(&file->closeItem, DeferredClose, file);
    detail::ThreadState& self = detail::Self();
    // Not the work of the driver whose completion runs, nor of its request.
    auto frames = std::move(self.dispatchFrames);
    self.dispatchFrames.clear();
    {
        detail::DriverScope scope(nullptr);
        ExQueueWorkItem(&file->closeItem, DelayedWorkQueue);
    }
    self.dispatchFrames = std::move(frames);
}

// Drops one reference taken for the handle or a request; the last one closes the
// file object now (handle close at PASSIVE_LEVEL) or on a worker (completion).
void DropReference(FileRecord* file, bool fromCompletion) {
    bool last;
    {
        std::lock_guard<std::mutex> guard(filesMutex);
        last = --file->references == 0;
    }
    if (!last)
        return;
    if (fromCompletion || KeGetCurrentIrql() != PASSIVE_LEVEL)
        QueueDeferredClose(file);
    else
        CloseAndDelete(file);
}

// Writes a status block the caller may be polling (HasOverlappedIoCompleted): the
// information first, then the status as one word, zero-extended as the 64-bit
// platform leaves it.
void WriteStatusBlock(PIO_STATUS_BLOCK target, const IO_STATUS_BLOCK& status) {
    __atomic_store_n(&target->Information, status.Information, __ATOMIC_RELAXED);
    auto word = static_cast<ULONG_PTR>(static_cast<ULONG>(status.Status));
    __atomic_store_n(reinterpret_cast<ULONG_PTR*>(&target->Pointer), word, __ATOMIC_RELEASE);
}

// The request is over for the I/O manager: the IRP goes, the file object's
// reference goes, then the caller is told (so that a caller who closes its handle
// as soon as it learns of the end finds no request left). A request that reports
// on the file object's own event sets it while it still holds the file object.
void Finish(const std::shared_ptr<Request>& request) {
    FileRecord* file = request->file;
    IoFreeIrp(request->irp);
    request->irp = nullptr;
    {
        std::lock_guard<std::mutex> guard(filesMutex);
        file->requests.remove(request);
    }
    bool toCaller = !request->synchronous && request->reported;
    bool toFile = toCaller && request->target.event == nullptr;
    if (toFile) {
        if (request->target.ioStatus != nullptr)
            WriteStatusBlock(request->target.ioStatus, request->status);
        KeSetEvent(&file->event, IO_NO_INCREMENT, FALSE);
    }
    DropReference(file, true);

    if (toCaller && !toFile) {
        if (request->target.ioStatus != nullptr)
            WriteStatusBlock(request->target.ioStatus, request->status);
        KeSetEvent(request->target.event, IO_NO_INCREMENT, FALSE);
    }
    request->target.eventOwner.reset();
    // A synchronous caller, or CancelIo, waits for this.
    KeSetEvent(&request->done, IO_NO_INCREMENT, FALSE);
}

// The issuing thread's part of the completion (its APC): buffered output copied
// back, exactly Information bytes as the platform copies them, then Finish.
void CompleteInCaller(const std::shared_ptr<Request>& request) {
    PIRP irp = request->irp;
    NTSTATUS status = irp->IoStatus.Status;
    bool error = NT_ERROR(status);
    auto* system = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
    if (irp->Flags & IRP_BUFFERED_IO) {
        if ((irp->Flags & IRP_INPUT_OPERATION) && !error && system != nullptr &&
            irp->UserBuffer != nullptr) {
            size_t n = CheckedOutputLength(irp, request->outputLength);
            std::memcpy(irp->UserBuffer, system, n);
        }
        if (irp->Flags & IRP_DEALLOCATE_BUFFER) {
            FreeSystemBuffer(system);
            irp->AssociatedIrp.SystemBuffer = nullptr;
        }
    }
    {
        std::lock_guard<std::mutex> guard(filesMutex);
        request->status = irp->IoStatus;
        // A request failed at once was never pending: its caller learns the status
        // from the call, and the status block and event stay as they were.
        request->reported = !error || irp->PendingReturned;
    }
    Finish(request);
}

// A pause point for race tests: the processor that completes the next request
// stops once its part of the completion is done.
struct CompletionHold {
    std::mutex mutex;
    std::condition_variable changed;
    bool armed = false;
    bool held = false;
} completionHold;

void HoldIfArmed() {
    std::unique_lock<std::mutex> lock(completionHold.mutex);
    if (!completionHold.armed)
        return;
    completionHold.armed = false;
    completionHold.held = true;
    completionHold.changed.notify_all();
    BlockUntil(
        lock, completionHold.changed, [] { return !completionHold.held; },
        "the test to release the completion");
}

// What the I/O manager does on the processor that completed the request past the
// top of the stack: nothing the caller can see. The rest is queued to the issuing
// thread.
void CompleteAtTop(const std::shared_ptr<Request>& request) {
    {
        std::lock_guard<std::mutex> guard(filesMutex);
        request->completed = true;
    }
    detail::QueueApc(request->apc, [request] { CompleteInCaller(request); });
    HoldIfArmed();
}

// The common path of every request: the file object's serialisation, the IRP, the
// bookkeeping and the wait of a synchronous caller.
template <typename Fill>
NTSTATUS Issue(PFILE_OBJECT fileObject, const IoCompletionTarget& target, UCHAR major,
               const char* routine, ULONG outputLength, Fill fill) {
    detail::RequireIrqlAtMost(PASSIVE_LEVEL, routine);
    kx::DeliverApcs();
    // The reference taken here becomes the request's.
    FileRecord* file = Reference(fileObject, routine);
    if (file == nullptr)
        return STATUS_INVALID_HANDLE;
    bool synchronous = (file->object.Flags & FO_SYNCHRONOUS_IO) != 0;
    std::unique_lock<std::mutex> serial(file->synchronousIo, std::defer_lock);
    if (synchronous)
        serial.lock();

    if (target.event != nullptr)
        KeClearEvent(target.event);
    KeClearEvent(&file->event);

    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(file->device);
    PIRP irp = AllocateFileIrp(top, false);
    NTSTATUS refused = STATUS_INSUFFICIENT_RESOURCES;
    if (irp != nullptr) {
        PrepareIrp(irp, *file, major);
        refused = fill(irp, top, IoGetNextIrpStackLocation(irp));
        if (!NT_SUCCESS(refused)) {
            if (irp->Flags & IRP_DEALLOCATE_BUFFER)
                FreeSystemBuffer(irp->AssociatedIrp.SystemBuffer);
            IoFreeIrp(irp);
        }
    }
    if (!NT_SUCCESS(refused)) {
        ObDereferenceObject(top);
        if (serial.owns_lock())
            serial.unlock();
        DropReference(file, false);
        return refused;
    }

    auto request = std::make_shared<Request>();
    request->irp = irp;
    request->file = file;
    request->thread = std::this_thread::get_id();
    request->apc = detail::CurrentApcQueue();
    request->target = target;
    request->synchronous = synchronous;
    request->outputLength = outputLength;
    KeInitializeEvent(&request->done, NotificationEvent, FALSE);
    {
        std::lock_guard<std::mutex> guard(filesMutex);
        file->requests.push_back(request);
    }
    SetIrpTopCompletion(irp, [request](PIRP) { CompleteAtTop(request); });

    NTSTATUS status = IoCallDriver(top, irp);
    ObDereferenceObject(top);
    if (!synchronous)
        return status;

    // A synchronous caller returns once its request is over, whatever the dispatch
    // returned.
    KeWaitForSingleObject(&request->done, Executive, KernelMode, FALSE, nullptr);
    if (status == STATUS_PENDING)
        status = request->status.Status;
    if (request->reported) {
        if (target.ioStatus != nullptr)
            WriteStatusBlock(target.ioStatus, request->status);
        if (target.event != nullptr)
            KeSetEvent(target.event, IO_NO_INCREMENT, FALSE);
    }
    return status;
}

// A buffered transfer gets a system buffer; a device with neither buffered nor
// direct I/O sees the caller's buffer.
NTSTATUS DescribeTransfer(PIRP irp, PDEVICE_OBJECT top, void* userBuffer, const void* data,
                          ULONG length, bool input) {
    irp->UserBuffer = userBuffer;
    if (top->Flags & DO_DIRECT_IO)
        return STATUS_NOT_SUPPORTED;
    if ((top->Flags & DO_BUFFERED_IO) && length != 0) {
        irp->AssociatedIrp.SystemBuffer = NewSystemBuffer(length, data, data ? length : 0);
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (input ? IRP_INPUT_OPERATION : 0);
    }
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS OpenFile(const FileOpen& open, PFILE_OBJECT* fileObject) {
    detail::RequireIrqlAtMost(PASSIVE_LEVEL, "OpenFile");
    kx::DeliverApcs();
    *fileObject = nullptr;
    std::u16string name = ResolveGlobalRoot(ObjectManagerName(open.name));
    PDEVICE_OBJECT device = OpenTarget(name);
    if (device == nullptr)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    ObReferenceObject(device);

    auto record = std::make_unique<FileRecord>();
    FileRecord* file = record.get();
    NTSTATUS refused = STATUS_SUCCESS;
    {
        std::lock_guard<std::mutex> guard(filesMutex);
        if (device->Flags & DO_DEVICE_INITIALIZING) {
            refused = STATUS_NO_SUCH_DEVICE;
        } else if ((device->Flags & DO_EXCLUSIVE) && device->ReferenceCount != 0) {
            refused = STATUS_ACCESS_DENIED;
        } else {
            // Counted now, so that a second open of an exclusive device is refused
            // even while this create is still in the driver.
            device->ReferenceCount++;
            files[&file->object] = std::move(record);
        }
    }
    if (!NT_SUCCESS(refused)) {
        ObDereferenceObject(device);
        return refused;
    }
    ACCESS_MASK access = MapGenericAccess(open.desiredAccess);
    file->name = std::u16string(open.name);
    file->device = device;
    file->node = FindDeviceNode(device);
    KeInitializeEvent(&file->event, NotificationEvent, FALSE);
    file->object.Type = IO_TYPE_FILE;
    file->object.Size = sizeof(FILE_OBJECT);
    file->object.DeviceObject = device;
    file->object.ReadAccess = (access & FILE_READ_DATA) ? TRUE : FALSE;
    file->object.WriteAccess = (access & FILE_WRITE_DATA) ? TRUE : FALSE;
    if (open.options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT))
        file->object.Flags |= FO_SYNCHRONOUS_IO;

    auto undo = [&] {
        std::lock_guard<std::mutex> guard(filesMutex);
        device->ReferenceCount--;
        files.erase(&file->object);
    };
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    PIRP irp = AllocateFileIrp(top, false);
    if (irp == nullptr) {
        ObDereferenceObject(top);
        undo();
        ObDereferenceObject(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PrepareIrp(irp, *file, IRP_MJ_CREATE);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->Parameters.Create.Options = (open.disposition << 24) | (open.options & 0x00FFFFFF);
    stack->Parameters.Create.ShareAccess = open.shareAccess;
    NTSTATUS status = SendAndWait(top, irp);
    ObDereferenceObject(top);
    if (!NT_SUCCESS(status)) {
        // A failed create is not cleaned up or closed: the file object just goes.
        undo();
        ObDereferenceObject(device);
        return status;
    }
    if (file->node)
        file->node->HandleOpened();
    *fileObject = &file->object;
    return status;
}

NTSTATUS CloseFile(PFILE_OBJECT fileObject) {
    detail::RequireIrqlAtMost(PASSIVE_LEVEL, "CloseFile");
    kx::DeliverApcs();
    FileRecord* file = nullptr;
    {
        std::lock_guard<std::mutex> guard(filesMutex);
        auto it = files.find(fileObject);
        if (it != files.end() && it->second->handleOpen) {
            file = it->second.get();
            file->handleOpen = false;
        }
    }
    if (file == nullptr) {
        ReportNotOpen(fileObject, "CloseFile");
        return STATUS_INVALID_HANDLE;
    }
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    {
        // Cleanup waits for the synchronous request in progress, as on Windows.
        std::unique_lock<std::mutex> serial(file->synchronousIo, std::defer_lock);
        if (file->object.Flags & FO_SYNCHRONOUS_IO)
            serial.lock();
        PDEVICE_OBJECT top = IoGetAttachedDeviceReference(file->device);
        PIRP irp = AllocateFileIrp(top, true);
        if (irp != nullptr) {
            PrepareIrp(irp, *file, IRP_MJ_CLEANUP);
            status = SendAndWait(top, irp);
        } else {
            detail::Report(Rule::KernelBugCheck,
                           "no IRP for IRP_MJ_CLEANUP of " + ToUtf8(file->name));
        }
        ObDereferenceObject(top);
    }
    DropReference(file, false);
    return status;
}

NTSTATUS ReadFile(PFILE_OBJECT file, const IoCompletionTarget& target, void* buffer, ULONG length,
                  const LARGE_INTEGER* byteOffset) {
    return Issue(file, target, IRP_MJ_READ, "ReadFile", length,
                 [&](PIRP irp, PDEVICE_OBJECT top, PIO_STACK_LOCATION stack) {
                     if (!irp->Tail.Overlay.OriginalFileObject->ReadAccess)
                         return STATUS_ACCESS_DENIED;
                     stack->Parameters.Read.Length = length;
                     stack->Parameters.Read.ByteOffset.QuadPart =
                         byteOffset != nullptr ? byteOffset->QuadPart : 0;
                     return DescribeTransfer(irp, top, buffer, nullptr, length, true);
                 });
}

NTSTATUS WriteFile(PFILE_OBJECT file, const IoCompletionTarget& target, const void* buffer,
                   ULONG length, const LARGE_INTEGER* byteOffset) {
    return Issue(file, target, IRP_MJ_WRITE, "WriteFile", 0,
                 [&](PIRP irp, PDEVICE_OBJECT top, PIO_STACK_LOCATION stack) {
                     if (!irp->Tail.Overlay.OriginalFileObject->WriteAccess)
                         return STATUS_ACCESS_DENIED;
                     stack->Parameters.Write.Length = length;
                     stack->Parameters.Write.ByteOffset.QuadPart =
                         byteOffset != nullptr ? byteOffset->QuadPart : 0;
                     return DescribeTransfer(irp, top, const_cast<void*>(buffer), buffer, length,
                                             false);
                 });
}

NTSTATUS DeviceIoControlFile(PFILE_OBJECT file, const IoCompletionTarget& target,
                             ULONG ioControlCode, const void* inputBuffer, ULONG inputLength,
                             void* outputBuffer, ULONG outputLength) {
    return Issue(file, target, IRP_MJ_DEVICE_CONTROL, "DeviceIoControlFile", outputLength,
                 [&](PIRP irp, PDEVICE_OBJECT, PIO_STACK_LOCATION stack) {
                     PFILE_OBJECT object = irp->Tail.Overlay.OriginalFileObject;
                     ULONG access = (ioControlCode >> 14) & 3;
                     if (((access & FILE_READ_ACCESS) && !object->ReadAccess) ||
                         ((access & FILE_WRITE_ACCESS) && !object->WriteAccess))
                         return STATUS_ACCESS_DENIED;
                     stack->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
                     stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
                     stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
                     irp->UserBuffer = outputBuffer;
                     switch (METHOD_FROM_CTL_CODE(ioControlCode)) {
                     case METHOD_BUFFERED: {
                         ULONG size = std::max(inputLength, outputLength);
                         if (size != 0) {
                             irp->AssociatedIrp.SystemBuffer =
                                 NewSystemBuffer(size, inputBuffer, inputBuffer ? inputLength : 0);
                             irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER |
                                           (outputLength != 0 ? IRP_INPUT_OPERATION : 0);
                         }
                         return STATUS_SUCCESS;
                     }
                     case METHOD_NEITHER:
                         stack->Parameters.DeviceIoControl.Type3InputBuffer =
                             const_cast<void*>(inputBuffer);
                         return STATUS_SUCCESS;
                     default:
                         return STATUS_NOT_SUPPORTED;
                     }
                 });
}

NTSTATUS FlushBuffersFile(PFILE_OBJECT file, const IoCompletionTarget& target) {
    return Issue(file, target, IRP_MJ_FLUSH_BUFFERS, "FlushBuffersFile", 0,
                 [](PIRP, PDEVICE_OBJECT, PIO_STACK_LOCATION) { return STATUS_SUCCESS; });
}

// IoCancelIrp on each of the calling thread's requests that `offer` hands to its
// argument (called under filesMutex), then, as the platform's CancelIo, a wait until
// they have ended, taking their completions as they come. At APC_LEVEL the thread's
// completions cannot run and free the IRPs being cancelled; they run once it is
// back at PASSIVE_LEVEL.
template <typename Offer> void CancelOwnRequests(const Offer& offer) {
    KIRQL irql;
    KeRaiseIrql(APC_LEVEL, &irql);
    std::vector<std::shared_ptr<Request>> mine;
    {
        std::lock_guard<std::mutex> guard(filesMutex);
        offer([&](const std::shared_ptr<Request>& request) {
            if (request->thread == std::this_thread::get_id())
                mine.push_back(request);
        });
    }
    for (const auto& request : mine)
        IoCancelIrp(request->irp);
    KeLowerIrql(irql);
    for (const auto& request : mine)
        KeWaitForSingleObject(&request->done, Executive, KernelMode, FALSE, nullptr);
}

NTSTATUS CancelIoFile(PFILE_OBJECT fileObject) {
    detail::RequireIrqlAtMost(PASSIVE_LEVEL, "CancelIoFile");
    kx::DeliverApcs();
    FileRecord* file = Reference(fileObject, "CancelIoFile");
    if (file == nullptr)
        return STATUS_INVALID_HANDLE;
    CancelOwnRequests([&](const auto& take) {
        for (const auto& request : file->requests)
            take(request);
    });
    DropReference(file, false);
    return STATUS_SUCCESS;
}

// The thread rundown's part of the I/O manager: IoCancelIrp on each request the
// thread still has outstanding, on any file object, then the wait for their ends
// ("Canceling IRPs" (WDK): the I/O manager cancels the IRPs of a thread that
// exits; CancelIo (Win32) is the same for one handle).
void CancelThreadIo() {
    detail::RequireIrqlAtMost(PASSIVE_LEVEL, "CancelThreadIo");
    kx::DeliverApcs();
    CancelOwnRequests([&](const auto& take) {
        for (const auto& entry : files) {
            for (const auto& request : entry.second->requests)
                take(request);
        }
    });
}

NTSTATUS WaitForFile(PFILE_OBJECT fileObject, PLARGE_INTEGER timeout) {
    kx::DeliverApcs();
    FileRecord* file = Reference(fileObject, "WaitForFile");
    if (file == nullptr)
        return STATUS_INVALID_HANDLE;
    NTSTATUS status = KeWaitForSingleObject(&file->event, Executive, UserMode, FALSE, timeout);
    DropReference(file, false);
    return status;
}

bool IsSynchronousFile(PFILE_OBJECT fileObject) {
    std::lock_guard<std::mutex> guard(filesMutex);
    auto it = files.find(fileObject);
    return it != files.end() && (it->second->object.Flags & FO_SYNCHRONOUS_IO) != 0;
}

size_t OutstandingFileRequests(PFILE_OBJECT fileObject) {
    std::lock_guard<std::mutex> guard(filesMutex);
    auto it = files.find(fileObject);
    return it == files.end() ? 0 : it->second->requests.size();
}

void HoldNextCompletion() {
    std::lock_guard<std::mutex> guard(completionHold.mutex);
    completionHold.armed = true;
}

void WaitCompletionHeld() {
    std::unique_lock<std::mutex> lock(completionHold.mutex);
    BlockUntil(
        lock, completionHold.changed, [] { return completionHold.held; },
        "a completion to be held");
}

void ReleaseCompletion() {
    std::lock_guard<std::mutex> guard(completionHold.mutex);
    completionHold.held = false;
    completionHold.changed.notify_all();
}

size_t FileObjectCount() {
    std::lock_guard<std::mutex> guard(filesMutex);
    return files.size();
}

namespace detail {

void ShutdownFiles() {
    std::vector<std::unique_ptr<FileRecord>> left;
    {
        std::lock_guard<std::mutex> guard(filesMutex);
        for (auto& entry : files)
            left.push_back(std::move(entry.second));
        files.clear();
    }
    for (const auto& file : left) {
        Report(Rule::HandleLeak, "shutdown with a file object for " + ToUtf8(file->name) +
                                     " still open (" + std::to_string(file->requests.size()) +
                                     " request(s) outstanding)");
        // The device's memory waited for this reference alone.
        ObDereferenceObject(file->device);
    }
}

void ResetFiles() {
    std::lock_guard<std::mutex> guard(filesMutex);
    files.clear();
}

} // namespace detail
} // namespace kx
