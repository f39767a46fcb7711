// The everyday Win32 names the compatibility include adds to the serial API:
// mode strings, comm configurations, threads and waits on the kernel clock.
#include <kx/host.h>
#include <kx/ntddser.h>
#include <sim/world.h>
#include <sim/win32/windows.h>

#include <gtest/gtest.h>
#include <tests/support/kernel_time.h>

#include <thread>

namespace {

using korvax_test::Ms;

// The mode-string syntax BuildCommDCB documents: the MODE command's keywords, the
// older positional form, and a device name in front.
TEST(BuildCommDcb, ModeStringsSetTheDcbAsDocumented) {
    const struct {
        const char* text;
        DWORD baud;
        BYTE byteSize, parity, stopBits;
        DWORD outX, ctsFlow, dtr, rts;
    } table[] = {
        {"baud=1200 parity=N data=8 stop=1", 1200, 8, NOPARITY, ONESTOPBIT, 0, 0, 1, 1},
        {"COM1: baud=96 parity=e data=7 stop=2 xon=on", 9600, 7, EVENPARITY, TWOSTOPBITS, 1, 0, 1,
         1},
        {"baud=57600 octs=on dtr=hs rts=hs stop=1.5", 57600, 8, NOPARITY, ONE5STOPBITS, 0, 1,
         DTR_CONTROL_HANDSHAKE, RTS_CONTROL_HANDSHAKE},
        {"baud=110", 110, 8, NOPARITY, TWOSTOPBITS, 0, 0, 1, 1}, // 110 baud: two stop bits
        {"dtr=off rts=tg", 19200, 8, NOPARITY, ONESTOPBIT, 0, 0, DTR_CONTROL_DISABLE,
         RTS_CONTROL_TOGGLE},
        {"COM2:96,o,7,2,x", 9600, 7, ODDPARITY, TWOSTOPBITS, 1, 0, 1, 1},
        {"19,m,5,1.5,p", 19200, 5, MARKPARITY, ONE5STOPBITS, 0, 1, DTR_CONTROL_HANDSHAKE,
         RTS_CONTROL_HANDSHAKE},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.text);
        DCB dcb;
        ZeroMemory(&dcb, sizeof dcb);
        dcb.BaudRate = 19200;
        dcb.ByteSize = 8;
        dcb.fOutX = 1; // flow control is off unless the string turns it on
        ASSERT_TRUE(BuildCommDCBA(row.text, &dcb));
        EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
        EXPECT_EQ(dcb.BaudRate, row.baud);
        EXPECT_EQ(dcb.ByteSize, row.byteSize);
        EXPECT_EQ(dcb.Parity, row.parity);
        EXPECT_EQ(dcb.StopBits, row.stopBits);
        EXPECT_EQ(dcb.fOutX, row.outX);
        EXPECT_EQ(dcb.fInX, row.outX);
        EXPECT_EQ(dcb.fOutxCtsFlow, row.ctsFlow);
        EXPECT_EQ(dcb.fDtrControl, row.dtr);
        EXPECT_EQ(dcb.fRtsControl, row.rts);
    }
    // A string it cannot read fails and leaves the DCB alone.
    for (const char* bad : {"", "baud=", "parity=x", "data=9", "stop=3", "speed=9600", "96,n,8,1,z",
                            "COM: baud=9600", "xon=maybe"}) {
        SCOPED_TRACE(bad);
        DCB dcb;
        FillMemory(&dcb, sizeof dcb, 0x5A);
        SetLastError(0);
        EXPECT_FALSE(BuildCommDCBA(bad, &dcb));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(dcb.BaudRate, 0x5A5A5A5Au);
    }
    // The wide form, and the time-outs "to=" sets.
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    COMMTIMEOUTS timeouts;
    FillMemory(&timeouts, sizeof timeouts, 0x5A);
    ASSERT_TRUE(BuildCommDCBAndTimeoutsW(u"baud=2400 to=on", &dcb, &timeouts));
    EXPECT_EQ(dcb.BaudRate, 2400u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 60000u);
    EXPECT_EQ(timeouts.ReadIntervalTimeout, 0u);
    ASSERT_TRUE(BuildCommDCBAndTimeoutsA("to=off", &dcb, &timeouts));
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 0u);
    ASSERT_TRUE(BuildCommDCBW(u"baud=4800", &dcb));
    EXPECT_EQ(dcb.BaudRate, 4800u);
}

class WindowsNames : public testing::Test {
  protected:
    void SetUp() override { modem_ = &world_.Plug(); }
    sim::World world_;
    sim::PluggedModem* modem_ = nullptr;
};

// The port's driver keeps no provider data (CONFIG_SIZE returns no size): the
// configuration is the DCB, and setting it is SetCommState.
TEST_F(WindowsNames, CommConfigIsTheDcbOfAPortWithoutProviderData) {
    HANDLE port = CreateFile(modem_->Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL,
                             OPEN_EXISTING, 0, NULL);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileType(port), FILE_TYPE_CHAR);
    COMMCONFIG config;
    DWORD size = sizeof(COMMCONFIG) - 1;
    EXPECT_FALSE(GetCommConfig(port, &config, &size));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(size, sizeof(COMMCONFIG));
    ASSERT_TRUE(GetCommConfig(port, &config, &size));
    EXPECT_EQ(config.dwSize, sizeof(COMMCONFIG));
    EXPECT_EQ(config.wVersion, 1);
    EXPECT_EQ(config.dwProviderSize, 0u);
    COMMPROP properties;
    properties.dwProvSpec1 = 0;
    ASSERT_TRUE(GetCommProperties(port, &properties));
    EXPECT_EQ(config.dwProviderSubType, properties.dwProvSubType);
    EXPECT_EQ(config.dcb.BaudRate, 460800u);

    config.dcb.BaudRate = CBR_38400;
    ASSERT_TRUE(SetCommConfig(port, &config, size));
    EXPECT_EQ(modem_->Model()->LineCoding().dteRate, 38400u);
    EXPECT_FALSE(SetCommConfig(port, &config, sizeof(COMMCONFIG) - 1));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(CloseHandle(port));
    EXPECT_EQ(GetFileType(port), FILE_TYPE_UNKNOWN);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    size = sizeof config;
    ASSERT_TRUE(GetDefaultCommConfig("COM5", &config, &size));
    EXPECT_EQ(config.dcb.BaudRate, 9600u);
    EXPECT_EQ(config.dcb.ByteSize, 8);
    EXPECT_EQ(config.dcb.fOutX, 0u);
    EXPECT_FALSE(GetDefaultCommConfig("LPT1", &config, &size));
}

// Sleep, GetTickCount and timed waits follow the kernel clock; a thread's handle
// is signalled when its routine returns, with its exit code.
TEST_F(WindowsNames, ThreadsAndWaitsRunOnTheKernelClock) {
    DWORD start = GetTickCount();
    HANDLE events[2] = {CreateEvent(NULL, FALSE, FALSE, NULL),
                        CreateEvent(NULL, TRUE, FALSE, NULL)};
    struct Shared {
        HANDLE wake;
        DWORD slept;
    } shared{events[0], 0};
    DWORD id = 0;
    HANDLE thread = CreateThread(
        NULL, 0,
        [](LPVOID parameter) -> DWORD {
            auto* shared = static_cast<Shared*>(parameter);
            DWORD before = GetTickCount();
            Sleep(250);
            shared->slept = GetTickCount() - before;
            return WaitForSingleObject(shared->wake, INFINITE) == WAIT_OBJECT_0 ? 7 : 8;
        },
        &shared, 0, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);
    kx::AwaitTimedWaits(1);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);
    kx::AdvanceTime(Ms(250));
    EXPECT_EQ(GetTickCount() - start, 250u);

    // Any of an event and a thread: the event; both: once the thread has ended.
    HANDLE both[2] = {events[1], thread};
    SetEvent(events[1]);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_TIMEOUT);
    SetEvent(events[0]);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(shared.slept, 250u);
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 7u);
    // Any: the lowest index signalled, and an auto-reset event is taken by the wait.
    SetEvent(events[0]);
    EXPECT_EQ(WaitForMultipleObjects(2, events, FALSE, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(2, events, FALSE, 0), WAIT_OBJECT_0 + 1);
    ResetEvent(events[1]);
    DWORD timedOut = WAIT_FAILED;
    std::thread waiter([&] { timedOut = WaitForMultipleObjects(2, events, FALSE, 100); });
    kx::AwaitTimedWaits(1);
    kx::AdvanceTime(Ms(100));
    waiter.join();
    EXPECT_EQ(timedOut, WAIT_TIMEOUT);
    EXPECT_EQ(WaitForMultipleObjects(0, events, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    for (HANDLE handle : {events[0], events[1], thread})
        EXPECT_TRUE(CloseHandle(handle));
}

} // namespace
