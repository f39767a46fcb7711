// The port's Plug and Play state: queries refused while the port is open and an
// open against a QUERY_STOP (the open's first look at the state comes before
// OpenMutex, so a stop query can slip in between; the look under the mutex is the
// one that decides), a removal query and its cancellation from NotStarted, and
// surprise removal from a pending state.
#include <tests/support/pnp_port.h>

#include <kx/files.h>
#include <kx/registry.h>

#include <cstring>

namespace {

using korvax_test::PnpPortTest;
using korvax_test::WaitUntil;

using PnpStateTest = PnpPortTest;

// An open and a stop query refuse each other. The open waits at OpenMutex, past
// its first look; meanwhile the stop query marks the port StopPending under the
// mutex, as it does when it finds the port closed: the look under the mutex refuses
// the open. Once the stop is cancelled, the open port refuses the stop and removal
// queries busy: the refusal never reaches the bus; the manager's cancellation does,
// and the port stays started and named. Once closed, both queries are accepted.
TEST_F(PnpStateTest, AnOpenAndAStopQueryRefuseEachOtherWhicheverComesFirst) {
    sim::ModemPdo& modem = NewModem();
    auto node = Arrive(modem);
    PDEVICE_OBJECT fdo = Fdo(modem);
    PDEVICE_CONTEXT context = GetDeviceContext(fdo);
    // Opened by its DOS name, as an application does: a real IRP_MJ_CREATE.
    kx::FileOpen open;
    open.name = u"\\\\.\\COM5";
    PFILE_OBJECT file = nullptr;

    ExAcquireFastMutex(&context->OpenMutex);
    NTSTATUS opened = STATUS_PENDING;
    std::thread opener([&] { opened = kx::OpenFile(open, &file); });
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

    ASSERT_EQ(kx::OpenFile(open, &file), STATUS_SUCCESS);
    ASSERT_EQ(context->IsOpen, 1);
    size_t seen = BusPnpMinors(modem).size();
    EXPECT_EQ(kx::StopDevice(*node), STATUS_DEVICE_BUSY);
    EXPECT_EQ(kx::RemoveDevice(*node), STATUS_DEVICE_BUSY);
    auto minors = BusPnpMinors(modem);
    // The refused queries never reach the bus; the requirements before the stop
    // query, the removal relations before the removal query and the
    // cancellations do.
    EXPECT_EQ(std::vector<UCHAR>(minors.begin() + seen, minors.end()),
              (std::vector<UCHAR>{IRP_MN_QUERY_RESOURCE_REQUIREMENTS,
                                  IRP_MN_FILTER_RESOURCE_REQUIREMENTS, IRP_MN_CANCEL_STOP_DEVICE,
                                  IRP_MN_QUERY_DEVICE_RELATIONS, IRP_MN_CANCEL_REMOVE_DEVICE}));
    EXPECT_EQ(context->PnpState, (ULONG)Started);
    EXPECT_TRUE(node->Started());
    EXPECT_EQ(LinkTarget(u"COM5"), u"\\Device\\KORVAXSER0");

    EXPECT_EQ(kx::CloseFile(file), STATUS_SUCCESS);
    EXPECT_EQ(kx::StopDevice(*node), STATUS_SUCCESS);
    EXPECT_EQ(kx::RemoveDevice(*node), STATUS_SUCCESS);
}

// Surprise removal while a stop or a removal is pending: the names come down at
// once, so that the next modem configured with the same PortName can start, and
// the REMOVE that follows finds nothing of them and takes nothing of the newcomer.
TEST_F(PnpStateTest, SurpriseRemovalFromAPendingStateTakesTheNamesDownAtOnce) {
    const struct {
        UCHAR query;
        ULONG pending;
    } rows[] = {{IRP_MN_QUERY_STOP_DEVICE, StopPending},
                {IRP_MN_QUERY_REMOVE_DEVICE, RemovePending}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.pending);
        sim::ModemPdo& modem = NewModem();
        auto node = Arrive(modem);
        PDEVICE_OBJECT fdo = Fdo(modem);
        PDEVICE_CONTEXT context = GetDeviceContext(fdo);
        std::u16string name = kx::DeviceName(fdo);
        ASSERT_EQ(SendPnp(fdo, row.query), STATUS_SUCCESS);
        ASSERT_EQ(context->PnpState, row.pending);

        node->HandleOpened(); // the manager holds the REMOVE back until the handle goes
        EXPECT_EQ(kx::SurpriseRemove(*node), STATUS_SUCCESS);
        ASSERT_EQ(node->State(), kx::DeviceNodeState::SurpriseRemoved);
        EXPECT_EQ(context->PnpState, (ULONG)SurpriseRemoved);
        ExpectNoNames(modem, u"COM5", name);

        sim::ModemPdo& successor = NewModem(u"COM5");
        auto next = Arrive(successor);
        ASSERT_TRUE(next->Started());
        std::u16string successorName = kx::DeviceName(Fdo(successor));
        EXPECT_EQ(LinkTarget(u"COM5"), successorName);

        node->HandleClosed();
        EXPECT_EQ(node->State(), kx::DeviceNodeState::Removed);
        EXPECT_EQ(node->LastStatus(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
        EXPECT_FALSE(kx::DeviceExists(fdo));
        EXPECT_EQ(LinkTarget(u"COM5"), successorName);
        auto map = kx::SerialCommMap();
        ASSERT_EQ(map.size(), 1u);
        EXPECT_EQ(map[0].first, successorName);
        EXPECT_TRUE(InterfaceOf(successor)->enabled);
        EXPECT_EQ(kx::RemoveDevice(*next), STATUS_SUCCESS);
    }
}

// A query is noted and undone only by a cancellation the lower drivers accept,
// which restores the state the query found; QUERY_STOP outside Started goes down
// and is not noted, and neither is the CANCEL_STOP after it.
TEST_F(PnpStateTest, QueriesAreUndoneByTheCancelsTheLowerDriversAccept) {
    const struct {
        bool started;
        UCHAR query, cancel;
        ULONG pending;
    } rows[] = {
        {false, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE, NotStarted},
        {false, IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, RemovePending},
        {true, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE, StopPending},
        {true, IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, RemovePending},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.started << " " << int(row.query));
        sim::ModemPdo& modem = NewModem(row.started ? u"COM6" : u"COM5");
        std::shared_ptr<kx::DeviceNode> node;
        if (row.started)
            node = Arrive(modem);
        PDEVICE_OBJECT fdo = row.started ? Fdo(modem) : AddOnly(modem);
        PDEVICE_CONTEXT context = GetDeviceContext(fdo);
        ULONG before = context->PnpState;

        EXPECT_EQ(SendPnp(fdo, row.query), STATUS_SUCCESS);
        EXPECT_TRUE(BusSaw(modem, row.query));
        EXPECT_EQ(context->PnpState, row.pending);
        EXPECT_EQ(IsDeviceRemoving(context), row.pending == RemovePending);
        sim::Response failCancel = sim::Response::Complete(STATUS_UNSUCCESSFUL);
        failCancel.major = IRP_MJ_PNP;
        failCancel.minor = row.cancel;
        modem.ScriptNext(failCancel);
        EXPECT_EQ(SendPnp(fdo, row.cancel), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(context->PnpState, row.pending);
        EXPECT_EQ(SendPnp(fdo, row.cancel), STATUS_SUCCESS);
        EXPECT_EQ(context->PnpState, before);
        EXPECT_FALSE(IsDeviceRemoving(context));
        if (row.started) {
            EXPECT_EQ(LinkTarget(u"COM6"), kx::DeviceName(fdo));
        }
        RemoveEverything();
    }
}

// Version 1 and later: the three flags are added to what the lower drivers
// returned (bits 0x10, 0x40 and 0x200 of the first flag word) and the result kept.
// Version 0 goes down untouched and nothing is kept.
TEST_F(PnpStateTest, CapabilitiesGainRemovableUniqueIdAndSurpriseRemovalOkFromVersion1) {
    sim::ModemPdo& modem = NewModem();
    PDEVICE_OBJECT fdo = AddOnly(modem);
    PDEVICE_CONTEXT context = GetDeviceContext(fdo);
    sim::Response untouched = sim::Response::Complete(STATUS_SUCCESS);
    untouched.major = IRP_MJ_PNP;
    untouched.minor = IRP_MN_QUERY_CAPABILITIES;

    DEVICE_CAPABILITIES old{};
    std::memset(&old, 0xA5, sizeof old);
    old.Version = 0;
    DEVICE_CAPABILITIES caps = old;
    modem.ScriptNext(untouched);
    EXPECT_EQ(SendPnp(fdo, IRP_MN_QUERY_CAPABILITIES, &caps), STATUS_SUCCESS);
    EXPECT_TRUE(BusSaw(modem, IRP_MN_QUERY_CAPABILITIES));
    EXPECT_EQ(std::memcmp(&caps, &old, sizeof caps), 0) << "a Version 0 structure was changed";
    EXPECT_EQ(std::vector<uint8_t>((uint8_t*)&context->DeviceCapabilities,
                                   (uint8_t*)(&context->DeviceCapabilities + 1)),
              std::vector<uint8_t>(sizeof(DEVICE_CAPABILITIES), 0));

    caps = DEVICE_CAPABILITIES{};
    caps.Size = sizeof caps;
    caps.Version = 1;
    caps.DeviceD1 = 1; // a flag the lower drivers set stays
    ULONG flags = 0;
    EXPECT_EQ(SendPnp(fdo, IRP_MN_QUERY_CAPABILITIES, &caps), STATUS_SUCCESS);
    std::memcpy(&flags, (uint8_t*)&caps + 4, sizeof flags);
    EXPECT_EQ(flags, 0x10u | 0x40u | 0x200u | 0x1u);
    EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0) << "the bus's answer stays";
    EXPECT_EQ(std::memcmp(&context->DeviceCapabilities, &caps, sizeof caps), 0);
}

} // namespace
