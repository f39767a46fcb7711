// IoBuildSynchronousFsdRequest: a buffered device sees a write's data in the system
// buffer and a read's data comes back to the caller's buffer, Information bytes of
// it and only without an error status; other devices see the caller's buffer.
#include <kx/host.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

// What the device's dispatch routine saw of the last request.
struct Seen {
    UCHAR major = 0xFF;
    ULONG length = 0;
    LONGLONG offset = -1;
    PVOID systemBuffer = nullptr;
    PVOID userBuffer = nullptr;
    std::vector<uint8_t> data;
} seen;

NTSTATUS replyStatus = STATUS_SUCCESS;
ULONG replyLength = 0;

NTSTATUS NTAPI RecordingDispatch(PDEVICE_OBJECT, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    seen.major = stack->MajorFunction;
    seen.length = stack->Parameters.Read.Length;
    seen.offset = stack->Parameters.Read.ByteOffset.QuadPart;
    seen.systemBuffer = Irp->AssociatedIrp.SystemBuffer;
    seen.userBuffer = Irp->UserBuffer;
    auto* buffer = static_cast<uint8_t*>(Irp->AssociatedIrp.SystemBuffer);
    if (buffer != nullptr && stack->MajorFunction == IRP_MJ_WRITE)
        seen.data.assign(buffer, buffer + seen.length);
    if (buffer != nullptr && stack->MajorFunction == IRP_MJ_READ) {
        for (ULONG i = 0; i < seen.length; i++)
            buffer[i] = uint8_t(0xA0 + i);
    }
    Irp->IoStatus.Status = replyStatus;
    Irp->IoStatus.Information = replyLength;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return replyStatus;
}

NTSTATUS NTAPI FsdEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
    Driver->MajorFunction[IRP_MJ_READ] = RecordingDispatch;
    Driver->MajorFunction[IRP_MJ_WRITE] = RecordingDispatch;
    Driver->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = RecordingDispatch;
    return STATUS_SUCCESS;
}

class FsdRequestTest : public ::testing::Test {
  protected:
    void SetUp() override {
        seen = Seen();
        replyStatus = STATUS_SUCCESS;
        replyLength = 0;
        driver_ = kx::LoadDriver(FsdEntry, u"Fsd", nullptr);
        ASSERT_NE(driver_, nullptr);
        ASSERT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_),
                  STATUS_SUCCESS);
        device_->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    void TearDown() override {
        IoDeleteDevice(device_);
        kx::UnloadDriver(driver_);
    }

    IO_STATUS_BLOCK Call(ULONG major, void* buffer, ULONG length, LARGE_INTEGER* offset) {
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp =
            IoBuildSynchronousFsdRequest(major, device_, buffer, length, offset, &event, &iosb);
        EXPECT_NE(irp, nullptr);
        if (irp == nullptr)
            return iosb;
        IoCallDriver(device_, irp);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        return iosb;
    }

    kx::Kernel kernel_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
};

TEST_F(FsdRequestTest, BufferedReadCopiesInformationBytesBack) {
    device_->Flags |= DO_BUFFERED_IO;
    std::vector<uint8_t> buffer(8, 0x11);
    replyLength = 5;
    LARGE_INTEGER offset;
    offset.QuadPart = 77;
    IO_STATUS_BLOCK iosb = Call(IRP_MJ_READ, buffer.data(), 8, &offset);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 5u);
    EXPECT_EQ(seen.major, IRP_MJ_READ);
    EXPECT_EQ(seen.length, 8u);
    EXPECT_EQ(seen.offset, 77);
    EXPECT_NE(seen.systemBuffer, nullptr);
    EXPECT_NE(seen.systemBuffer, buffer.data()) << "the device works on a copy";
    EXPECT_EQ(buffer, (std::vector<uint8_t>{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0x11, 0x11, 0x11}));
}

TEST_F(FsdRequestTest, BufferedReadThatFailsCopiesNothingButAWarningDoes) {
    device_->Flags |= DO_BUFFERED_IO;
    std::vector<uint8_t> buffer(4, 0x11);
    replyStatus = STATUS_UNSUCCESSFUL;
    replyLength = 4;
    EXPECT_EQ(Call(IRP_MJ_READ, buffer.data(), 4, nullptr).Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(buffer, std::vector<uint8_t>(4, 0x11));
    EXPECT_EQ(seen.offset, 0);

    replyStatus = STATUS_DEVICE_BUSY; // a warning, not an error
    EXPECT_EQ(Call(IRP_MJ_READ, buffer.data(), 4, nullptr).Status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(buffer, (std::vector<uint8_t>{0xA0, 0xA1, 0xA2, 0xA3}));
}

TEST_F(FsdRequestTest, BufferedWriteHandsTheDataInASystemBuffer) {
    device_->Flags |= DO_BUFFERED_IO;
    std::vector<uint8_t> data = {1, 2, 3};
    replyLength = 3;
    EXPECT_EQ(Call(IRP_MJ_WRITE, data.data(), 3, nullptr).Information, 3u);
    EXPECT_EQ(seen.major, IRP_MJ_WRITE);
    EXPECT_NE(seen.systemBuffer, data.data());
    EXPECT_EQ(seen.data, data);
}

TEST_F(FsdRequestTest, NeitherIoDeviceSeesTheCallersBuffer) {
    std::vector<uint8_t> buffer(4);
    Call(IRP_MJ_READ, buffer.data(), 4, nullptr);
    EXPECT_EQ(seen.systemBuffer, nullptr);
    EXPECT_EQ(seen.userBuffer, buffer.data());
}

TEST_F(FsdRequestTest, FlushCarriesNoBufferAndOtherRequestsAreNotBuilt) {
    device_->Flags |= DO_BUFFERED_IO;
    EXPECT_EQ(Call(IRP_MJ_FLUSH_BUFFERS, nullptr, 0, nullptr).Status, STATUS_SUCCESS);
    EXPECT_EQ(seen.major, IRP_MJ_FLUSH_BUFFERS);
    EXPECT_EQ(seen.systemBuffer, nullptr);

    KEVENT event;
    IO_STATUS_BLOCK iosb;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(IoBuildSynchronousFsdRequest(IRP_MJ_DEVICE_CONTROL, device_, nullptr, 0, nullptr,
                                           &event, &iosb),
              nullptr);
    device_->Flags = (device_->Flags & ~DO_BUFFERED_IO) | DO_DIRECT_IO;
    uint8_t byte;
    EXPECT_EQ(IoBuildSynchronousFsdRequest(IRP_MJ_READ, device_, &byte, 1, nullptr, &event, &iosb),
              nullptr)
        << "no MDLs here";
}

} // namespace
