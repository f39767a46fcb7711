// The device-control frame: refusal of a closed port, the routing of the 39 serial
// codes and of the codes around them, every row's buffer minimums, the rows that do
// nothing, and deferral of requests sent above PASSIVE_LEVEL.
#include <tests/support/open_port.h>
#include <tests/support/pnp_port.h>
#include <tests/support/worker_blockers.h>

#include <kx/files.h>

#include <cstring>
#include <functional>

namespace {

using korvax_test::HeldRequest;
using korvax_test::OpenPortTest;

class DeviceControlTest : public OpenPortTest {
  protected:
    // A request sent as a kernel-mode client at the given IRQL, its system buffer
    // filled with 0xFF and its Information preset, so that what the driver changes
    // shows.
    std::unique_ptr<HeldRequest> Send(ULONG code, ULONG in, ULONG out, KIRQL irql = PASSIVE_LEVEL) {
        std::vector<uint8_t> input(std::max(in, out), 0xFF);
        auto request = HeldRequest::Ioctl(fdo_, code, input.data(), in, out);
        if (in == 0 && out != 0)
            std::memset(request->Irp()->AssociatedIrp.SystemBuffer, 0xFF, out);
        request->Irp()->IoStatus.Information = 0x55;
        kx::RunAtIrql(irql, [&] { request->Send(); });
        return request;
    }

    size_t Urbs() const { return pdo_->UrbRecords().size(); }
};

TEST_F(DeviceControlTest, AClosedPortRefusesEveryCodeAtAnyIrqlAndLeavesInformation) {
    context_->IsOpen = 0;
    for (KIRQL irql : {(KIRQL)PASSIVE_LEVEL, (KIRQL)DISPATCH_LEVEL}) {
        for (ULONG code :
             {ULONG(IOCTL_SERIAL_GET_BAUD_RATE), ULONG(IOCTL_SERIAL_SET_DTR), ULONG(0x001B0006)}) {
            auto request = Send(code, 0, 4, irql);
            ASSERT_TRUE(request->Completed());
            EXPECT_EQ(request->Returned(), STATUS_INVALID_DEVICE_REQUEST);
            EXPECT_EQ(request->Status(), STATUS_INVALID_DEVICE_REQUEST);
            EXPECT_EQ(request->Information(), 0x55u) << "code " << std::hex << code;
        }
    }
    context_->IsOpen = 1;
}

// Codes outside the 39 (between the steps of 4, below the first, past the last,
// another device type) and the rows the table refuses end the same way.
TEST_F(DeviceControlTest, UnroutedAndRefusedCodesEndWithInvalidParameter) {
    const ULONG codes[] = {0x001B0000,
                           0x001B0006,
                           0x001B0005,
                           0x001B00A0,
                           0x002D1400,
                           IOCTL_SERIAL_RESET_DEVICE,
                           IOCTL_SERIAL_SET_XOFF,
                           IOCTL_SERIAL_SET_XON,
                           IOCTL_SERIAL_GET_COMMCONFIG,
                           IOCTL_SERIAL_SET_COMMCONFIG};
    // A buffer that any handler would take: a valid rate, then zeros.
    const uint8_t input[8] = {0x80, 0x25};
    for (ULONG code : codes) {
        auto request = HeldRequest::Ioctl(fdo_, code, input, sizeof input, sizeof input);
        request->Send();
        EXPECT_EQ(request->Status(), STATUS_INVALID_PARAMETER) << std::hex << code;
        EXPECT_EQ(request->Information(), 0u) << std::hex << code;
    }
    EXPECT_EQ(Urbs(), 0u);
}

// One byte below a row's minimum fails before the buffer is read and sends
// nothing; at the minimum the request gets past the frame, and a request that
// returns data returns exactly the minimum.
TEST_F(DeviceControlTest, EveryRowsMinimumIsCheckedBeforeTheBufferIsUsed) {
    const struct {
        ULONG code, in, out;
    } rows[] = {
        {IOCTL_SERIAL_SET_BAUD_RATE, 4, 0},
        {IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0},
        {IOCTL_SERIAL_IMMEDIATE_CHAR, 1, 0},
        {IOCTL_SERIAL_SET_TIMEOUTS, 20, 0},
        {IOCTL_SERIAL_GET_TIMEOUTS, 0, 20},
        {IOCTL_SERIAL_GET_WAIT_MASK, 0, 4},
        {IOCTL_SERIAL_SET_WAIT_MASK, 4, 0},
        {IOCTL_SERIAL_WAIT_ON_MASK, 0, 4},
        {IOCTL_SERIAL_PURGE, 4, 0},
        {IOCTL_SERIAL_GET_BAUD_RATE, 0, 4},
        {IOCTL_SERIAL_GET_LINE_CONTROL, 0, 3},
        {IOCTL_SERIAL_GET_CHARS, 0, 6},
        {IOCTL_SERIAL_SET_CHARS, 6, 0},
        {IOCTL_SERIAL_GET_HANDFLOW, 0, 16},
        {IOCTL_SERIAL_SET_HANDFLOW, 16, 0},
        {IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4},
        {IOCTL_SERIAL_GET_COMMSTATUS, 0, 20},
        {IOCTL_SERIAL_GET_PROPERTIES, 0, 64},
        {IOCTL_SERIAL_GET_STATS, 0, 24},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << row.code);
        auto below = Send(row.code, row.in ? row.in - 1 : 0, row.out ? row.out - 1 : 0);
        EXPECT_EQ(below->Status(), STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(below->Information(), 0u);
        if (row.code == IOCTL_SERIAL_IMMEDIATE_CHAR)
            continue; // at its minimum it goes to the write path (the write tests)
        // A mask of 0xFFFFFFFF is refused by SET_WAIT_MASK; at its minimum the
        // rest succeed or refuse their contents, never the length.
        auto at = Send(row.code, row.in, row.out);
        ASSERT_TRUE(at->Completed());
        EXPECT_NE(at->Status(), STATUS_BUFFER_TOO_SMALL);
        if (row.out != 0 && at->Status() == STATUS_SUCCESS) {
            EXPECT_EQ(at->Information(), row.out);
        }
    }
    EXPECT_EQ(Urbs(), 0u) << "a request below its minimum or refused sent something";
    EXPECT_EQ(context_->BaudRate, 460800u);
}

// The rows that need no work accept any buffer, change nothing in the port,
// send nothing and return nothing.
TEST_F(DeviceControlTest, NoOperationRowsSucceedAndTouchNothing) {
    const ULONG codes[] = {IOCTL_SERIAL_SET_QUEUE_SIZE,    IOCTL_SERIAL_SET_BREAK_ON,
                           IOCTL_SERIAL_SET_BREAK_OFF,     IOCTL_SERIAL_XOFF_COUNTER,
                           IOCTL_SERIAL_GET_DTRRTS,        IOCTL_SERIAL_LSRMST_INSERT,
                           IOCTL_SERIAL_CONFIG_SIZE,       IOCTL_SERIAL_GET_MODEM_CONTROL,
                           IOCTL_SERIAL_SET_MODEM_CONTROL, IOCTL_SERIAL_SET_FIFO_CONTROL};
    std::vector<uint8_t> before((uint8_t*)context_, (uint8_t*)(context_ + 1));
    for (ULONG code : codes) {
        for (ULONG length : {0u, 64u}) {
            auto request = Send(code, length, length);
            EXPECT_EQ(request->Status(), STATUS_SUCCESS) << std::hex << code;
            EXPECT_EQ(request->Information(), 0u) << std::hex << code;
        }
    }
    EXPECT_EQ(Urbs(), 0u);
    EXPECT_EQ(std::memcmp(before.data(), context_, sizeof(DEVICE_CONTEXT)), 0)
        << "a no-op row changed the device context";
}

// From DISPATCH_LEVEL the request returns STATUS_PENDING at once, holding the
// remove lock, and a worker thread completes it with what it returns at
// PASSIVE_LEVEL. The worker checks again what the dispatch routine checked, since
// the port may have closed meanwhile (removal: the test after this one).
TEST_F(DeviceControlTest, ARequestFromDispatchLevelIsCheckedAgainByItsWorker) {
    const struct {
        const char* name;
        ULONG out;
        std::function<void()> meanwhile;
        NTSTATUS status;
    } rows[] = {
        {"nothing changes", 4, [] {}, STATUS_SUCCESS},
        {"a buffer too small", 3, [] {}, STATUS_BUFFER_TOO_SMALL},
        {"the port closes", 4, [this] { context_->IsOpen = 0; }, STATUS_INVALID_DEVICE_REQUEST},
    };
    for (const auto& row : rows) {
        std::unique_ptr<HeldRequest> request;
        {
            korvax_test::WorkerBlockers blockers(2);
            request = Send(IOCTL_SERIAL_GET_BAUD_RATE, 0, row.out, DISPATCH_LEVEL);
            EXPECT_EQ(request->Returned(), STATUS_PENDING) << row.name;
            EXPECT_EQ(RemoveLockHolds(), 1) << row.name;
            row.meanwhile();
        }
        ASSERT_TRUE(request->WaitCompleted()) << row.name;
        EXPECT_EQ(request->Status(), row.status) << row.name;
        if (row.status == STATUS_SUCCESS) {
            EXPECT_EQ(request->Information(), 4u);
            EXPECT_EQ(request->Word(), 460800u);
        }
        kx::DrainWorkItems();
        EXPECT_EQ(RemoveLockHolds(), 0) << row.name;
        context_->IsOpen = 1;
    }
}

// A deferred request against the PnP manager's removal of an unplugged modem. The
// worker checks again, and finds the surprise removal that came while the request
// waited for it. The REMOVE that the last handle's close then sends waits in
// IoReleaseRemoveLockAndWait ("Using Remove Locks", WDK) for the request's hold,
// through the worker's run, which then finds the port closed.
using DeviceControlRemovalTest = korvax_test::PnpPortTest;

TEST_F(DeviceControlRemovalTest, ARequestFromDispatchLevelHoldsTheDeviceThroughItsWorkerRun) {
    const struct {
        const char* name;
        bool closeBeforeWorker;
        NTSTATUS status;
    } rows[] = {
        {"surprise removal", false, STATUS_DELETE_PENDING},
        {"the REMOVE after the close", true, STATUS_INVALID_DEVICE_REQUEST},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        sim::ModemPdo& modem = NewModem();
        auto node = Arrive(modem);
        ASSERT_TRUE(node->Started());
        PDEVICE_OBJECT fdo = Fdo(modem);
        PDEVICE_CONTEXT context = GetDeviceContext(fdo);
        kx::FileOpen open;
        open.name = u"\\\\.\\COM5";
        PFILE_OBJECT file = nullptr;
        ASSERT_EQ(kx::OpenFile(open, &file), STATUS_SUCCESS);

        auto request =
            HeldRequest::Ioctl(fdo, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, sizeof(ULONG));
        // The holds the lock counts besides its bias, which the REMOVE drops once it
        // has marked the lock removed.
        auto removed = [context] {
            return __atomic_load_n(&context->RemoveLock.Common.Removed, __ATOMIC_SEQ_CST) != 0;
        };
        auto holds = [context, removed] {
            return InterlockedCompareExchange(&context->RemoveLock.Common.IoCount, 0, 0) -
                   (removed() ? 0 : 1);
        };
        // On the completing thread, before the worker goes on: the request's hold is
        // still there.
        bool heldAtCompletion = false;
        request->OnCompletion([&] { heldAtCompletion = kx::DeviceExists(fdo) && holds() >= 1; });
        std::thread closer;
        {
            korvax_test::WorkerBlockers blockers(2);
            kx::RunAtIrql(DISPATCH_LEVEL, [&] { request->Send(); });
            EXPECT_EQ(request->Returned(), STATUS_PENDING);
            modem.Unplug(); // the readers' transfers fail, as the bus fails them
            ASSERT_EQ(kx::SurpriseRemove(*node), STATUS_SUCCESS);
            if (row.closeBeforeWorker) {
                closer = std::thread([&] { EXPECT_EQ(kx::CloseFile(file), STATUS_SUCCESS); });
                // The REMOVE waits once it has marked the lock removed and dropped its
                // own hold and the bias: only the request's hold is left.
                EXPECT_TRUE(korvax_test::WaitUntil([&] {
                    return node->State() == kx::DeviceNodeState::Removed ||
                           (removed() && holds() == 1);
                }));
                EXPECT_NE(node->State(), kx::DeviceNodeState::Removed) << "the REMOVE did not wait";
            }
            EXPECT_FALSE(request->Completed());
        } // the worker runs
        if (row.closeBeforeWorker)
            closer.join();
        ASSERT_TRUE(request->Completed());
        EXPECT_EQ(request->Status(), row.status);
        EXPECT_EQ(request->Information(), 0u);
        EXPECT_TRUE(heldAtCompletion);
        if (!row.closeBeforeWorker) {
            EXPECT_EQ(kx::CloseFile(file), STATUS_SUCCESS);
        }
        EXPECT_EQ(node->State(), kx::DeviceNodeState::Removed);
        EXPECT_EQ(node->LastStatus(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
        EXPECT_FALSE(kx::DeviceExists(fdo));
    }
}

TEST_F(DeviceControlTest, DeferralWithoutPoolFailsUnsuccessfulAtOnce) {
    kx::ArmFault({kx::AllocationKind::Pool, 1, KORVAX_POOL_TAG, std::nullopt});
    auto request = Send(IOCTL_SERIAL_GET_BAUD_RATE, 0, 4, DISPATCH_LEVEL);
    kx::DisarmFaults();
    ASSERT_TRUE(request->Completed());
    EXPECT_EQ(request->Returned(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(request->Status(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(request->Information(), 0u);
}

// Removal under way (the remove lock refuses) while the gate still lets a request
// from DISPATCH_LEVEL through: the hold the deferral takes refuses it.
TEST_F(DeviceControlTest, ADeferredRequestAfterRemovalBeganIsRefused) {
    int tag = 0;
    ASSERT_EQ(IoAcquireRemoveLockEx(&context_->RemoveLock, &tag, "", 1, sizeof(IO_REMOVE_LOCK)),
              STATUS_SUCCESS);
    IoReleaseRemoveLockAndWaitEx(&context_->RemoveLock, &tag, sizeof(IO_REMOVE_LOCK));
    auto request = Send(IOCTL_SERIAL_SET_DTR, 0, 0, DISPATCH_LEVEL);
    EXPECT_EQ(request->Returned(), STATUS_DELETE_PENDING);
    ASSERT_TRUE(request->WaitCompleted());
    EXPECT_EQ(request->Status(), STATUS_DELETE_PENDING);
    EXPECT_EQ(request->Information(), 0u);
    kx::DrainWorkItems();
    EXPECT_EQ(Urbs(), 0u);
}

} // namespace

namespace {

// Close clears IsOpen first and then waits for the port's transfers; until it has
// ended, the device is still in use and a stop or removal must wait (the PnP
// manager cancels a refused query). Here the close is caught in that wait: the
// port is no longer open, the open still counted. Both queries are refused with
// STATUS_DEVICE_BUSY and leave the device started, and neither reaches the bus;
// once the close has ended, a stop query is accepted.
TEST_F(DeviceControlTest, AStopOrRemovalQueryWaitsForACloseStillDraining) {
    auto query = [this](UCHAR minor) {
        auto request = HeldRequest::Other(fdo_, IRP_MJ_PNP, 0);
        request->Irp()->IoStatus.Status = STATUS_NOT_SUPPORTED;
        IoGetNextIrpStackLocation(request->Irp())->MinorFunction = minor;
        request->Send();
        EXPECT_TRUE(request->WaitCompleted());
        return request->Status();
    };
    context_->OpenCount = 1;
    MarkClosed();
    for (UCHAR minor : {UCHAR(IRP_MN_QUERY_STOP_DEVICE), UCHAR(IRP_MN_QUERY_REMOVE_DEVICE)}) {
        SCOPED_TRACE(int(minor));
        EXPECT_EQ(query(minor), STATUS_DEVICE_BUSY) << "accepted under a running close";
        EXPECT_EQ(context_->PnpState, (ULONG)Started);
    }
    context_->OpenCount = 0; // the close has ended
    EXPECT_EQ(query(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(context_->PnpState, (ULONG)StopPending);
    EXPECT_EQ(query(IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(context_->PnpState, (ULONG)Started);
    context_->IsOpen = 1;
}

} // namespace
