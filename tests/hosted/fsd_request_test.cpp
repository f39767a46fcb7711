// IoBuildSynchronousFsdRequest: a buffered device reads into a system buffer whose
// Information bytes come back to the caller's buffer, and only without an error
// status; other devices see the caller's buffer.
#include <kx/host.h>

#include <gtest/gtest.h>

#include <vector>

namespace {

NTSTATUS replyStatus;
PVOID userBufferSeen;

NTSTATUS NTAPI FillingRead(PDEVICE_OBJECT, PIRP Irp) {
    userBufferSeen = Irp->UserBuffer;
    if (auto* buffer = static_cast<uint8_t*>(Irp->AssociatedIrp.SystemBuffer)) {
        for (ULONG i = 0; i < IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length; i++)
            buffer[i] = uint8_t(0xA0 + i);
    }
    Irp->IoStatus.Status = replyStatus;
    Irp->IoStatus.Information = 5;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return replyStatus;
}

NTSTATUS NTAPI FsdEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
    Driver->MajorFunction[IRP_MJ_READ] = FillingRead;
    return STATUS_SUCCESS;
}

TEST(FsdRequestTest, ABufferedReadCopiesInformationBytesBackUnlessItFails) {
    kx::Kernel kernel;
    PDRIVER_OBJECT driver = kx::LoadDriver(FsdEntry, u"Fsd", nullptr);
    PDEVICE_OBJECT device;
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    std::vector<uint8_t> buffer(8, 0x11);
    auto read = [&](NTSTATUS status) {
        replyStatus = status;
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, device, buffer.data(), 8, nullptr,
                                                &event, &iosb);
        IoCallDriver(device, irp);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        return iosb;
    };
    // Neither buffered nor direct: the device works on the caller's buffer.
    read(STATUS_SUCCESS);
    EXPECT_EQ(userBufferSeen, buffer.data());

    device->Flags |= DO_BUFFERED_IO;
    EXPECT_EQ(read(STATUS_UNSUCCESSFUL).Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(buffer, std::vector<uint8_t>(8, 0x11));
    IO_STATUS_BLOCK iosb = read(STATUS_DEVICE_BUSY); // a warning, not an error
    EXPECT_EQ(iosb.Status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(iosb.Information, 5u);
    EXPECT_EQ(buffer, (std::vector<uint8_t>{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0x11, 0x11, 0x11}));
    IoDeleteDevice(device);
    kx::UnloadDriver(driver);
}

} // namespace
