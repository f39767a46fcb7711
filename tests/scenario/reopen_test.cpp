// What a failed open leaves behind for the next: nothing open.
#include "scenario.h"

#include <kx/pnp.h>

namespace {

using namespace scenario;

using Reopen = PortTest;

// The pipe reset fails: the open fails, and the port does not look open to the PnP
// queries, so the device can be removed in order.
TEST_F(Reopen, AFailedPipeResetFailsTheOpenAndLeavesTheDeviceRemovable) {
    sim::UrbMatch reset;
    reset.function = URB_FUNCTION_RESET_PIPE;
    modem_->Pdo().InjectFault(
        sim::UrbFault::Fail(reset, STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING));
    EXPECT_EQ(Open(FILE_FLAG_OVERLAPPED), INVALID_HANDLE_VALUE);
    HANDLE port = Open(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << "the failed open left the port taken";
    ASSERT_TRUE(CloseHandle(port));

    modem_->Pdo().InjectFault(
        sim::UrbFault::Fail(reset, STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING));
    EXPECT_EQ(Open(FILE_FLAG_OVERLAPPED), INVALID_HANDLE_VALUE);
    EXPECT_EQ(kx::RemoveDevice(*modem_->Node()), STATUS_SUCCESS);
}

} // namespace
