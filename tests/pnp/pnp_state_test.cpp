// The port's Plug and Play state: queries refused while the port is open, a
// removal query and its cancellation from NotStarted, surprise removal from a
// pending state, and the order of the REMOVE against the wait for the remove lock.
#include <tests/support/pnp_port.h>

#include <kx/files.h>

namespace {

using korvax_test::PnpPortTest;
using korvax_test::WaitUntil;

using PnpStateTest = PnpPortTest;

// The refusal never reaches the bus; the manager's cancellation does, and the port
// stays started and named. Once closed, both queries are accepted.
TEST_F(PnpStateTest, StopAndRemoveQueriesAreRefusedBusyWhileThePortIsOpen) {
    sim::ModemPdo& modem = NewModem();
    auto node = Arrive(modem);
    PDEVICE_CONTEXT context = Context(modem);
    // Opened by its DOS name, as an application does: a real IRP_MJ_CREATE.
    kx::FileOpen open;
    open.name = u"\\\\.\\COM5";
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(kx::OpenFile(open, &file), STATUS_SUCCESS);
    ASSERT_EQ(context->IsOpen, 1);
    size_t seen = BusPnpMinors(modem).size();

    EXPECT_EQ(kx::StopDevice(*node), STATUS_DEVICE_BUSY);
    EXPECT_EQ(kx::RemoveDevice(*node), STATUS_DEVICE_BUSY);
    auto minors = BusPnpMinors(modem);
    EXPECT_EQ(std::vector<UCHAR>(minors.begin() + seen, minors.end()),
              (std::vector<UCHAR>{IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}));
    EXPECT_EQ(context->PnpState, (ULONG)Started);
    EXPECT_TRUE(node->Started());
    EXPECT_EQ(LinkTarget(u"COM5"), u"\\Device\\KORVAXSER0");

    EXPECT_EQ(kx::CloseFile(file), STATUS_SUCCESS);
    EXPECT_EQ(kx::StopDevice(*node), STATUS_SUCCESS);
    EXPECT_EQ(kx::RemoveDevice(*node), STATUS_SUCCESS);
}

// From NotStarted a removal query is noted and undone only by a cancellation the
// lower driver accepts.
TEST_F(PnpStateTest, QueryRemoveFromNotStartedIsUndoneByItsCancel) {
    sim::ModemPdo& modem = NewModem();
    PDEVICE_OBJECT fdo = AddOnly(modem);
    PDEVICE_CONTEXT context = GetDeviceContext(fdo);

    EXPECT_EQ(SendPnp(fdo, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(BusSaw(modem, IRP_MN_QUERY_REMOVE_DEVICE));
    EXPECT_EQ(context->PnpState, (ULONG)RemovePending);
    EXPECT_EQ(context->PreviousPnpState, (ULONG)NotStarted);
    EXPECT_TRUE(IsDeviceRemoving(context));
    sim::Response failCancel = sim::Response::Complete(STATUS_UNSUCCESSFUL);
    failCancel.major = IRP_MJ_PNP;
    failCancel.minor = IRP_MN_CANCEL_REMOVE_DEVICE;
    modem.ScriptNext(failCancel);
    EXPECT_EQ(SendPnp(fdo, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(context->PnpState, (ULONG)RemovePending);
    EXPECT_EQ(SendPnp(fdo, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(context->PnpState, (ULONG)NotStarted);
    EXPECT_FALSE(IsDeviceRemoving(context));
}

// Surprise removal while a stop is pending: the names come down at once, so that
// the next modem configured with the same PortName can start, and the REMOVE that
// follows finds nothing of them and takes nothing of the newcomer.
TEST_F(PnpStateTest, SurpriseRemovalFromStopPendingTakesTheNamesDownAtOnce) {
    sim::ModemPdo& modem = NewModem();
    auto node = Arrive(modem);
    PDEVICE_OBJECT fdo = Fdo(modem);
    PDEVICE_CONTEXT context = GetDeviceContext(fdo);
    ASSERT_EQ(SendPnp(fdo, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(context->PnpState, (ULONG)StopPending);

    node->HandleOpened(); // the manager holds the REMOVE back until the handle goes
    EXPECT_EQ(kx::SurpriseRemove(*node), STATUS_SUCCESS);
    ASSERT_EQ(node->State(), kx::DeviceNodeState::SurpriseRemoved);
    EXPECT_EQ(context->PnpState, (ULONG)SurpriseRemoved);
    ExpectNoNames(modem, u"COM5", u"\\Device\\KORVAXSER0");

    sim::ModemPdo& successor = NewModem(u"COM5");
    auto next = Arrive(successor);
    ASSERT_TRUE(next->Started());
    EXPECT_EQ(LinkTarget(u"COM5"), u"\\Device\\KORVAXSER1");

    node->HandleClosed();
    EXPECT_EQ(node->State(), kx::DeviceNodeState::Removed);
    EXPECT_EQ(node->LastStatus(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_FALSE(kx::DeviceExists(fdo));
    EXPECT_EQ(LinkTarget(u"COM5"), u"\\Device\\KORVAXSER1");
    auto map = kx::SerialCommMap();
    ASSERT_EQ(map.size(), 1u);
    EXPECT_EQ(map[0].first, u"\\Device\\KORVAXSER1");
    EXPECT_TRUE(InterfaceOf(successor)->enabled);
}

// The REMOVE goes down before the driver waits for its remove lock, and the device
// is detached and deleted only after the wait: with a hold kept here the removal
// waits, the bus has the REMOVE already and the device is still there.
TEST_F(PnpStateTest, RemoveReachesTheBusBeforeTheWaitForHolders) {
    sim::ModemPdo& modem = NewModem();
    auto node = Arrive(modem);
    PDEVICE_OBJECT fdo = Fdo(modem);
    PDEVICE_CONTEXT context = GetDeviceContext(fdo);
    int tag = 0;
    ASSERT_EQ(IoAcquireRemoveLockEx(&context->RemoveLock, &tag, "", 1, sizeof(IO_REMOVE_LOCK)),
              STATUS_SUCCESS);

    NTSTATUS removed = STATUS_PENDING;
    std::thread remover([&] { removed = kx::RemoveDevice(*node); });
    bool waiting = WaitUntil(
        [&] { return __atomic_load_n(&context->RemoveLock.Common.Removed, __ATOMIC_ACQUIRE); });
    bool busHadRemove = BusSaw(modem, IRP_MN_REMOVE_DEVICE);
    bool deviceStayed = kx::DeviceExists(fdo);
    IoReleaseRemoveLockEx(&context->RemoveLock, &tag, sizeof(IO_REMOVE_LOCK));
    remover.join();

    EXPECT_TRUE(waiting) << "the removal never began to wait";
    EXPECT_TRUE(busHadRemove);
    EXPECT_TRUE(deviceStayed) << "deleted while a hold was out";
    EXPECT_EQ(removed, STATUS_SUCCESS);
    EXPECT_FALSE(kx::DeviceExists(fdo));
}

} // namespace
