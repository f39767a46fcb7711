// File objects: the I/O manager's own refusals at open, buffered reads and their
// completion to the caller, overlapped completion through an event and a status
// block, CancelIo, and the cleanup and close that end a handle.
#include <kx/files.h>
#include <kx/host.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// The test driver: records the major code and device of every request, and
// completes it with the scripted status (a read with bytes 0x11, 0x22, ...), or
// keeps a read pending with a cancel routine when asked to.
struct DriverScript {
    std::mutex mutex;
    std::vector<std::pair<UCHAR, PDEVICE_OBJECT>> seen;
    std::deque<PIRP> pending;
    bool pendReads = false;
    NTSTATUS status[IRP_MJ_MAXIMUM_FUNCTION + 1] = {};

    std::vector<UCHAR> Majors() {
        std::lock_guard<std::mutex> guard(mutex);
        std::vector<UCHAR> majors;
        for (const auto& s : seen)
            majors.push_back(s.first);
        return majors;
    }
} script;

void Reply(PIRP Irp, NTSTATUS status) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG n = stack->MajorFunction == IRP_MJ_READ ? stack->Parameters.Read.Length : 0;
    for (ULONG i = 0; i < n; ++i)
        static_cast<uint8_t*>(Irp->AssociatedIrp.SystemBuffer)[i] = uint8_t(0x11 * (i + 1));
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = n;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

void NTAPI CancelPending(PDEVICE_OBJECT, PIRP Irp) {
    {
        std::lock_guard<std::mutex> guard(script.mutex);
        script.pending.erase(std::find(script.pending.begin(), script.pending.end(), Irp));
    }
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    Irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI TestDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    const UCHAR major = IoGetCurrentIrpStackLocation(Irp)->MajorFunction;
    std::unique_lock<std::mutex> lock(script.mutex);
    script.seen.emplace_back(major, DeviceObject);
    NTSTATUS status = script.status[major];
    if (major != IRP_MJ_READ || !script.pendReads) {
        lock.unlock();
        Reply(Irp, status);
        return status;
    }
    IoMarkIrpPending(Irp);
    script.pending.push_back(Irp);
    lock.unlock();
    IoSetCancelRoutine(Irp, CancelPending);
    EXPECT_FALSE(Irp->Cancel);
    return STATUS_PENDING;
}

NTSTATUS NTAPI TestEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
    for (auto& slot : Driver->MajorFunction)
        slot = TestDispatch;
    return STATUS_SUCCESS;
}

class FileObjectTest : public ::testing::Test {
  protected:
    void SetUp() override {
        script.seen.clear();
        script.pending.clear();
        script.pendReads = false;
        std::fill(std::begin(script.status), std::end(script.status), STATUS_SUCCESS);
        driver_ = kx::LoadDriver(TestEntry, u"FileTest", nullptr);
        device_ = CreateDevice(u"\\Device\\FileTest0", FALSE);
    }

    void TearDown() override {
        kx::DrainWorkItems();
        EXPECT_EQ(kx::FileObjectCount(), 0u);
        while (driver_->DeviceObject != nullptr)
            IoDeleteDevice(driver_->DeviceObject);
        kx::UnloadDriver(driver_);
    }

    PDEVICE_OBJECT CreateDevice(const char16_t* name, BOOLEAN exclusive) {
        UNICODE_STRING deviceName;
        RtlInitUnicodeString(&deviceName, name);
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(
            IoCreateDevice(driver_, 0, &deviceName, FILE_DEVICE_UNKNOWN, 0, exclusive, &device),
            STATUS_SUCCESS);
        device->Flags |= DO_BUFFERED_IO;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        return device;
    }

    NTSTATUS Open(std::u16string_view name, PFILE_OBJECT* file, ULONG options = 0) {
        kx::FileOpen open;
        open.name = name;
        open.options = options;
        *file = nullptr;
        return kx::OpenFile(open, file);
    }

    // Takes the oldest kept read back from its cancel routine, as a lower driver
    // about to complete it does.
    void TakePending(PIRP* irp) {
        std::lock_guard<std::mutex> guard(script.mutex);
        ASSERT_FALSE(script.pending.empty());
        *irp = script.pending.front();
        script.pending.pop_front();
        ASSERT_NE(IoSetCancelRoutine(*irp, nullptr), nullptr);
    }

    // Completes the oldest kept read from a DPC thread, as a lower driver's
    // completion would.
    void CompletePending(NTSTATUS status) {
        PIRP irp = nullptr;
        TakePending(&irp);
        if (HasFatalFailure())
            return;
        kx::QueueAtDispatch([irp, status] { Reply(irp, status); });
        kx::DrainDispatchQueue();
    }

    kx::Kernel kernel_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
};

TEST_F(FileObjectTest, TheIoManagerRefusesBeforeTheDriverAndAFailedCreateLeavesNothing) {
    PFILE_OBJECT file;
    device_->Flags |= DO_DEVICE_INITIALIZING;
    EXPECT_EQ(Open(u"\\Device\\FileTest0", &file), STATUS_NO_SUCH_DEVICE);
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
    EXPECT_TRUE(script.Majors().empty());

    // A second open of an exclusive device, until the first handle is gone.
    PDEVICE_OBJECT exclusive = CreateDevice(u"\\Device\\FileTestX", TRUE);
    PFILE_OBJECT first;
    ASSERT_EQ(Open(u"\\Device\\FileTestX", &first), STATUS_SUCCESS);
    EXPECT_EQ(exclusive->ReferenceCount, 1);
    EXPECT_EQ(Open(u"\\Device\\FileTestX", &file), STATUS_ACCESS_DENIED);
    EXPECT_EQ(script.Majors(), std::vector<UCHAR>{IRP_MJ_CREATE});
    kx::CloseFile(first);
    EXPECT_EQ(exclusive->ReferenceCount, 0);
    ASSERT_EQ(Open(u"\\Device\\FileTestX", &file), STATUS_SUCCESS);
    kx::CloseFile(file);

    // A create the driver fails is neither cleaned up nor closed.
    script.seen.clear();
    script.status[IRP_MJ_CREATE] = STATUS_ACCESS_DENIED;
    EXPECT_EQ(Open(u"\\Device\\FileTest0", &file), STATUS_ACCESS_DENIED);
    EXPECT_EQ(script.Majors(), std::vector<UCHAR>{IRP_MJ_CREATE});
    EXPECT_EQ(kx::FileObjectCount(), 0u);
    EXPECT_EQ(device_->ReferenceCount, 0);
}

TEST_F(FileObjectTest, ABufferedReadCopiesBackAndReportsOnlyWithoutAnErrorAtOnce) {
    PFILE_OBJECT file;
    ASSERT_EQ(Open(u"\\Device\\FileTest0", &file, FILE_SYNCHRONOUS_IO_NONALERT), STATUS_SUCCESS);
    uint8_t buffer[6] = {};
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(kx::ReadFile(file, {&iosb, nullptr, nullptr}, buffer, sizeof buffer), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 6u);
    EXPECT_EQ(buffer[0], 0x11);
    EXPECT_EQ(buffer[5], 0x66);

    // A warning still copies the data and reports it.
    std::memset(buffer, 0, sizeof buffer);
    script.status[IRP_MJ_READ] = STATUS_BUFFER_OVERFLOW;
    EXPECT_EQ(kx::ReadFile(file, {&iosb, nullptr, nullptr}, buffer, sizeof buffer),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(iosb.Status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(buffer[0], 0x11);

    // An error completed at once: no data, and the status block stays as it was.
    std::memset(buffer, 0, sizeof buffer);
    script.status[IRP_MJ_READ] = STATUS_INVALID_PARAMETER;
    iosb.Status = 0x5A5A;
    iosb.Information = 77;
    EXPECT_EQ(kx::ReadFile(file, {&iosb, nullptr, nullptr}, buffer, sizeof buffer),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(iosb.Status, 0x5A5A);
    EXPECT_EQ(iosb.Information, 77u);
    EXPECT_EQ(buffer[0], 0);
    kx::CloseFile(file);
}

// Asynchronous reads report through their events and status blocks when they end.
TEST_F(FileObjectTest, CancelIoCancelsTheCallingThreadsRequestsOnly) {
    PFILE_OBJECT file;
    ASSERT_EQ(Open(u"\\Device\\FileTest0", &file), STATUS_SUCCESS);
    EXPECT_FALSE(kx::IsSynchronousFile(file));
    script.pendReads = true;
    uint8_t mine[2], theirs[2] = {};
    IO_STATUS_BLOCK mineStatus{}, theirStatus{};
    KEVENT mineDone, theirDone;
    KeInitializeEvent(&mineDone, NotificationEvent, FALSE);
    KeInitializeEvent(&theirDone, NotificationEvent, TRUE); // cleared by the request
    theirStatus.Status = STATUS_PENDING;
    std::thread other([&] {
        EXPECT_EQ(kx::ReadFile(file, {&theirStatus, &theirDone, nullptr}, theirs, 2),
                  STATUS_PENDING);
    });
    other.join();
    EXPECT_EQ(kx::ReadFile(file, {&mineStatus, &mineDone, nullptr}, mine, 2), STATUS_PENDING);
    EXPECT_EQ(KeReadStateEvent(&theirDone), 0);
    EXPECT_EQ(theirStatus.Status, STATUS_PENDING);
    EXPECT_EQ(kx::OutstandingFileRequests(file), 2u);

    EXPECT_EQ(kx::CancelIoFile(file), STATUS_SUCCESS);
    // CancelIo returns once the request has ended.
    EXPECT_EQ(KeReadStateEvent(&mineDone), 1);
    EXPECT_EQ(mineStatus.Status, STATUS_CANCELLED);
    EXPECT_EQ(KeReadStateEvent(&theirDone), 0);
    EXPECT_EQ(script.pending.size(), 1u);
    CompletePending(STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&theirDone), 1);
    EXPECT_EQ(theirStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(theirStatus.Information, 2u);
    EXPECT_EQ(theirs[1], 0x22);
    EXPECT_EQ(kx::OutstandingFileRequests(file), 0u);
    kx::CloseFile(file);
}

// The processor that completes a read is held where the caller's part of the end
// would begin. The caller never sees the status without the event, and a late
// signal of the finished request never reaches the next one on the same event.
// Closing the handle while that next read is kept sends the cleanup at once and the
// close only after the read has ended.
TEST_F(FileObjectTest, EachEndReachesItsCallerWithItsEventAndTheCloseWaitsForTheLastRequest) {
    PFILE_OBJECT file;
    ASSERT_EQ(Open(u"\\Device\\FileTest0", &file), STATUS_SUCCESS);
    script.pendReads = true;
    uint8_t buffer[2];
    IO_STATUS_BLOCK iosb{};
    iosb.Status = STATUS_PENDING;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    ASSERT_EQ(kx::ReadFile(file, {&iosb, &event, nullptr}, buffer, 2), STATUS_PENDING);
    PIRP irp = nullptr;
    ASSERT_NO_FATAL_FAILURE(TakePending(&irp));
    kx::HoldNextCompletion();
    kx::QueueAtDispatch([irp] { Reply(irp, STATUS_SUCCESS); });
    kx::WaitCompletionHeld();

    // What HasOverlappedIoCompleted does: take the completions, then look.
    kx::DeliverApcs();
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    iosb.Status = STATUS_PENDING;
    EXPECT_EQ(kx::ReadFile(file, {&iosb, &event, nullptr}, buffer, 2), STATUS_PENDING);
    kx::ReleaseCompletion();
    kx::DrainDispatchQueue();
    kx::DeliverApcs();
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(iosb.Status, STATUS_PENDING);

    // This driver's cleanup does not cancel the read: the file object stays.
    EXPECT_EQ(kx::CloseFile(file), STATUS_SUCCESS);
    EXPECT_EQ(script.Majors(),
              std::vector<UCHAR>({IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_READ, IRP_MJ_CLEANUP}));
    EXPECT_EQ(kx::FileObjectCount(), 1u);
    EXPECT_EQ(device_->ReferenceCount, 1);
    CompletePending(STATUS_SUCCESS);
    // The end reaches the issuing thread in its wait.
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    kx::DrainWorkItems();
    EXPECT_EQ(script.Majors(), std::vector<UCHAR>({IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_READ,
                                                   IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_EQ(kx::FileObjectCount(), 0u);
    EXPECT_EQ(device_->ReferenceCount, 0);
}

TEST_F(FileObjectTest, TheFileObjectKeepsADeletedDeviceInMemory) {
    PDEVICE_OBJECT doomed = CreateDevice(u"\\Device\\FileTestD", FALSE);
    PFILE_OBJECT file, again;
    ASSERT_EQ(Open(u"\\Device\\FileTestD", &file), STATUS_SUCCESS);
    IoDeleteDevice(doomed);
    EXPECT_FALSE(kx::DeviceExists(doomed));
    EXPECT_EQ(Open(u"\\Device\\FileTestD", &again), STATUS_OBJECT_NAME_NOT_FOUND);
    // The handle still reaches it (AddressSanitizer would see freed memory).
    EXPECT_EQ(file->DeviceObject->ReferenceCount, 1);
    EXPECT_EQ(kx::CloseFile(file), STATUS_SUCCESS);
    EXPECT_EQ(script.seen.back(), std::make_pair(UCHAR(IRP_MJ_CLOSE), doomed));
}

} // namespace
