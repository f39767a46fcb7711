// The PnP manager drives a device stack as Windows does: AddDevice, then start and
// the queries that follow it; orderly removal, rebalance and surprise removal with
// their cancellations; each request in its own IRP at PASSIVE_LEVEL with
// STATUS_NOT_SUPPORTED preset. Drivers that break the contract are reported.
#include "recording_driver.h"

#include <kx/files.h>
#include <kx/pnp.h>
#include <sim/bus.h>
#include <sim/filter.h>

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

class PnpManagerTest : public ::testing::Test {
  protected:
    void TearDown() override {
        // Whatever a test left standing goes the orderly way, so that the driver can
        // unload.
        for (const auto& node : kx::DeviceNodes())
            kx::RemoveDevice(*node);
    }

    // Reports the PDO and forgets what arrival sent.
    std::shared_ptr<kx::DeviceNode> Arrive() {
        auto node = kx::ReportDevice(pdo_.Device(), driver_.driver);
        driver_.seen.clear();
        return node;
    }

    kx::Kernel kernel_;
    sim::ParentBus bus_;
    sim::ModemPdo& pdo_ = bus_.CreateModemPdo();
    test::RecordingDriver driver_;
};

// The minor codes (IRP_MN_*, wdm.h) in the order Windows sends them.
constexpr UCHAR StartDevice = 0x00, QueryRemove = 0x01, RemoveDevice = 0x02, CancelRemove = 0x03,
                StopDevice = 0x04, QueryStop = 0x05, CancelStop = 0x06, QueryRelations = 0x07,
                QueryCapabilities = 0x09, QueryResources = 0x0A, QueryRequirements = 0x0B,
                QueryText = 0x0C, FilterRequirements = 0x0D, Eject = 0x11, QueryId = 0x13,
                QueryDeviceState = 0x14, QueryBusInformation = 0x15, SurpriseRemoval = 0x17;
// What the PDO alone is asked before AddDevice, and what the stack is asked from
// the filtering of the requirements on.
const Minors Enumeration = {QueryId,           QueryCapabilities, QueryText, QueryText,
                            QueryId,           QueryId,           QueryId,   QueryBusInformation,
                            QueryRequirements, QueryResources};
const Minors StackArrival = {FilterRequirements, StartDevice,    QueryCapabilities,
                             QueryDeviceState,   QueryRelations, 0xFF};

TEST_F(PnpManagerTest, ArrivalStartsAndQueriesTheStackInIrpsOfItsSize) {
    auto node = kx::ReportDevice(pdo_.Device(), driver_.driver);
    ASSERT_NE(node, nullptr);
    EXPECT_TRUE(node->Started());
    EXPECT_EQ(kx::AttachedTo(driver_.fdo), pdo_.Device());
    EXPECT_EQ(kx::FindDeviceNode(driver_.fdo), node);
    EXPECT_EQ(driver_.Minors(), StackArrival);
    Minors pdoArrival = Enumeration;
    pdoArrival.insert(pdoArrival.end(), StackArrival.begin(), StackArrival.end());
    EXPECT_EQ(PdoPnpMinors(pdo_), pdoArrival);
    for (const test::SeenIrp& seen : driver_.seen) {
        EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
        EXPECT_EQ(seen.statusOnEntry, STATUS_NOT_SUPPORTED);
        // Allocated with the top device's stack size: the FDO above the PDO.
        EXPECT_EQ(seen.stackCount, 2);
        EXPECT_EQ(seen.deviceStackSize, 2);
    }
    // Nobody handles the device-state query, the bus relations of a device that
    // is no bus or the unknown minor code: they keep the status they came with.
    EXPECT_EQ(node->LastStatus(QueryDeviceState), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(node->LastStatus(QueryRelations), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(node->LastStatus(0xFF), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(kx::OutstandingIrps(), 0u);
    // A second report of the stack is refused.
    EXPECT_EQ(kx::ReportDevice(pdo_.Device(), driver_.driver), nullptr);

    DEVICE_CAPABILITIES entry = driver_.capsOnEntry;
    EXPECT_EQ(entry.Size, sizeof(DEVICE_CAPABILITIES));
    EXPECT_EQ(entry.Version, 1);
    EXPECT_EQ(entry.Address, 0xFFFFFFFFu);
    EXPECT_EQ(entry.UINumber, 0xFFFFFFFFu);
    EXPECT_EQ(entry.DeviceState[PowerSystemWorking], PowerDeviceUnspecified);
    // The bus's answer is kept.
    EXPECT_EQ(node->Capabilities().Address, 1u);
    EXPECT_EQ(node->Capabilities().DeviceState[PowerSystemWorking], PowerDeviceD0);
}

TEST_F(PnpManagerTest, ARefusedQueryRemoveIsCancelledAndTheNextRemovalRemoves) {
    driver_.options.refuseQueryRemove = 1;
    auto node = Arrive();
    PDEVICE_OBJECT fdo = driver_.fdo;
    size_t pdoBefore = PdoPnpMinors(pdo_).size();

    EXPECT_EQ(kx::RemoveDevice(*node), STATUS_DEVICE_BUSY);
    EXPECT_EQ(driver_.Minors(), (Minors{QueryRelations, QueryRemove, CancelRemove}));
    // The refusal never reached the bus; the removal relations and the
    // cancellation did.
    Minors pdoMinors = PdoPnpMinors(pdo_);
    EXPECT_EQ(Minors(pdoMinors.begin() + pdoBefore, pdoMinors.end()),
              (Minors{QueryRelations, CancelRemove}));
    EXPECT_TRUE(node->Started());

    driver_.seen.clear();
    EXPECT_EQ(kx::RemoveDevice(*node), STATUS_SUCCESS);
    EXPECT_EQ(driver_.Minors(), (Minors{QueryRelations, QueryRemove, RemoveDevice}));
    EXPECT_EQ(node->Requests().at(node->Requests().size() - 3).type, ULONG(RemovalRelations));
    EXPECT_EQ(node->State(), kx::DeviceNodeState::Removed);
    EXPECT_FALSE(kx::DeviceExists(fdo));
    EXPECT_EQ(kx::FindDeviceNode(pdo_.Device()), nullptr);
    // The PDO is the bus's: still there after the removal.
    EXPECT_TRUE(kx::DeviceExists(pdo_.Device()));
    EXPECT_EQ(kx::RemoveDevice(*node), STATUS_NO_SUCH_DEVICE);
}

TEST_F(PnpManagerTest, RebalanceRestartsWithoutRequeryingAndARefusalOrFailedRestartEndsIt) {
    driver_.options.refuseQueryStop = 1;
    auto node = Arrive();
    EXPECT_EQ(kx::StopDevice(*node), STATUS_DEVICE_BUSY);
    // The requirements are asked for again and filtered before the query.
    EXPECT_EQ(driver_.Minors(),
              (Minors{QueryRequirements, FilterRequirements, QueryStop, CancelStop}));
    EXPECT_TRUE(node->Started());

    driver_.seen.clear();
    EXPECT_EQ(kx::StopDevice(*node), STATUS_SUCCESS);
    EXPECT_EQ(driver_.Minors(),
              (Minors{QueryRequirements, FilterRequirements, QueryStop, StopDevice, StartDevice}));
    EXPECT_TRUE(node->Started());

    driver_.seen.clear();
    driver_.options.failStart = 1;
    EXPECT_EQ(kx::StopDevice(*node), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(driver_.Minors(), (Minors{QueryRequirements, FilterRequirements, QueryStop,
                                        StopDevice, StartDevice, RemoveDevice}));
    EXPECT_EQ(node->State(), kx::DeviceNodeState::StartFailed);
}

TEST_F(PnpManagerTest, AFailedStartRemovesTheStackButKeepsTheNode) {
    driver_.options.failStart = 1;
    auto node = kx::ReportDevice(pdo_.Device(), driver_.driver);
    PDEVICE_OBJECT fdo = driver_.fdo;
    EXPECT_EQ(node->State(), kx::DeviceNodeState::StartFailed);
    EXPECT_EQ(node->LastStatus(IRP_MN_START_DEVICE), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(driver_.Minors(), (Minors{FilterRequirements, StartDevice, RemoveDevice}));
    EXPECT_FALSE(kx::DeviceExists(fdo));
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo_.Device());
    ObDereferenceObject(top);
    EXPECT_EQ(top, pdo_.Device());

    // The device node is still known (its keys open) until it is removed.
    HANDLE key;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo_.Device(), PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key),
              STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_EQ(kx::StopDevice(*node), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(kx::RemoveDevice(*node), STATUS_SUCCESS);
    EXPECT_EQ(driver_.Minors().size(), 3u);
    EXPECT_EQ(kx::FindDeviceNode(pdo_.Device()), nullptr);
}

TEST_F(PnpManagerTest, SurpriseRemovalWaitsForTheLastHandleToClose) {
    // With no handle open the removal follows at once.
    auto node = Arrive();
    EXPECT_EQ(kx::SurpriseRemove(*node), STATUS_SUCCESS);
    EXPECT_EQ(driver_.Minors(), (Minors{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
    EXPECT_EQ(node->State(), kx::DeviceNodeState::Removed);

    node = Arrive();
    PDEVICE_OBJECT fdo = driver_.fdo;
    const std::u16string name = kx::DeviceName(fdo);
    kx::FileOpen open;
    open.name = name;
    PFILE_OBJECT first = nullptr, second = nullptr;
    ASSERT_EQ(kx::OpenFile(open, &first), STATUS_SUCCESS);
    ASSERT_EQ(kx::OpenFile(open, &second), STATUS_SUCCESS);
    EXPECT_EQ(node->OpenHandles(), 2u);

    EXPECT_EQ(kx::SurpriseRemove(*node), STATUS_SUCCESS);
    EXPECT_EQ(node->State(), kx::DeviceNodeState::SurpriseRemoved);
    // Neither an orderly removal nor a second surprise goes to the stack now.
    EXPECT_EQ(kx::RemoveDevice(*node), STATUS_DELETE_PENDING);
    EXPECT_EQ(kx::SurpriseRemove(*node), STATUS_DELETE_PENDING);
    kx::CloseFile(first);
    EXPECT_EQ(driver_.Minors(), (Minors{IRP_MN_SURPRISE_REMOVAL}));
    EXPECT_TRUE(kx::DeviceExists(fdo));

    // The last close, on another thread, sends the removal there.
    std::thread closer([&] { kx::CloseFile(second); });
    closer.join();
    EXPECT_EQ(driver_.Minors(), (Minors{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
    EXPECT_EQ(node->State(), kx::DeviceNodeState::Removed);
    EXPECT_FALSE(kx::DeviceExists(fdo));
    EXPECT_EQ(kx::FileObjectCount(), 0u);
}

// The PnP manager's own checks of what comes back: a stack that fails the removal
// (once for failing the request, once for leaving the device in place), or that
// answers the unknown minor code Driver Verifier sends, breaks the contract.
TEST_F(PnpManagerTest, AStackThatFailsTheRemovalOrAnswersTheUnknownMinorBreaksTheContract) {
    driver_.options.answerEverything = true;
    driver_.options.failRemove = true;
    kx::VerifierCapture capture;
    auto node = Arrive();
    EXPECT_EQ(capture.Count(kx::Rule::PnpContract), 1u);
    EXPECT_EQ(node->LastStatus(0xFF), STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = driver_.fdo;
    kx::RemoveDevice(*node);
    EXPECT_EQ(capture.Count(kx::Rule::PnpContract), 3u);
    EXPECT_EQ(capture.Findings().size(), 3u);
    EXPECT_EQ(node->State(), kx::DeviceNodeState::Removed);
    IoDetachDevice(pdo_.Device());
    IoDeleteDevice(fdo);
}

// Ejection: the ejection relations, then the removal relations, the removal, and
// IRP_MN_EJECT to the PDO alone, the function device being gone.
TEST_F(PnpManagerTest, EjectionAsksForTheRelationsRemovesAndEjectsAtTheBus) {
    auto node = Arrive();
    size_t pdoBefore = PdoPnpMinors(pdo_).size();
    EXPECT_EQ(kx::EjectDevice(*node), STATUS_SUCCESS);
    EXPECT_EQ(driver_.Minors(),
              (Minors{QueryRelations, QueryRelations, QueryRemove, RemoveDevice}));
    Minors pdoMinors = PdoPnpMinors(pdo_);
    EXPECT_EQ(Minors(pdoMinors.begin() + pdoBefore, pdoMinors.end()),
              (Minors{QueryRelations, QueryRelations, QueryRemove, RemoveDevice, Eject}));
    std::vector<kx::PnpRequest> requests = node->Requests();
    ASSERT_GE(requests.size(), 5u);
    EXPECT_EQ(requests[requests.size() - 5].type, ULONG(EjectionRelations));
    EXPECT_EQ(requests[requests.size() - 4].type, ULONG(RemovalRelations));
    EXPECT_EQ(node->State(), kx::DeviceNodeState::Removed);
    EXPECT_EQ(kx::EjectDevice(*node), STATUS_INVALID_DEVICE_STATE);
}

// A handle registered for target-device notification: the relation query carries
// the file object and the bus names its PDO; usage notifications reach the bus,
// which holds no paging, hibernation or dump file.
TEST_F(PnpManagerTest, TargetRelationAndUsageNotificationAreSentOnRequest) {
    auto node = Arrive();
    const std::u16string name = kx::DeviceName(driver_.fdo);
    kx::FileOpen open;
    open.name = name;
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(kx::OpenFile(open, &file), STATUS_SUCCESS);
    kx::PnpRequest target = kx::RegisterTargetNotification(file);
    EXPECT_EQ(target.status, STATUS_SUCCESS);
    EXPECT_EQ(target.type, ULONG(TargetDeviceRelation));
    EXPECT_EQ(target.relations, std::vector<PDEVICE_OBJECT>{pdo_.Device()});
    EXPECT_EQ(pdo_.Records().back().fileObject, file);
    kx::CloseFile(file);
    EXPECT_EQ(kx::RegisterTargetNotification(nullptr).status, STATUS_INVALID_PARAMETER);

    driver_.seen.clear();
    EXPECT_EQ(kx::NotifyDeviceUsage(*node, DeviceUsageTypePaging, true), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(driver_.Minors(), (Minors{0x16}));
    EXPECT_EQ(pdo_.Records().back().pnpType, ULONG(DeviceUsageTypePaging));
}

// Lower filters, the function driver and upper filters are added in that order,
// each on top of the last; when a later AddDevice fails, the drivers already
// attached get IRP_MN_REMOVE_DEVICE and leave.
TEST_F(PnpManagerTest, FiltersJoinTheStackInOrderAndLeaveWhenTheFunctionDriverFails) {
    sim::FilterDriver lower(u"Lower");
    sim::FilterDriver upper(u"Upper");
    kx::StackDrivers drivers;
    drivers.lowerFilters = {lower.Driver()};
    drivers.function = driver_.driver;
    drivers.upperFilters = {upper.Driver()};
    auto node = kx::ReportDevice(pdo_.Device(), drivers);
    ASSERT_TRUE(node->Started());
    PDEVICE_OBJECT below = pdo_.Device()->AttachedDevice;
    EXPECT_EQ(below->DriverObject, lower.Driver());
    EXPECT_EQ(below->AttachedDevice, driver_.fdo);
    EXPECT_EQ(driver_.fdo->AttachedDevice->DriverObject, upper.Driver());
    // The IRPs are as deep as the stack: four locations.
    for (const test::SeenIrp& seen : driver_.seen)
        EXPECT_EQ(seen.stackCount, 4);
    EXPECT_EQ(kx::RemoveDevice(*node), STATUS_SUCCESS);
    EXPECT_EQ(pdo_.Device()->AttachedDevice, nullptr);

    driver_.options.failAddDevice = true;
    size_t pdoBefore = PdoPnpMinors(pdo_).size();
    node = kx::ReportDevice(pdo_.Device(), drivers);
    EXPECT_EQ(node->State(), kx::DeviceNodeState::AddDeviceFailed);
    EXPECT_EQ(node->AddDeviceStatus(), STATUS_INSUFFICIENT_RESOURCES);
    Minors pdoMinors = PdoPnpMinors(pdo_);
    EXPECT_EQ(pdoMinors.back(), RemoveDevice);
    EXPECT_EQ(pdoMinors.size(), pdoBefore + Enumeration.size() + 1);
    EXPECT_EQ(pdo_.Device()->AttachedDevice, nullptr);
    EXPECT_EQ(lower.Driver()->DeviceObject, nullptr);
    EXPECT_EQ(kx::RemoveDevice(*node), STATUS_SUCCESS);
}

} // namespace
