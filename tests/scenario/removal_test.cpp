// The modem going away under an open port (surprise removal): the requests end,
// the handle refuses everything, and the last close removes the device.
#include "scenario.h"

#include <kx/files.h>
#include <kx/pnp.h>

#include <chrono>
#include <future>

namespace scenario {
namespace {

using Removal = PortTest;

bool RemoveWasSent(const kx::DeviceNode& node) {
    for (const kx::PnpRequest& request : node.Requests()) {
        if (request.minor == IRP_MN_REMOVE_DEVICE)
            return true;
    }
    return false;
}

// A write the modem holds when it goes fails as for a device not connected.
TEST_F(Removal, PullingTheModemOutEndsTheRequestsAndTheLastCloseRemovesTheDevice) {
    HANDLE port = Open(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS timeouts{0, 0, 0, 0, 0}; // reads wait for data
    ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
    ASSERT_TRUE(SetCommMask(port, EV_RLSD));
    Overlapped wait, read;
    DWORD mask = 0, count = 0;
    char buffer[8];
    EXPECT_FALSE(WaitCommEvent(port, &mask, wait.get()));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(ReadFile(port, buffer, sizeof buffer, &count, read.get()));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    sim::UrbMatch bulkOut;
    bulkOut.pipe = sim::UsbPipe::BulkOut;
    modem_->Pdo().InjectFault(sim::UrbFault::Hold(bulkOut));
    Overlapped write;
    DWORD written = 0;
    EXPECT_FALSE(WriteFile(port, "lost", 4, &written, write.get()));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    world_.Settle();
    PDEVICE_OBJECT port_device = modem_->FunctionDevice();
    ASSERT_NE(port_device, nullptr);

    // The device is gone first: the readers' transfers fail, the waiting
    // application hears of the lost lines whatever its mask, and the waiting read,
    // for which nothing will come, ends at once as every later request does.
    modem_->Pdo().Unplug();
    world_.Settle();
    DWORD transferred = 0;
    ASSERT_TRUE(GetOverlappedResult(port, wait.get(), &transferred, TRUE));
    EXPECT_EQ(mask, EV_CTS | EV_DSR | EV_RLSD);
    EXPECT_FALSE(GetOverlappedResult(port, read.get(), &transferred, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED); // STATUS_DELETE_PENDING
    EXPECT_EQ(transferred, 0u);
    EXPECT_FALSE(GetOverlappedResult(port, write.get(), &written, TRUE));
    EXPECT_EQ(GetLastError(), 1167u); // STATUS_DEVICE_NOT_CONNECTED: ERROR_DEVICE_NOT_CONNECTED
    EXPECT_EQ(written, 0u);
    EXPECT_TRUE(device_->BulkOut().empty());

    // Then the PnP manager learns of it.
    EXPECT_EQ(world_.Unplug(*modem_), STATUS_SUCCESS);
    EXPECT_EQ(modem_->Node()->State(), kx::DeviceNodeState::SurpriseRemoved);
    EXPECT_FALSE(RemoveWasSent(*modem_->Node()));

    // The handle still exists, and refuses everything.
    EXPECT_FALSE(ReadFile(port, buffer, sizeof buffer, &count, read.get()));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(WriteFile(port, "more", 4, &written, write.get()));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    DWORD status = 0;
    EXPECT_FALSE(GetCommModemStatus(port, &status));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    // Its names are gone.
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    // The last close lets the removal go on.
    EXPECT_TRUE(CloseHandle(port));
    EXPECT_TRUE(modem_->Removed());
    EXPECT_TRUE(RemoveWasSent(*modem_->Node()));
    EXPECT_FALSE(kx::DeviceExists(port_device));
    EXPECT_EQ(modem_->FunctionDevice(), nullptr);
    world_.Settle();
    EXPECT_EQ(kx::OutstandingIrps(), 0u);
    EXPECT_EQ(kx::OutstandingPool().allocations, 0u);
    EXPECT_EQ(kx::FileObjectCount(), 0u);
}

// A parent may keep the transfers of a surprise-removed child outstanding until
// IRP_MN_REMOVE_DEVICE, and REMOVE waits for the last close: the close must abort
// the pipes itself (an abort on a removed device ends at once), or each waits for
// the other for ever. It sends nothing else: the device is gone.
TEST_F(Removal, CloseAfterSurpriseRemovalAbortsThePipesItself) {
    HANDLE port = Open(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    world_.Settle();
    sim::ModemPdo& pdo = modem_->Pdo();
    ASSERT_EQ(pdo.OutstandingTransfers(sim::UsbPipe::BulkIn), 1u);
    ASSERT_EQ(kx::SurpriseRemove(*modem_->Node()), STATUS_SUCCESS); // the PDO keeps them
    world_.Settle();
    ASSERT_EQ(pdo.OutstandingTransfers(sim::UsbPipe::BulkIn), 1u);

    const size_t mark = UrbCount();
    auto closed = std::async(std::launch::async, [&] { return CloseHandle(port); });
    bool ended = closed.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    if (!ended)
        pdo.Unplug(); // lets the transfers go so that the test can end
    EXPECT_TRUE(closed.get());
    ASSERT_TRUE(ended) << "close waited for transfers only REMOVE would end";
    // The device is gone: the close lowers no lines on it, it only aborts.
    for (const sim::UrbRecord& urb : UrbsFrom(mark))
        EXPECT_EQ(urb.function, URB_FUNCTION_ABORT_PIPE) << "close sent the removed device more";
    EXPECT_EQ(pdo.OutstandingTransfers(sim::UsbPipe::BulkIn), 0u);
    EXPECT_EQ(pdo.OutstandingTransfers(sim::UsbPipe::InterruptIn), 0u);
    world_.Settle();
    EXPECT_TRUE(RemoveWasSent(*modem_->Node()));
    EXPECT_EQ(modem_->FunctionDevice(), nullptr);
}

} // namespace
} // namespace scenario
