// Handles to devices as the I/O manager keeps them for applications: file objects
// opened by name, and the read, write, device-control, flush, cleanup and close
// requests it builds for them.
//
// Open: the name is followed through the object namespace (\\.\COM5,
// \DosDevices\COM5, \Device\KORVAXSER0, \\.\GLOBALROOT\Device\KORVAXSER0) to the
// named device object; IRP_MJ_CREATE goes to the top of that device's stack with
// a new FILE_OBJECT whose DeviceObject is the named device. As on Windows the
// I/O manager itself refuses, before any driver sees the request:
//  - a device still initializing (DO_DEVICE_INITIALIZING): STATUS_NO_SUCH_DEVICE;
//  - a second open of an exclusive device (DO_EXCLUSIVE) while a file object for
//    it exists: STATUS_ACCESS_DENIED.
// A failed create leaves nothing behind: no cleanup or close follows it. While the
// file object exists it holds a reference to the named device (its memory stays
// even after IoDeleteDevice) and counts as an open handle of the device's node, so
// that a surprise-removed device gets IRP_MN_REMOVE_DEVICE when its last file
// object goes.
//
// Requests: every request is an IRP the I/O manager allocates with the stack size
// of the device on top, RequestorMode UserMode, the file object in its stack
// location and in Tail.Overlay.OriginalFileObject. DO_BUFFERED_IO devices get a
// system buffer (a write's data copied in, a read's data copied back), other
// devices the caller's buffer as UserBuffer; METHOD_BUFFERED control codes share
// one system buffer for input and output, METHOD_NEITHER ones pass the caller's
// buffers. The hosted kernel has no MDLs: direct I/O is refused with
// STATUS_NOT_SUPPORTED. The handle's access is checked first (a read needs
// FILE_READ_DATA, a write FILE_WRITE_DATA, a control code the access bits it
// names): STATUS_ACCESS_DENIED.
//
// Completion, as the I/O manager reports it, in the thread that issued the request
// (a kernel APC, see kx::DeliverApcs): a buffered read's bytes are copied back,
// exactly IoStatus.Information of them (more than the caller's buffer holds is a
// verifier finding), unless the status is an error; the status block is written and the event
// set unless the request failed with an error without having been left pending
// (the caller then learns the status from the call alone). A file object opened
// for synchronous I/O (FILE_SYNCHRONOUS_IO_NONALERT) serialises its requests: each
// call waits until its request has completed and returns the final status, and a
// second thread's request waits until the first is done. A file object opened for
// asynchronous I/O returns what the driver's dispatch returned; STATUS_PENDING
// means the status block and event report the end later, when the issuing thread
// takes its APCs. System buffers start with the fresh pool pattern, not zeros.
//
// Close: when the handle goes, IRP_MJ_CLEANUP is sent at once (after the
// synchronous request in progress, if any); IRP_MJ_CLOSE follows once no request
// refers to the file object any more: at once when none is left, else from a
// system worker thread after the last one has completed. The requests a handle
// has outstanding are not cancelled by the I/O manager: the driver's cleanup
// does that.
#pragma once

#include <kx/host.h>

#include <memory>
#include <string_view>

#ifndef FO_SYNCHRONOUS_IO
#define FO_SYNCHRONOUS_IO 0x00000002
#endif

// Create dispositions and options (the IRP_MJ_CREATE stack location carries them as
// Parameters.Create.Options = disposition << 24 | options).
#ifndef FILE_OPEN
#define FILE_SUPERSEDE    0x00000000
#define FILE_OPEN         0x00000001
#define FILE_CREATE       0x00000002
#define FILE_OPEN_IF      0x00000003
#define FILE_OVERWRITE    0x00000004
#define FILE_OVERWRITE_IF 0x00000005
#endif
#ifndef FILE_SYNCHRONOUS_IO_NONALERT
#define FILE_SYNCHRONOUS_IO_ALERT    0x00000010
#define FILE_SYNCHRONOUS_IO_NONALERT 0x00000020
#endif

namespace kx {

// What a caller opens: the name, the access it asks for (FILE_READ_DATA,
// FILE_WRITE_DATA; the generic read, write and all rights map to them as for
// files), the disposition and the create options (FILE_SYNCHRONOUS_IO_NONALERT or
// FILE_SYNCHRONOUS_IO_ALERT make a synchronous file object).
struct FileOpen {
    std::u16string_view name;
    ACCESS_MASK desiredAccess = FILE_READ_DATA | FILE_WRITE_DATA;
    ULONG disposition = FILE_OPEN;
    ULONG options = FILE_SYNCHRONOUS_IO_NONALERT;
    USHORT shareAccess = 0;
};

// Opens a file object for the named device. On success *file receives it (one
// handle); on failure it is null and the status says why: STATUS_OBJECT_NAME_NOT_FOUND
// for a name that leads nowhere, the refusals above, or the driver's create status.
// PASSIVE_LEVEL.
NTSTATUS OpenFile(const FileOpen& open, PFILE_OBJECT* file);

// Closes the handle: IRP_MJ_CLEANUP now, IRP_MJ_CLOSE when the last request is
// done. Returns the status of the cleanup. The file object must not be used
// afterwards. PASSIVE_LEVEL.
NTSTATUS CloseFile(PFILE_OBJECT file);

// Where a request reports its end: the status block and the event (either may be
// null). The event is held by eventOwner, which the request keeps until it has
// completed, as the I/O manager references the event object of an overlapped call.
struct IoCompletionTarget {
    PIO_STATUS_BLOCK ioStatus = nullptr;
    PKEVENT event = nullptr;
    std::shared_ptr<void> eventOwner;
};

// The requests, for the calling thread at PASSIVE_LEVEL. The event is cleared
// before the request is sent. Synchronous file objects: the call returns the final
// status, with the status block written as described above. Asynchronous ones: the
// call returns the dispatch status; the caller's buffers must stay valid until the
// request has completed.
NTSTATUS ReadFile(PFILE_OBJECT file, const IoCompletionTarget& target, void* buffer, ULONG length,
                  const LARGE_INTEGER* byteOffset = nullptr);
NTSTATUS WriteFile(PFILE_OBJECT file, const IoCompletionTarget& target, const void* buffer,
                   ULONG length, const LARGE_INTEGER* byteOffset = nullptr);
NTSTATUS DeviceIoControlFile(PFILE_OBJECT file, const IoCompletionTarget& target,
                             ULONG ioControlCode, const void* inputBuffer, ULONG inputLength,
                             void* outputBuffer, ULONG outputLength);
NTSTATUS FlushBuffersFile(PFILE_OBJECT file, const IoCompletionTarget& target);

// Cancels the requests the calling thread has outstanding on the file object
// (IoCancelIrp on each) and waits until every one of them has completed, as
// CancelIo does. Returns STATUS_SUCCESS.
NTSTATUS CancelIoFile(PFILE_OBJECT file);
// What the system does for a thread that exits: cancels every request the calling
// thread has outstanding, on any file object, and waits until they have completed.
void CancelThreadIo();

// Waits on the file object itself: its event is set by each completing request
// that named no event of its own. Timeout as for KeWaitForSingleObject.
NTSTATUS WaitForFile(PFILE_OBJECT file, PLARGE_INTEGER timeout);

// A pause point for race tests: the thread that next completes a request past the
// top of its stack stops there once the I/O manager's part on that thread is done,
// until ReleaseCompletion. WaitCompletionHeld returns once it has stopped.
void HoldNextCompletion();
void WaitCompletionHeld();
void ReleaseCompletion();

// True for a file object opened for synchronous I/O.
bool IsSynchronousFile(PFILE_OBJECT file);

// Requests issued for the file object that have not completed yet.
size_t OutstandingFileRequests(PFILE_OBJECT file);
// File objects that exist (open handles, and closed ones whose IRP_MJ_CLOSE has
// not been sent yet).
size_t FileObjectCount();

} // namespace kx
