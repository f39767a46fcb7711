// An open against a QUERY_STOP: the open's first look at the state comes before
// OpenMutex, so a stop query can slip in between; the look under the mutex is the
// one that decides.
#include <tests/support/pnp_port.h>

#include <kx/files.h>

namespace {

using korvax_test::PnpPortTest;
using korvax_test::WaitUntil;

using OpenRaceTest = PnpPortTest;

// The open waits at OpenMutex, past its first look; meanwhile the stop query marks
// the port StopPending under the mutex, as it does when it finds the port closed.
TEST_F(OpenRaceTest, AnOpenOvertakenByAStopQueryIsRefused) {
    sim::ModemPdo& modem = NewModem();
    auto node = Arrive(modem);
    PDEVICE_OBJECT fdo = Fdo(modem);
    PDEVICE_CONTEXT context = GetDeviceContext(fdo);

    ExAcquireFastMutex(&context->OpenMutex);
    NTSTATUS opened = STATUS_PENDING;
    PFILE_OBJECT file = nullptr;
    std::thread opener([&] {
        kx::FileOpen open;
        open.name = u"\\\\.\\COM5";
        opened = kx::OpenFile(open, &file);
    });
    bool waiting =
        WaitUntil([&] { return InterlockedCompareExchange(&context->OpenMutex.Count, 0, 0) < 0; });
    context->PnpState = StopPending;
    ExReleaseFastMutex(&context->OpenMutex);
    opener.join();
    ASSERT_TRUE(waiting);

    EXPECT_EQ(opened, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(context->IsOpen, 0);
    EXPECT_EQ(context->OpenCount, 0);
    EXPECT_TRUE(modem.UrbRecords().empty()) << "the refused open reset the pipes";
    if (NT_SUCCESS(opened))
        kx::CloseFile(file);
    EXPECT_EQ(SendPnp(fdo, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(context->PnpState, (ULONG)Started);
}

} // namespace
