// The port's Plug and Play state: queries refused while the port is open, queries
// and cancellations from states other than Started, surprise removal from the
// pending states, the order of the REMOVE against the wait for the remove lock, the
// capabilities query, and a port's whole life with nothing left behind.
#include <tests/support/pnp_port.h>

#include <kx/files.h>

#include <cstring>

namespace {

using korvax_test::PnpPortTest;
using korvax_test::WaitUntil;

class PnpStateTest : public PnpPortTest {
  protected:
    // Opens the port by its DOS name, as an application does: a real IRP_MJ_CREATE.
    PFILE_OBJECT OpenPort(std::u16string_view portName = u"COM5") {
        kx::FileOpen open;
        std::u16string name = u"\\\\.\\" + std::u16string(portName);
        open.name = name;
        PFILE_OBJECT file = nullptr;
        EXPECT_EQ(kx::OpenFile(open, &file), STATUS_SUCCESS);
        return file;
    }

    static sim::Response Answer(UCHAR minor, NTSTATUS status) {
        sim::Response response = sim::Response::Complete(status);
        response.major = IRP_MJ_PNP;
        response.minor = minor;
        return response;
    }
};

// The refusal never reaches the bus; the manager's cancellation does, and the port
// stays started and named. Once closed, both queries are accepted.
TEST_F(PnpStateTest, StopAndRemoveQueriesAreRefusedBusyWhileThePortIsOpen) {
    sim::ModemPdo& modem = NewModem();
    auto node = Arrive(modem);
    PDEVICE_CONTEXT context = Context(modem);
    PFILE_OBJECT file = OpenPort();
    ASSERT_NE(file, nullptr);
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

TEST_F(PnpStateTest, QueryRemoveFromNotStartedIsUndoneByItsCancel) {
    sim::ModemPdo& modem = NewModem();
    PDEVICE_OBJECT fdo = AddOnly(modem);
    PDEVICE_CONTEXT context = GetDeviceContext(fdo);

    EXPECT_EQ(SendPnp(fdo, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(BusSaw(modem, IRP_MN_QUERY_REMOVE_DEVICE));
    EXPECT_EQ(context->PnpState, (ULONG)RemovePending);
    EXPECT_EQ(context->PreviousPnpState, (ULONG)NotStarted);
    EXPECT_TRUE(IsDeviceRemoving(context));

    // A cancellation the lower driver fails leaves the removal pending.
    modem.ScriptNext(Answer(IRP_MN_CANCEL_REMOVE_DEVICE, STATUS_UNSUCCESSFUL));
    EXPECT_EQ(SendPnp(fdo, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(context->PnpState, (ULONG)RemovePending);

    EXPECT_EQ(SendPnp(fdo, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(context->PnpState, (ULONG)NotStarted);
    EXPECT_FALSE(IsDeviceRemoving(context));
}

// Outside Started both requests go down as they came, and the lower driver's
// answer is the answer.
TEST_F(PnpStateTest, QueryStopAndCancelStopOutsideStartedArePassedDown) {
    sim::ModemPdo& modem = NewModem();
    PDEVICE_OBJECT fdo = AddOnly(modem);
    PDEVICE_CONTEXT context = GetDeviceContext(fdo);

    EXPECT_EQ(SendPnp(fdo, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(BusSaw(modem, IRP_MN_QUERY_STOP_DEVICE));
    EXPECT_EQ(context->PnpState, (ULONG)NotStarted);

    modem.ScriptNext(Answer(IRP_MN_QUERY_STOP_DEVICE, STATUS_UNSUCCESSFUL));
    EXPECT_EQ(SendPnp(fdo, IRP_MN_QUERY_STOP_DEVICE), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(context->PnpState, (ULONG)NotStarted);

    EXPECT_EQ(SendPnp(fdo, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(BusSaw(modem, IRP_MN_CANCEL_STOP_DEVICE));
    EXPECT_EQ(context->PnpState, (ULONG)NotStarted);
}

// A stop takes the names down and leaves the port NotStarted, where opens fail.
TEST_F(PnpStateTest, StopTakesTheNamesDownUntilTheNextStart) {
    sim::ModemPdo& modem = NewModem();
    auto node = Arrive(modem);
    PDEVICE_OBJECT fdo = Fdo(modem);
    PDEVICE_CONTEXT context = GetDeviceContext(fdo);

    EXPECT_EQ(SendPnp(fdo, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(context->PnpState, (ULONG)StopPending);
    EXPECT_EQ(LinkTarget(u"COM5"), u"\\Device\\KORVAXSER0") << "a query changes nothing visible";
    EXPECT_EQ(SendPnp(fdo, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(context->PnpState, (ULONG)NotStarted);
    ExpectNoNames(modem, u"COM5", u"\\Device\\KORVAXSER0");
    EXPECT_EQ(context->InterfaceName.Buffer, nullptr);

    EXPECT_EQ(SendPnp(fdo, IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(context->PnpState, (ULONG)Started);
    EXPECT_EQ(LinkTarget(u"COM5"), u"\\Device\\KORVAXSER0");
    EXPECT_TRUE(InterfaceOf(modem)->enabled);
    EXPECT_EQ(kx::RemoveDevice(*node), STATUS_SUCCESS);
}

// Surprise removal while a stop or a removal is pending: the names come down at
// once, so that the next modem configured with the same PortName can start, and
// the REMOVE that follows finds nothing of them and takes nothing of the newcomer.
class SurpriseFromPendingTest : public PnpPortTest, public ::testing::WithParamInterface<UCHAR> {};

TEST_P(SurpriseFromPendingTest, NamesComeDownAndTheRemoveFindsNothingLeft) {
    sim::ModemPdo& modem = NewModem();
    auto node = Arrive(modem);
    PDEVICE_OBJECT fdo = Fdo(modem);
    PDEVICE_CONTEXT context = GetDeviceContext(fdo);
    ASSERT_EQ(SendPnp(fdo, GetParam()), STATUS_SUCCESS);
    ASSERT_EQ(context->PnpState,
              (ULONG)(GetParam() == IRP_MN_QUERY_STOP_DEVICE ? StopPending : RemovePending));

    node->HandleOpened(); // the manager holds the REMOVE back until the handle goes
    EXPECT_EQ(kx::SurpriseRemove(*node), STATUS_SUCCESS);
    ASSERT_EQ(node->State(), kx::DeviceNodeState::SurpriseRemoved);
    EXPECT_EQ(context->PnpState, (ULONG)SurpriseRemoved);
    ExpectNoNames(modem, u"COM5", u"\\Device\\KORVAXSER0");
    EXPECT_EQ(context->SymbolicLinkName.Buffer, nullptr);
    EXPECT_EQ(context->InterfaceName.Buffer, nullptr);
    EXPECT_EQ(context->DeviceName.Buffer, nullptr);

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

INSTANTIATE_TEST_SUITE_P(PendingStates, SurpriseFromPendingTest,
                         ::testing::Values(IRP_MN_QUERY_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE),
                         [](const ::testing::TestParamInfo<UCHAR>& info) {
                             return std::string(info.param == IRP_MN_QUERY_STOP_DEVICE
                                                    ? "StopPending"
                                                    : "RemovePending");
                         });

// The REMOVE goes down before the driver waits for its remove lock: with a hold
// kept here the removal waits, and the bus has the REMOVE already.
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

TEST_F(PnpStateTest, CapabilitiesOfVersionOneGainSurpriseRemovalAndAreKept) {
    sim::ModemPdo& modem = NewModem();
    PDEVICE_OBJECT fdo = AddOnly(modem);
    PDEVICE_CONTEXT context = GetDeviceContext(fdo);
    const DEVICE_CAPABILITIES none{};

    // Version 0: the driver neither reads nor changes the structure; the bus still
    // sees it and answers.
    DEVICE_CAPABILITIES old{};
    old.Size = sizeof(old);
    EXPECT_EQ(SendPnp(fdo, IRP_MN_QUERY_CAPABILITIES, &old), STATUS_SUCCESS);
    EXPECT_EQ(old.Address, 1u) << "answered by the bus";
    EXPECT_EQ(old.Removable, 0u);
    EXPECT_EQ(old.UniqueID, 0u);
    EXPECT_EQ(old.SurpriseRemovalOK, 0u);
    EXPECT_EQ(std::memcmp(&context->DeviceCapabilities, &none, sizeof(none)), 0);

    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof(caps);
    caps.Version = 1;
    caps.Address = caps.UINumber = 0xFFFFFFFF;
    EXPECT_EQ(SendPnp(fdo, IRP_MN_QUERY_CAPABILITIES, &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.Removable, 1u);
    EXPECT_EQ(caps.UniqueID, 1u);
    EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
    EXPECT_EQ(caps.LockSupported | caps.EjectSupported | caps.DockDevice | caps.SilentInstall |
                  caps.RawDeviceOK | caps.HardwareDisabled | caps.NoDisplayInUI,
              0u);
    EXPECT_EQ(caps.Address, 1u);
    EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], PowerDeviceD3);
    EXPECT_EQ(std::memcmp(&context->DeviceCapabilities, &caps, sizeof(caps)), 0);

    // Later queries that bring nothing keep the copy: one of Version 0, and one
    // the lower driver fails.
    DEVICE_CAPABILITIES again{};
    again.Size = sizeof(again);
    EXPECT_EQ(SendPnp(fdo, IRP_MN_QUERY_CAPABILITIES, &again), STATUS_SUCCESS);
    DEVICE_CAPABILITIES failed{};
    failed.Size = sizeof(failed);
    failed.Version = 1;
    modem.ScriptNext(Answer(IRP_MN_QUERY_CAPABILITIES, STATUS_UNSUCCESSFUL));
    EXPECT_EQ(SendPnp(fdo, IRP_MN_QUERY_CAPABILITIES, &failed), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(failed.SurpriseRemovalOK, 0u);
    EXPECT_EQ(std::memcmp(&context->DeviceCapabilities, &caps, sizeof(caps)), 0);
}

// Arrival, open and close, a rebalance, an open port pulled out and its removal
// once the handle goes: at the end the driver unloads with nothing left behind.
TEST_F(PnpStateTest, AWholeLifeLeavesNothingBehind) {
    kx::VerifierCapture verifier;
    sim::ModemPdo& modem = NewModem();
    auto node = Arrive(modem);
    ASSERT_TRUE(node->Started());
    PDEVICE_OBJECT fdo = Fdo(modem);

    PFILE_OBJECT file = OpenPort();
    ASSERT_NE(file, nullptr);
    size_t resets = 0;
    for (const sim::UrbRecord& urb : modem.UrbRecords())
        resets += urb.function == URB_FUNCTION_RESET_PIPE;
    EXPECT_EQ(resets, 3u) << "open resets the three pipes";
    modem.WaitForOutstanding(sim::UsbPipe::BulkIn, 1);
    modem.WaitForOutstanding(sim::UsbPipe::InterruptIn, 1);
    EXPECT_EQ(kx::CloseFile(file), STATUS_SUCCESS);
    EXPECT_EQ(modem.OutstandingTransfers(sim::UsbPipe::BulkIn), 0u);
    EXPECT_EQ(modem.OutstandingTransfers(sim::UsbPipe::InterruptIn), 0u);

    EXPECT_EQ(kx::StopDevice(*node), STATUS_SUCCESS);
    EXPECT_EQ(LinkTarget(u"COM5"), u"\\Device\\KORVAXSER0");

    file = OpenPort();
    ASSERT_NE(file, nullptr);
    modem.WaitForOutstanding(sim::UsbPipe::BulkIn, 1);
    modem.Unplug();
    EXPECT_EQ(kx::SurpriseRemove(*node), STATUS_SUCCESS);
    EXPECT_EQ(node->State(), kx::DeviceNodeState::SurpriseRemoved) << "the handle is open";
    ExpectNoNames(modem, u"COM5", u"\\Device\\KORVAXSER0");
    EXPECT_TRUE(kx::DeviceExists(fdo));

    EXPECT_EQ(kx::CloseFile(file), STATUS_SUCCESS);
    EXPECT_EQ(node->State(), kx::DeviceNodeState::Removed);
    EXPECT_FALSE(kx::DeviceExists(fdo));
    kx::DrainDispatchQueue();

    EXPECT_EQ(kx::OutstandingPool(KORVAX_POOL_TAG).allocations, 0u);
    EXPECT_EQ(kx::OutstandingIrps(), 0u);
    EXPECT_EQ(kx::OpenKernelHandles(driver_), 0u);
    EXPECT_TRUE(kx::SymbolicLinks().empty());
    EXPECT_TRUE(kx::SerialCommMap().empty());
    EXPECT_EQ(kx::TimerCount(), 0u);
    Unload();
    for (const kx::Finding& finding : verifier.Findings())
        ADD_FAILURE() << kx::RuleName(finding.rule) << ": " << finding.detail;
}

} // namespace
