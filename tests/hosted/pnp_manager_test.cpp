// The PnP manager drives a device stack as Windows does: AddDevice, then start and
// the queries that follow it; orderly removal, rebalance and surprise removal with
// their cancellations; each request in its own IRP at PASSIVE_LEVEL with
// STATUS_NOT_SUPPORTED preset. Drivers that break the contract are reported.
#include "recording_driver.h"

#include <kx/namespace.h>
#include <kx/pnp.h>
#include <kx/registry.h>
#include <sim/bus.h>

#include <gtest/gtest.h>

#include <thread>

namespace {

using Minors = std::vector<UCHAR>;

Minors PdoPnpMinors(const sim::ModemPdo& pdo) {
    Minors minors;
    for (const sim::RecordedIrp& r : pdo.Records()) {
        if (r.major == IRP_MJ_PNP)
            minors.push_back(r.minor);
    }
    return minors;
}

PDEVICE_OBJECT TopOf(PDEVICE_OBJECT device) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
    ObDereferenceObject(top);
    return top;
}

class PnpManagerTest : public ::testing::Test {
  protected:
    void TearDown() override {
        // Whatever a test left standing goes the orderly way, so that the driver can
        // unload.
        for (const auto& node : kx::DeviceNodes()) {
            if (node->State() == kx::DeviceNodeState::SurpriseRemoved)
                node->SetOpenHandles(0);
            else
                kx::RemoveDevice(*node);
        }
    }

    std::shared_ptr<kx::DeviceNode> Arrive(const test::RecordingOptions& options = {}) {
        driver_.SetOptions(options);
        return kx::ReportDevice(pdo_.Device(), driver_.Driver());
    }

    kx::Kernel kernel_;
    sim::ParentBus bus_;
    sim::ModemPdo& pdo_ = bus_.CreateModemPdo();
    test::RecordingDriver driver_;
};

TEST_F(PnpManagerTest, ArrivalCallsAddDeviceThenStartsAndQueriesTheStack) {
    auto node = Arrive();
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->AddDeviceStatus(), STATUS_SUCCESS);
    EXPECT_TRUE(node->Started());
    PDEVICE_OBJECT fdo = driver_.Fdo();
    ASSERT_NE(fdo, nullptr);
    EXPECT_EQ(kx::AttachedTo(fdo), pdo_.Device());

    const Minors arrival = {IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES,
                            IRP_MN_QUERY_PNP_DEVICE_STATE};
    EXPECT_EQ(driver_.Minors(), arrival);
    EXPECT_EQ(PdoPnpMinors(pdo_), arrival);
    for (const test::SeenIrp& seen : driver_.Seen()) {
        EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
        EXPECT_EQ(seen.statusOnEntry, STATUS_NOT_SUPPORTED);
        // Allocated with the top device's stack size: the FDO above the PDO.
        EXPECT_EQ(seen.stackCount, 2);
        EXPECT_EQ(seen.deviceStackSize, 2);
    }
    auto requests = node->Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].status, STATUS_SUCCESS);
    EXPECT_EQ(requests[1].status, STATUS_SUCCESS);
    // Nobody handles the device-state query: it keeps the status it came with.
    EXPECT_EQ(requests[2].status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(node->LastStatus(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(kx::OutstandingIrps(), 0u);
    EXPECT_EQ(kx::FindDeviceNode(fdo), node);
    EXPECT_EQ(kx::FindDeviceNode(pdo_.Device()), node);
}

TEST_F(PnpManagerTest, CapabilitiesArriveInitialisedAndTheAnswerIsKept) {
    auto node = Arrive();
    DEVICE_CAPABILITIES entry = driver_.CapabilitiesOnEntry();
    EXPECT_EQ(entry.Size, sizeof(DEVICE_CAPABILITIES));
    EXPECT_EQ(entry.Version, 1);
    EXPECT_EQ(entry.Address, 0xFFFFFFFFu);
    EXPECT_EQ(entry.UINumber, 0xFFFFFFFFu);
    EXPECT_EQ(entry.SurpriseRemovalOK, 0u);
    EXPECT_EQ(entry.DeviceState[PowerSystemWorking], PowerDeviceUnspecified);
    EXPECT_EQ(entry.SystemWake, PowerSystemUnspecified);
    EXPECT_EQ(entry.DeviceWake, PowerDeviceUnspecified);

    // The bus filled in its part, the function driver added surprise removal.
    DEVICE_CAPABILITIES kept = node->Capabilities();
    EXPECT_EQ(kept.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(kept.DeviceState[PowerSystemSleeping3], PowerDeviceD3);
    EXPECT_EQ(kept.Address, 1u);
    EXPECT_EQ(kept.SurpriseRemovalOK, 1u);
    EXPECT_EQ(kept.Version, 1);
}

TEST_F(PnpManagerTest, OrderlyRemovalQueriesThenRemovesAndTheNodeIsGone) {
    auto node = Arrive();
    PDEVICE_OBJECT fdo = driver_.Fdo();
    driver_.ClearSeen();
    EXPECT_EQ(kx::RemoveDevice(*node), STATUS_SUCCESS);
    EXPECT_EQ(driver_.Minors(), (Minors{IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}));
    EXPECT_EQ(node->State(), kx::DeviceNodeState::Removed);
    EXPECT_FALSE(kx::DeviceExists(fdo));
    EXPECT_EQ(TopOf(pdo_.Device()), pdo_.Device());
    EXPECT_EQ(kx::FindDeviceNode(pdo_.Device()), nullptr);
    EXPECT_TRUE(kx::DeviceNodes().empty());
    // The PDO is the bus's: still there after the removal.
    EXPECT_TRUE(kx::DeviceExists(pdo_.Device()));
    EXPECT_EQ(kx::RemoveDevice(*node), STATUS_NO_SUCH_DEVICE);
}

TEST_F(PnpManagerTest, RefusedQueryRemoveIsCancelledAndTheDeviceStays) {
    test::RecordingOptions options;
    options.refuseQueryRemove = 1;
    auto node = Arrive(options);
    driver_.ClearSeen();
    size_t pdoBefore = PdoPnpMinors(pdo_).size();

    EXPECT_EQ(kx::RemoveDevice(*node), STATUS_DEVICE_BUSY);
    EXPECT_EQ(driver_.Minors(), (Minors{IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}));
    // The refusal never reached the bus; the cancellation did.
    Minors pdoMinors = PdoPnpMinors(pdo_);
    EXPECT_EQ(Minors(pdoMinors.begin() + pdoBefore, pdoMinors.end()),
              (Minors{IRP_MN_CANCEL_REMOVE_DEVICE}));
    EXPECT_TRUE(node->Started());
    EXPECT_TRUE(kx::DeviceExists(driver_.Fdo()));
    EXPECT_EQ(node->LastStatus(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_DEVICE_BUSY);

    EXPECT_EQ(kx::RemoveDevice(*node), STATUS_SUCCESS);
    EXPECT_EQ(driver_.Minors(), (Minors{IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE,
                                        IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}));
    EXPECT_EQ(node->State(), kx::DeviceNodeState::Removed);
}

TEST_F(PnpManagerTest, RebalanceStopsAndRestartsWithoutRequerying) {
    auto node = Arrive();
    driver_.ClearSeen();
    EXPECT_EQ(kx::StopDevice(*node), STATUS_SUCCESS);
    EXPECT_EQ(driver_.Minors(),
              (Minors{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE}));
    EXPECT_TRUE(node->Started());
}

TEST_F(PnpManagerTest, RefusedQueryStopIsCancelled) {
    test::RecordingOptions options;
    options.refuseQueryStop = 1;
    auto node = Arrive(options);
    driver_.ClearSeen();
    EXPECT_EQ(kx::StopDevice(*node), STATUS_DEVICE_BUSY);
    EXPECT_EQ(driver_.Minors(), (Minors{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE}));
    EXPECT_TRUE(node->Started());
}

TEST_F(PnpManagerTest, FailedStartRemovesTheStackButKeepsTheNode) {
    test::RecordingOptions options;
    options.failStart = 1;
    auto node = Arrive(options);
    PDEVICE_OBJECT fdo = driver_.Fdo();
    EXPECT_EQ(node->State(), kx::DeviceNodeState::StartFailed);
    EXPECT_EQ(node->LastStatus(IRP_MN_START_DEVICE), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(driver_.Minors(), (Minors{IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE}));
    EXPECT_FALSE(kx::DeviceExists(fdo));
    EXPECT_EQ(TopOf(pdo_.Device()), pdo_.Device());

    // The device node is still known (its keys open) until it is removed.
    HANDLE key;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo_.Device(), PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key),
              STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_EQ(kx::StopDevice(*node), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(kx::RemoveDevice(*node), STATUS_SUCCESS);
    EXPECT_EQ(driver_.Minors().size(), 2u);
    EXPECT_EQ(node->State(), kx::DeviceNodeState::Removed);
    EXPECT_EQ(kx::FindDeviceNode(pdo_.Device()), nullptr);
}

TEST_F(PnpManagerTest, FailedRestartAfterRebalanceIsAFailedStart) {
    auto node = Arrive();
    driver_.ClearSeen();
    test::RecordingOptions options;
    options.failStart = 1;
    driver_.SetOptions(options);
    EXPECT_EQ(kx::StopDevice(*node), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(driver_.Minors(), (Minors{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE,
                                        IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE}));
    EXPECT_EQ(node->State(), kx::DeviceNodeState::StartFailed);
}

TEST_F(PnpManagerTest, FailedAddDeviceSendsNothing) {
    test::RecordingOptions options;
    options.failAddDevice = true;
    auto node = Arrive(options);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->State(), kx::DeviceNodeState::AddDeviceFailed);
    EXPECT_EQ(node->AddDeviceStatus(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(driver_.Minors().empty());
    EXPECT_TRUE(PdoPnpMinors(pdo_).empty());
    EXPECT_TRUE(node->Requests().empty());
    EXPECT_EQ(kx::SurpriseRemove(*node), STATUS_SUCCESS);
    EXPECT_EQ(node->State(), kx::DeviceNodeState::Removed);
}

TEST_F(PnpManagerTest, ASecondReportOfTheSamePdoIsRefused) {
    auto node = Arrive();
    EXPECT_EQ(kx::ReportDevice(pdo_.Device(), driver_.Driver()), nullptr);
    // Only the bottom of a stack is a physical device object.
    EXPECT_EQ(kx::ReportDevice(driver_.Fdo(), driver_.Driver()), nullptr);
    EXPECT_EQ(kx::DeviceNodes().size(), 1u);
}

TEST_F(PnpManagerTest, SurpriseRemovalWithNoHandleOpenRemovesAtOnce) {
    auto node = Arrive();
    PDEVICE_OBJECT fdo = driver_.Fdo();
    driver_.ClearSeen();
    EXPECT_EQ(kx::SurpriseRemove(*node), STATUS_SUCCESS);
    EXPECT_EQ(driver_.Minors(), (Minors{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
    EXPECT_EQ(node->State(), kx::DeviceNodeState::Removed);
    EXPECT_FALSE(kx::DeviceExists(fdo));
}

TEST_F(PnpManagerTest, SurpriseRemovalWaitsForTheLastHandleToClose) {
    auto node = Arrive();
    PDEVICE_OBJECT fdo = driver_.Fdo();
    node->HandleOpened();
    node->HandleOpened();
    driver_.ClearSeen();

    EXPECT_EQ(kx::SurpriseRemove(*node), STATUS_SUCCESS);
    EXPECT_EQ(driver_.Minors(), (Minors{IRP_MN_SURPRISE_REMOVAL}));
    EXPECT_EQ(node->State(), kx::DeviceNodeState::SurpriseRemoved);
    EXPECT_TRUE(kx::DeviceExists(fdo));
    // Neither an orderly removal nor a second surprise goes to the stack now.
    EXPECT_EQ(kx::RemoveDevice(*node), STATUS_DELETE_PENDING);
    EXPECT_EQ(kx::SurpriseRemove(*node), STATUS_DELETE_PENDING);
    EXPECT_EQ(driver_.Minors().size(), 1u);

    node->HandleClosed();
    EXPECT_EQ(driver_.Minors(), (Minors{IRP_MN_SURPRISE_REMOVAL}));
    EXPECT_TRUE(kx::DeviceExists(fdo));

    // The last close, on another thread, sends the removal there.
    std::thread closer([&] { node->HandleClosed(); });
    closer.join();
    EXPECT_EQ(driver_.Minors(), (Minors{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
    EXPECT_EQ(node->State(), kx::DeviceNodeState::Removed);
    EXPECT_FALSE(kx::DeviceExists(fdo));
    EXPECT_EQ(node->OpenHandles(), 0u);
}

TEST_F(PnpManagerTest, APublishedPortIsReachableByItsNameUntilTheSurpriseRemoval) {
    kx::SetHardwareString(pdo_.Device(), u"PortName", u"COM7");
    test::RecordingOptions options;
    options.publishPort = true;
    auto node = Arrive(options);
    ASSERT_TRUE(node->Started());
    ASSERT_EQ(driver_.Port().status, STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = driver_.Fdo();
    std::u16string fdoName = driver_.FdoName();

    EXPECT_EQ(kx::OpenTarget(u"\\\\.\\COM7"), fdo);
    EXPECT_EQ(kx::ResolveLink(u"\\DosDevices\\COM7"), fdoName);
    EXPECT_EQ(kx::SerialCommMap(),
              (std::vector<std::pair<std::u16string, std::u16string>>{{fdoName, u"COM7"}}));
    EXPECT_EQ(kx::OpenKernelHandles(), 0u);

    EXPECT_EQ(kx::SurpriseRemove(*node), STATUS_SUCCESS);
    EXPECT_EQ(kx::OpenTarget(u"\\\\.\\COM7"), nullptr);
    EXPECT_FALSE(kx::ResolveLink(u"\\DosDevices\\COM7").has_value());
    EXPECT_TRUE(kx::SerialCommMap().empty());
}

TEST_F(PnpManagerTest, ARestartReadsThePortNameAgain) {
    kx::SetHardwareString(pdo_.Device(), u"PortName", u"COM7");
    test::RecordingOptions options;
    options.publishPort = true;
    auto node = Arrive(options);
    kx::SetHardwareString(pdo_.Device(), u"PortName", u"COM12");
    EXPECT_EQ(kx::StopDevice(*node), STATUS_SUCCESS);
    EXPECT_EQ(kx::OpenTarget(u"\\\\.\\COM7"), nullptr);
    EXPECT_EQ(kx::OpenTarget(u"\\\\.\\COM12"), driver_.Fdo());
    EXPECT_EQ(kx::SerialCommMap().size(), 1u);
    EXPECT_EQ(kx::SerialCommMap()[0].second, u"COM12");
}

// ---- Contract violations ----------------------------------------------------------------

TEST_F(PnpManagerTest, FailingTheRemovalIsReported) {
    test::RecordingOptions options;
    options.failRemove = true;
    auto node = Arrive(options);
    PDEVICE_OBJECT fdo = driver_.Fdo();
    {
        kx::VerifierCapture capture;
        kx::RemoveDevice(*node);
        // Once for failing the request, once for leaving the device in place.
        EXPECT_EQ(capture.Count(kx::Rule::PnpContract), 2u);
        EXPECT_EQ(capture.Findings().size(), 2u);
    }
    EXPECT_EQ(node->State(), kx::DeviceNodeState::Removed);
    IoDetachDevice(pdo_.Device());
    IoDeleteDevice(fdo);
}

TEST_F(PnpManagerTest, ADeviceLeftAttachedAfterRemovalIsReported) {
    test::RecordingOptions options;
    options.keepDeviceOnRemove = true;
    auto node = Arrive(options);
    PDEVICE_OBJECT fdo = driver_.Fdo();
    {
        kx::VerifierCapture capture;
        EXPECT_EQ(kx::RemoveDevice(*node), STATUS_SUCCESS);
        ASSERT_EQ(capture.Count(kx::Rule::PnpContract), 1u);
        EXPECT_NE(capture.Findings()[0].detail.find("still attached"), std::string::npos);
    }
    IoDetachDevice(pdo_.Device());
    IoDeleteDevice(fdo);
}

TEST_F(PnpManagerTest, AddDeviceLeavingTheDeviceInitializingIsReported) {
    test::RecordingOptions options;
    options.leaveInitializing = true;
    kx::VerifierCapture capture;
    auto node = Arrive(options);
    ASSERT_EQ(capture.Count(kx::Rule::PnpContract), 1u);
    EXPECT_NE(capture.Findings()[0].detail.find("DO_DEVICE_INITIALIZING"), std::string::npos);
    EXPECT_TRUE(node->Started());
}

TEST_F(PnpManagerTest, AKeyHandleLeftOpenIsReportedWhenTheDriverUnloads) {
    kx::SetHardwareString(pdo_.Device(), u"PortName", u"COM3");
    test::RecordingOptions options;
    options.publishPort = true;
    options.leakKeyHandle = true;
    auto node = Arrive(options);
    EXPECT_EQ(kx::OpenKernelHandles(driver_.Driver()), 1u);
    ASSERT_EQ(kx::RemoveDevice(*node), STATUS_SUCCESS);
    kx::VerifierCapture capture;
    driver_.Unload();
    ASSERT_EQ(capture.Count(kx::Rule::HandleLeak), 1u);
    EXPECT_NE(capture.Findings()[0].detail.find("Device Parameters"), std::string::npos);
    EXPECT_EQ(capture.Findings().size(), 1u);
    EXPECT_EQ(kx::OpenKernelHandles(), 0u);
}

TEST_F(PnpManagerTest, ALinkLeftBehindIsReportedWhenTheDriverUnloads) {
    kx::SetHardwareString(pdo_.Device(), u"PortName", u"COM3");
    test::RecordingOptions options;
    options.publishPort = true;
    options.keepLinkAtRemoval = true;
    auto node = Arrive(options);
    ASSERT_EQ(kx::RemoveDevice(*node), STATUS_SUCCESS);
    EXPECT_EQ(kx::SymbolicLinks().size(), 1u);
    kx::VerifierCapture capture;
    driver_.Unload();
    ASSERT_EQ(capture.Count(kx::Rule::SymbolicLinkLeak), 1u);
    EXPECT_NE(capture.Findings()[0].detail.find("\\DosDevices\\COM3"), std::string::npos);
    EXPECT_TRUE(kx::SymbolicLinks().empty());
}

} // namespace
