// File objects: opening a device by any of its names, the I/O manager's own
// refusals, buffered requests and their completion to the caller, overlapped
// completion through an event and a status block, CancelIo, and the cleanup and
// close that end a handle (and, after a surprise removal, the device).
#include <kx/files.h>
#include <kx/host.h>
#include <kx/namespace.h>
#include <kx/ob.h>
#include <kx/pnp.h>
#include <sim/bus.h>

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr ULONG TestIoctlBuffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, 0);
constexpr ULONG TestIoctlDirect = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_IN_DIRECT, 0);
constexpr ULONG TestIoctlNeedsWrite =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, FILE_WRITE_ACCESS);

// What the test driver saw of one request.
struct Seen {
    UCHAR major = 0;
    PDEVICE_OBJECT device = nullptr;
    PFILE_OBJECT file = nullptr;
    PFILE_OBJECT originalFile = nullptr;
    KPROCESSOR_MODE requestorMode = KernelMode;
    ULONG createOptions = 0;
    ULONG length = 0;
    ULONG ioControlCode = 0;
    bool systemBuffer = false;
    std::vector<uint8_t> input;
};

// The test driver: records every request, and completes it with the scripted
// status, or keeps it pending (with a cancel routine) when asked to.
struct DriverScript {
    std::mutex mutex;
    std::vector<Seen> seen;
    std::deque<PIRP> pending;
    bool pend[IRP_MJ_MAXIMUM_FUNCTION + 1] = {};
    NTSTATUS status[IRP_MJ_MAXIMUM_FUNCTION + 1] = {};
    std::vector<uint8_t> reply = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    ULONG_PTR information = ~ULONG_PTR(0); // ~0: the bytes of the reply that fit

    void Reset() {
        std::lock_guard<std::mutex> guard(mutex);
        seen.clear();
        pending.clear();
        std::fill(std::begin(pend), std::end(pend), false);
        std::fill(std::begin(status), std::end(status), STATUS_SUCCESS);
        reply = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
        information = ~ULONG_PTR(0);
    }
    std::vector<UCHAR> Majors() {
        std::lock_guard<std::mutex> guard(mutex);
        std::vector<UCHAR> majors;
        for (const Seen& s : seen)
            majors.push_back(s.major);
        return majors;
    }
    Seen Last() {
        std::lock_guard<std::mutex> guard(mutex);
        return seen.empty() ? Seen{} : seen.back();
    }
} script;

void NTAPI CancelPending(PDEVICE_OBJECT, PIRP Irp) {
    {
        std::lock_guard<std::mutex> guard(script.mutex);
        auto it = std::find(script.pending.begin(), script.pending.end(), Irp);
        if (it != script.pending.end())
            script.pending.erase(it);
    }
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

// Fills the reply into a read or a buffered control request.
void Reply(PIRP Irp, NTSTATUS status) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG room = 0;
    if (stack->MajorFunction == IRP_MJ_READ)
        room = stack->Parameters.Read.Length;
    else if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL)
        room = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG n = std::min<ULONG>(room, static_cast<ULONG>(script.reply.size()));
    if (n != 0 && Irp->AssociatedIrp.SystemBuffer != nullptr)
        std::memcpy(Irp->AssociatedIrp.SystemBuffer, script.reply.data(), n);
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = script.information == ~ULONG_PTR(0) ? n : script.information;
}

NTSTATUS NTAPI TestDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    Seen seen;
    seen.major = stack->MajorFunction;
    seen.device = DeviceObject;
    seen.file = stack->FileObject;
    seen.originalFile = Irp->Tail.Overlay.OriginalFileObject;
    seen.requestorMode = Irp->RequestorMode;
    seen.systemBuffer = Irp->AssociatedIrp.SystemBuffer != nullptr;
    if (seen.major == IRP_MJ_CREATE)
        seen.createOptions = stack->Parameters.Create.Options;
    if (seen.major == IRP_MJ_READ || seen.major == IRP_MJ_WRITE)
        seen.length = stack->Parameters.Read.Length;
    if (seen.major == IRP_MJ_DEVICE_CONTROL) {
        seen.ioControlCode = stack->Parameters.DeviceIoControl.IoControlCode;
        seen.length = stack->Parameters.DeviceIoControl.InputBufferLength;
    }
    auto* system = static_cast<uint8_t*>(Irp->AssociatedIrp.SystemBuffer);
    if (system != nullptr && seen.length != 0 && seen.major != IRP_MJ_READ)
        seen.input.assign(system, system + seen.length);
    bool pend;
    NTSTATUS status;
    {
        std::lock_guard<std::mutex> guard(script.mutex);
        script.seen.push_back(seen);
        pend = script.pend[seen.major];
        status = script.status[seen.major];
    }
    if (pend) {
        IoMarkIrpPending(Irp);
        {
            std::lock_guard<std::mutex> guard(script.mutex);
            script.pending.push_back(Irp);
        }
        IoSetCancelRoutine(Irp, CancelPending);
        if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
            {
                std::lock_guard<std::mutex> guard(script.mutex);
                script.pending.pop_back();
            }
            Irp->IoStatus.Status = STATUS_CANCELLED;
            IoCompleteRequest(Irp, IO_NO_INCREMENT);
        }
        return STATUS_PENDING;
    }
    Reply(Irp, status);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI TestEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
    for (auto& slot : Driver->MajorFunction)
        slot = TestDispatch;
    return STATUS_SUCCESS;
}

UNICODE_STRING Name(const char16_t* text) {
    UNICODE_STRING name;
    name.Buffer = const_cast<PWSTR>(reinterpret_cast<const WCHAR*>(text));
    name.Length = static_cast<USHORT>(std::char_traits<char16_t>::length(text) * 2);
    name.MaximumLength = name.Length;
    return name;
}

class FileObjectTest : public ::testing::Test {
  protected:
    void SetUp() override {
        script.Reset();
        driver_ = kx::LoadDriver(TestEntry, u"FileTest", nullptr);
        ASSERT_NE(driver_, nullptr);
        device_ = CreateDevice(u"\\Device\\FileTest0", FALSE);
        UNICODE_STRING link = Name(u"\\DosDevices\\FTEST5");
        UNICODE_STRING target = Name(u"\\Device\\FileTest0");
        ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    }

    void TearDown() override {
        UNICODE_STRING link = Name(u"\\DosDevices\\FTEST5");
        IoDeleteSymbolicLink(&link);
        kx::DrainWorkItems();
        EXPECT_EQ(kx::FileObjectCount(), 0u);
        while (driver_->DeviceObject != nullptr) {
            PDEVICE_OBJECT device = driver_->DeviceObject;
            if (kx::AttachedTo(device) != nullptr)
                IoDetachDevice(kx::AttachedTo(device));
            IoDeleteDevice(device);
        }
        kx::UnloadDriver(driver_);
    }

    PDEVICE_OBJECT CreateDevice(const char16_t* name, BOOLEAN exclusive) {
        UNICODE_STRING deviceName = name ? Name(name) : UNICODE_STRING{};
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(IoCreateDevice(driver_, 0, name ? &deviceName : nullptr, FILE_DEVICE_UNKNOWN, 0,
                                 exclusive, &device),
                  STATUS_SUCCESS);
        device->Flags |= DO_BUFFERED_IO;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        return device;
    }

    PFILE_OBJECT Open(std::u16string_view name, ULONG options = FILE_SYNCHRONOUS_IO_NONALERT,
                      ACCESS_MASK access = FILE_READ_DATA | FILE_WRITE_DATA) {
        kx::FileOpen open;
        open.name = name;
        open.options = options;
        open.desiredAccess = access;
        PFILE_OBJECT file = nullptr;
        EXPECT_EQ(kx::OpenFile(open, &file), STATUS_SUCCESS) << kx::ToUtf8(name);
        return file;
    }

    NTSTATUS TryOpen(std::u16string_view name) {
        kx::FileOpen open;
        open.name = name;
        PFILE_OBJECT file = nullptr;
        NTSTATUS status = kx::OpenFile(open, &file);
        if (file != nullptr)
            kx::CloseFile(file);
        return status;
    }

    void SetPend(UCHAR major, bool pend) {
        std::lock_guard<std::mutex> guard(script.mutex);
        script.pend[major] = pend;
    }

    size_t PendingCount() {
        std::lock_guard<std::mutex> guard(script.mutex);
        return script.pending.size();
    }

    // Completes the oldest kept request from a DPC thread, as a lower driver's
    // completion would.
    void CompletePending(NTSTATUS status) {
        PIRP irp;
        {
            std::lock_guard<std::mutex> guard(script.mutex);
            ASSERT_FALSE(script.pending.empty());
            irp = script.pending.front();
            script.pending.pop_front();
        }
        ASSERT_NE(IoSetCancelRoutine(irp, nullptr), nullptr);
        kx::QueueAtDispatch([irp, status] {
            Reply(irp, status);
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        });
        kx::DrainDispatchQueue();
    }

    kx::Kernel kernel_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
};

TEST_F(FileObjectTest, EveryNameReachesTheDevice) {
    for (const char16_t* name :
         {u"\\\\.\\FTEST5", u"\\\\?\\ftest5", u"\\DosDevices\\FTEST5", u"\\??\\FTEST5",
          u"\\Device\\FileTest0", u"\\\\.\\GLOBALROOT\\Device\\FileTest0"}) {
        PFILE_OBJECT file = Open(name);
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(file->DeviceObject, device_);
        EXPECT_EQ(file->Type, IO_TYPE_FILE);
        Seen create = script.Last();
        EXPECT_EQ(create.major, IRP_MJ_CREATE);
        EXPECT_EQ(create.device, device_);
        EXPECT_EQ(create.file, file);
        EXPECT_EQ(create.requestorMode, UserMode);
        EXPECT_EQ(kx::CloseFile(file), STATUS_SUCCESS);
    }
}

TEST_F(FileObjectTest, NamesThatLeadNowhereAreNotFound) {
    EXPECT_EQ(TryOpen(u"\\\\.\\FTEST6"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(TryOpen(u"\\Device\\FileTest9"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(script.Majors().empty());
}

TEST_F(FileObjectTest, CreateGoesToTheTopOfTheStackWithTheNamedDeviceInTheFileObject) {
    PDEVICE_OBJECT filter = CreateDevice(nullptr, FALSE);
    ASSERT_EQ(IoAttachDeviceToDeviceStack(filter, device_), device_);
    PFILE_OBJECT file = Open(u"\\\\.\\FTEST5", FILE_SYNCHRONOUS_IO_NONALERT);
    ASSERT_NE(file, nullptr);
    Seen create = script.Last();
    EXPECT_EQ(create.device, filter);
    EXPECT_EQ(file->DeviceObject, device_);
    EXPECT_EQ(create.createOptions, (ULONG(FILE_OPEN) << 24) | FILE_SYNCHRONOUS_IO_NONALERT);
    EXPECT_TRUE(kx::IsSynchronousFile(file));
    kx::CloseFile(file);
    // Cleanup and close go to the top as well.
    std::lock_guard<std::mutex> guard(script.mutex);
    ASSERT_EQ(script.seen.size(), 3u);
    EXPECT_EQ(script.seen[1].major, IRP_MJ_CLEANUP);
    EXPECT_EQ(script.seen[1].device, filter);
    EXPECT_EQ(script.seen[2].major, IRP_MJ_CLOSE);
    EXPECT_EQ(script.seen[2].device, filter);
}

TEST_F(FileObjectTest, ASecondOpenOfAnExclusiveDeviceIsRefusedBeforeTheDriver) {
    PDEVICE_OBJECT exclusive = CreateDevice(u"\\Device\\FileTestX", TRUE);
    PFILE_OBJECT first = Open(u"\\Device\\FileTestX");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(exclusive->ReferenceCount, 1);
    EXPECT_EQ(TryOpen(u"\\Device\\FileTestX"), STATUS_ACCESS_DENIED);
    EXPECT_EQ(script.Majors(), std::vector<UCHAR>{IRP_MJ_CREATE});
    kx::CloseFile(first);
    EXPECT_EQ(exclusive->ReferenceCount, 0);
    // Once the handle is gone the device opens again.
    PFILE_OBJECT again = Open(u"\\Device\\FileTestX");
    ASSERT_NE(again, nullptr);
    kx::CloseFile(again);
    // A shared device admits any number of handles.
    PFILE_OBJECT a = Open(u"\\\\.\\FTEST5");
    PFILE_OBJECT b = Open(u"\\\\.\\FTEST5");
    EXPECT_NE(a, b);
    EXPECT_EQ(device_->ReferenceCount, 2);
    kx::CloseFile(a);
    kx::CloseFile(b);
}

TEST_F(FileObjectTest, ADeviceStillInitializingCannotBeOpened) {
    device_->Flags |= DO_DEVICE_INITIALIZING;
    EXPECT_EQ(TryOpen(u"\\\\.\\FTEST5"), STATUS_NO_SUCH_DEVICE);
    EXPECT_TRUE(script.Majors().empty());
    device_->Flags &= ~DO_DEVICE_INITIALIZING;
}

TEST_F(FileObjectTest, AFailedCreateIsNeitherCleanedUpNorClosed) {
    script.status[IRP_MJ_CREATE] = STATUS_ACCESS_DENIED;
    EXPECT_EQ(TryOpen(u"\\\\.\\FTEST5"), STATUS_ACCESS_DENIED);
    EXPECT_EQ(script.Majors(), std::vector<UCHAR>{IRP_MJ_CREATE});
    EXPECT_EQ(kx::FileObjectCount(), 0u);
    EXPECT_EQ(device_->ReferenceCount, 0);
}

TEST_F(FileObjectTest, BufferedReadCopiesBackOnlyWithoutAnError) {
    PFILE_OBJECT file = Open(u"\\\\.\\FTEST5");
    uint8_t buffer[6] = {};
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(kx::ReadFile(file, {&iosb, nullptr, nullptr}, buffer, sizeof buffer), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 6u);
    EXPECT_EQ(buffer[0], 0x11);
    EXPECT_EQ(buffer[5], 0x66);
    Seen read = script.Last();
    EXPECT_TRUE(read.systemBuffer);
    EXPECT_EQ(read.length, 6u);
    EXPECT_EQ(read.originalFile, file);

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

TEST_F(FileObjectTest, WriteDataArrivesInTheSystemBuffer) {
    PFILE_OBJECT file = Open(u"\\\\.\\FTEST5");
    const uint8_t data[] = {1, 2, 3, 4, 5};
    script.information = 5;
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(kx::WriteFile(file, {&iosb, nullptr, nullptr}, data, sizeof data), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 5u);
    Seen write = script.Last();
    EXPECT_EQ(write.major, IRP_MJ_WRITE);
    EXPECT_EQ(write.input, std::vector<uint8_t>(data, data + 5));
    // No data, no system buffer.
    EXPECT_EQ(kx::WriteFile(file, {&iosb, nullptr, nullptr}, nullptr, 0), STATUS_SUCCESS);
    EXPECT_FALSE(script.Last().systemBuffer);
    kx::CloseFile(file);
}

TEST_F(FileObjectTest, BufferedControlSharesOneBufferForInputAndOutput) {
    PFILE_OBJECT file = Open(u"\\\\.\\FTEST5");
    const uint8_t input[3] = {9, 8, 7};
    uint8_t output[4] = {};
    script.information = 2;
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(kx::DeviceIoControlFile(file, {&iosb, nullptr, nullptr}, TestIoctlBuffered, input,
                                      sizeof input, output, sizeof output),
              STATUS_SUCCESS);
    Seen control = script.Last();
    EXPECT_EQ(control.ioControlCode, TestIoctlBuffered);
    EXPECT_EQ(control.input, std::vector<uint8_t>({9, 8, 7}));
    // Information bytes come back, no more.
    EXPECT_EQ(iosb.Information, 2u);
    EXPECT_EQ(output[0], 0x11);
    EXPECT_EQ(output[1], 0x22);
    EXPECT_EQ(output[2], 0);
    // Direct I/O needs MDLs, which the hosted kernel does not have.
    EXPECT_EQ(kx::DeviceIoControlFile(file, {&iosb, nullptr, nullptr}, TestIoctlDirect, input,
                                      sizeof input, output, sizeof output),
              STATUS_NOT_SUPPORTED);
    kx::CloseFile(file);
}

TEST_F(FileObjectTest, TheHandlesAccessIsCheckedBeforeTheDriver) {
    PFILE_OBJECT reader = Open(u"\\\\.\\FTEST5", FILE_SYNCHRONOUS_IO_NONALERT, 0x80000000);
    ASSERT_NE(reader, nullptr);
    EXPECT_TRUE(reader->ReadAccess);
    EXPECT_FALSE(reader->WriteAccess);
    uint8_t byte = 0;
    IO_STATUS_BLOCK iosb{};
    size_t before = script.Majors().size();
    EXPECT_EQ(kx::WriteFile(reader, {&iosb, nullptr, nullptr}, &byte, 1), STATUS_ACCESS_DENIED);
    EXPECT_EQ(kx::DeviceIoControlFile(reader, {&iosb, nullptr, nullptr}, TestIoctlNeedsWrite,
                                      nullptr, 0, nullptr, 0),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(script.Majors().size(), before);
    EXPECT_EQ(kx::ReadFile(reader, {&iosb, nullptr, nullptr}, &byte, 1), STATUS_SUCCESS);
    kx::CloseFile(reader);
}

TEST_F(FileObjectTest, AsynchronousRequestReportsThroughEventAndStatusBlock) {
    PFILE_OBJECT file = Open(u"\\\\.\\FTEST5", 0);
    ASSERT_NE(file, nullptr);
    EXPECT_FALSE(kx::IsSynchronousFile(file));
    SetPend(IRP_MJ_READ, true);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE); // cleared by the request
    IO_STATUS_BLOCK iosb{};
    iosb.Status = STATUS_PENDING;
    uint8_t buffer[4] = {};
    EXPECT_EQ(kx::ReadFile(file, {&iosb, &event, nullptr}, buffer, sizeof buffer), STATUS_PENDING);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(kx::OutstandingFileRequests(file), 1u);
    EXPECT_EQ(iosb.Status, STATUS_PENDING);

    CompletePending(STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 4u);
    EXPECT_EQ(buffer[3], 0x44);
    EXPECT_EQ(kx::OutstandingFileRequests(file), 0u);

    // An error after pending is reported too.
    EXPECT_EQ(kx::ReadFile(file, {&iosb, &event, nullptr}, buffer, sizeof buffer), STATUS_PENDING);
    CompletePending(STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Status, STATUS_DEVICE_NOT_CONNECTED);
    kx::CloseFile(file);
}

TEST_F(FileObjectTest, AnAsynchronousRequestFailedAtOnceLeavesEventAndStatusBlockAlone) {
    PFILE_OBJECT file = Open(u"\\\\.\\FTEST5", 0);
    script.status[IRP_MJ_DEVICE_CONTROL] = STATUS_INVALID_PARAMETER;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    iosb.Status = STATUS_PENDING;
    EXPECT_EQ(kx::DeviceIoControlFile(file, {&iosb, &event, nullptr}, TestIoctlBuffered, nullptr, 0,
                                      nullptr, 0),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(iosb.Status, STATUS_PENDING);
    // Success at once is reported at once; without an event, on the file object.
    script.status[IRP_MJ_DEVICE_CONTROL] = STATUS_SUCCESS;
    LARGE_INTEGER now{};
    EXPECT_EQ(kx::WaitForFile(file, &now), STATUS_TIMEOUT);
    EXPECT_EQ(kx::DeviceIoControlFile(file, {&iosb, nullptr, nullptr}, TestIoctlBuffered, nullptr,
                                      0, nullptr, 0),
              STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(kx::WaitForFile(file, &now), STATUS_SUCCESS);
    kx::CloseFile(file);
}

TEST_F(FileObjectTest, CancelIoCancelsTheCallingThreadsRequestsOnly) {
    PFILE_OBJECT file = Open(u"\\\\.\\FTEST5", 0);
    SetPend(IRP_MJ_READ, true);
    uint8_t mine[2], theirs[2];
    IO_STATUS_BLOCK mineStatus{}, theirStatus{};
    KEVENT mineDone, theirDone;
    KeInitializeEvent(&mineDone, NotificationEvent, FALSE);
    KeInitializeEvent(&theirDone, NotificationEvent, FALSE);
    std::thread other([&] {
        EXPECT_EQ(kx::ReadFile(file, {&theirStatus, &theirDone, nullptr}, theirs, 2),
                  STATUS_PENDING);
    });
    other.join();
    EXPECT_EQ(kx::ReadFile(file, {&mineStatus, &mineDone, nullptr}, mine, 2), STATUS_PENDING);
    EXPECT_EQ(PendingCount(), 2u);

    EXPECT_EQ(kx::CancelIoFile(file), STATUS_SUCCESS);
    // CancelIo returns once the request has ended.
    EXPECT_EQ(KeReadStateEvent(&mineDone), 1);
    EXPECT_EQ(mineStatus.Status, STATUS_CANCELLED);
    EXPECT_EQ(KeReadStateEvent(&theirDone), 0);
    EXPECT_EQ(PendingCount(), 1u);
    CompletePending(STATUS_SUCCESS);
    EXPECT_EQ(theirStatus.Status, STATUS_SUCCESS);
    kx::CloseFile(file);
}

TEST_F(FileObjectTest, CloseSendsCleanupNowAndCloseAfterTheLastRequest) {
    PFILE_OBJECT file = Open(u"\\\\.\\FTEST5", 0);
    SetPend(IRP_MJ_READ, true);
    uint8_t buffer[2];
    IO_STATUS_BLOCK iosb{};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(kx::ReadFile(file, {&iosb, &event, nullptr}, buffer, 2), STATUS_PENDING);
    EXPECT_EQ(kx::CloseFile(file), STATUS_SUCCESS);
    // This driver's cleanup does not cancel the read: the file object stays.
    EXPECT_EQ(script.Majors(), std::vector<UCHAR>({IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP}));
    EXPECT_EQ(kx::FileObjectCount(), 1u);
    EXPECT_EQ(device_->ReferenceCount, 1);

    CompletePending(STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    kx::DrainWorkItems();
    EXPECT_EQ(script.Majors(),
              std::vector<UCHAR>({IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_EQ(script.Last().file, file);
    EXPECT_EQ(kx::FileObjectCount(), 0u);
    EXPECT_EQ(device_->ReferenceCount, 0);
}

TEST_F(FileObjectTest, TheFileObjectKeepsADeletedDeviceInMemory) {
    PDEVICE_OBJECT doomed = CreateDevice(u"\\Device\\FileTestD", FALSE);
    PFILE_OBJECT file = Open(u"\\Device\\FileTestD");
    IoDeleteDevice(doomed);
    EXPECT_FALSE(kx::DeviceExists(doomed));
    EXPECT_EQ(TryOpen(u"\\Device\\FileTestD"), STATUS_OBJECT_NAME_NOT_FOUND);
    // The handle still reaches it (AddressSanitizer would see freed memory).
    EXPECT_EQ(file->DeviceObject->ReferenceCount, 1);
    EXPECT_EQ(kx::CloseFile(file), STATUS_SUCCESS);
    EXPECT_EQ(script.Last().major, IRP_MJ_CLOSE);
    EXPECT_EQ(script.Last().device, doomed);
}

TEST_F(FileObjectTest, ClosingAFileObjectTwiceIsABadHandle) {
    PFILE_OBJECT file = Open(u"\\\\.\\FTEST5");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(kx::FileObjectCount(), 1u);
    EXPECT_EQ(kx::CloseFile(file), STATUS_SUCCESS);
    kx::VerifierCapture capture;
    EXPECT_EQ(kx::CloseFile(file), STATUS_INVALID_HANDLE);
    EXPECT_TRUE(capture.Has(kx::Rule::InvalidHandle));
}

// A handle nobody closed is reported when the kernel shuts down, and its device's
// memory goes then (the verifier's record of a finding made during shutdown ends
// with the kernel, its count does not).
TEST(FileObjectShutdown, AFileObjectLeftOpenIsReported) {
    kx::VerifierCapture capture;
    size_t before = kx::TotalFindings();
    {
        kx::Kernel kernel;
        PDRIVER_OBJECT driver = kx::LoadDriver(TestEntry, u"FileTest", nullptr);
        ASSERT_NE(driver, nullptr);
        UNICODE_STRING name = Name(u"\\Device\\FileTestL");
        PDEVICE_OBJECT device = nullptr;
        ASSERT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
                  STATUS_SUCCESS);
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        kx::FileOpen open;
        open.name = u"\\Device\\FileTestL";
        PFILE_OBJECT file = nullptr;
        ASSERT_EQ(kx::OpenFile(open, &file), STATUS_SUCCESS);
        IoDeleteDevice(device);
        kx::UnloadDriver(driver);
        EXPECT_EQ(kx::TotalFindings(), before);
    }
    EXPECT_EQ(kx::TotalFindings(), before + 1);
}

// ---- Handles and the PnP manager -----------------------------------------------------------

// A function driver that passes everything down and leaves at removal.
struct PassExtension {
    PDEVICE_OBJECT lower;
};

NTSTATUS NTAPI PassDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    auto* ext = static_cast<PassExtension*>(DeviceObject->DeviceExtension);
    if (stack->MajorFunction != IRP_MJ_PNP) {
        {
            std::lock_guard<std::mutex> guard(script.mutex);
            Seen seen;
            seen.major = stack->MajorFunction;
            seen.device = DeviceObject;
            script.seen.push_back(seen);
        }
        Irp->IoStatus.Status = STATUS_SUCCESS;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    UCHAR minor = stack->MinorFunction;
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IoCallDriver(ext->lower, Irp);
    if (minor == IRP_MN_REMOVE_DEVICE) {
        IoDetachDevice(ext->lower);
        IoDeleteDevice(DeviceObject);
    }
    return status;
}

NTSTATUS NTAPI PassAddDevice(PDRIVER_OBJECT Driver, PDEVICE_OBJECT Pdo) {
    UNICODE_STRING name = Name(u"\\Device\\PassFdo");
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status =
        IoCreateDevice(Driver, sizeof(PassExtension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    static_cast<PassExtension*>(fdo->DeviceExtension)->lower =
        IoAttachDeviceToDeviceStack(fdo, Pdo);
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PassEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
    for (auto& slot : Driver->MajorFunction)
        slot = PassDispatch;
    Driver->DriverExtension->AddDevice = PassAddDevice;
    return STATUS_SUCCESS;
}

TEST_F(FileObjectTest, ASurpriseRemovedDeviceIsRemovedWhenItsLastHandleCloses) {
    sim::ParentBus bus;
    sim::ModemPdo& pdo = bus.CreateModemPdo();
    PDRIVER_OBJECT pass = kx::LoadDriver(PassEntry, u"Pass", nullptr);
    ASSERT_NE(pass, nullptr);
    std::shared_ptr<kx::DeviceNode> node = kx::ReportDevice(pdo.Device(), pass);
    ASSERT_TRUE(node && node->Started());

    PFILE_OBJECT first = Open(u"\\Device\\PassFdo");
    PFILE_OBJECT second = Open(u"\\Device\\PassFdo");
    EXPECT_EQ(node->OpenHandles(), 2u);
    EXPECT_EQ(kx::SurpriseRemove(*node), STATUS_SUCCESS);
    EXPECT_EQ(node->State(), kx::DeviceNodeState::SurpriseRemoved);
    kx::CloseFile(first);
    EXPECT_EQ(node->State(), kx::DeviceNodeState::SurpriseRemoved);
    EXPECT_EQ(node->LastStatus(IRP_MN_REMOVE_DEVICE), STATUS_NOT_SUPPORTED); // not sent yet
    kx::CloseFile(second);
    // The close of the last handle sent the removal, on the closing thread.
    EXPECT_EQ(node->State(), kx::DeviceNodeState::Removed);
    EXPECT_EQ(node->LastStatus(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(kx::LookupDevice(u"\\Device\\PassFdo"), nullptr);
    bus.DeletePdo(pdo);
    kx::UnloadDriver(pass);
}

} // namespace
