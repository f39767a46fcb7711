// A scenario test as a newcomer writes one: a world with the modem plugged in, an
// application on the serial API, the device side moved by the test, and what the
// application sees checked against what Win32 promises.
#include <sim/serial_api.h>
#include <sim/world.h>
#include <tests/support/overlapped.h>

#include <gtest/gtest.h>

namespace {

using namespace win32;

// WaitCommEvent: a wait for EV_RLSD ends when the carrier (RLSD) changes, and
// GetCommModemStatus then reports MS_RLSD_ON while the carrier is up.
TEST(WorkedExample, TheModemsCarrierEndsAnEventWaitAndShowsInTheModemStatus) {
    sim::World world;                        // kernel on the manual clock, driver, bus
    sim::PluggedModem& modem = world.Plug(); // COM5, the modem model behind it
    HANDLE port = CreateFileA(modem.Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommMask(port, EV_RLSD));

    korvax_test::Overlapped wait;
    DWORD events = 0;
    ASSERT_FALSE(WaitCommEvent(port, &events, wait.get())); // nothing has happened yet
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));

    modem.Model()->SetCarrier(true); // the device side: a SERIAL_STATE notification
    DWORD transferred = 0;
    ASSERT_TRUE(GetOverlappedResult(port, wait.get(), &transferred, TRUE));
    EXPECT_EQ(events, static_cast<DWORD>(EV_RLSD));

    DWORD status = 0;
    ASSERT_TRUE(GetCommModemStatus(port, &status));
    EXPECT_EQ(status & MS_RLSD_ON, static_cast<DWORD>(MS_RLSD_ON));

    EXPECT_TRUE(CloseHandle(port));
    world.Unplug(modem); // surprise removal; the world's teardown runs the leak checks
}

} // namespace
