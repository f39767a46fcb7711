// The serial API's own rules, as kernel32 has them: how a request's status and
// count become a call's result, Windows' status-to-error table, the records the
// communications functions take only when they came back whole, and the request
// sequence of SetCommState as a filter above the port sees it.
#include "request_filter.h"
#include "scenario.h"

#include <kx/ntddser.h>

#include <functional>
#include <memory>
#include <thread>

namespace scenario {
namespace {

constexpr NTSTATUS StatusEndOfFile = NTSTATUS_FROM(0xC0000011L);
constexpr NTSTATUS StatusDeviceDataError = NTSTATUS_FROM(0xC000009CL);

// Windows' RtlNtStatusToDosError for the statuses a port's requests end with;
// the numbers are the documented error codes.
TEST(StatusTranslation, StatusesBecomeTheWin32ErrorsWindowsReports) {
    const struct {
        ULONG status;
        DWORD error;
    } table[] = {
        {0x00000000, 0},
        {0x00000102, 1460},
        {0x00000103, 997},
        {0x80000005, 234},
        {0x80000011, 170},
        {0xC0000001, 31},
        {0xC0000002, 1},
        {0xC0000008, 6},
        {0xC000000D, 87},
        {0xC000000E, 2},
        {0xC0000010, 1},
        {0xC0000011, 38},
        {0xC0000016, 234},
        {0xC0000017, 8},
        {0xC0000022, 5},
        {0xC0000023, 122},
        {0xC0000034, 2},
        {0xC0000043, 32},
        {0xC0000056, 5},
        {0xC000009A, 1450},
        {0xC000009C, 23},
        {0xC000009D, 1167},
        {0xC00000A3, 21},
        {0xC00000B5, 121},
        {0xC00000BB, 50},
        {0xC00000C0, 55},
        {0xC0000120, 995},
        {0xC0000184, 22},
        {0xC0000185, 1117},
        {0xC00002B6, 1617},
        {0xC0DE0001, 317},        // no mapping:
                                  // ERROR_MR_MID_NOT_FOUND
        {0xE0001234, 0xE0001234}, // a customer status is its own code
        {0xC0070057, 87},         // a Win32 error carried in a status
    };
    for (const auto& row : table) {
        SCOPED_TRACE(testing::Message() << std::hex << row.status);
        EXPECT_EQ(RtlNtStatusToDosError(static_cast<NTSTATUS>(row.status)), row.error);
    }
}

// A port with a filter over it that records each request and can end it with a
// status of the test's choosing.
class FilteredPort : public PortTest {
  protected:
    void SetUp() override {
        PortTest::SetUp();
        filter_ = std::make_unique<RequestFilter>(modem_->Pdo().Device());
    }
    void TearDown() override {
        for (HANDLE port : {sync_, overlapped_}) {
            if (port != INVALID_HANDLE_VALUE) {
                EXPECT_TRUE(CloseHandle(port));
            }
        }
        world_.Settle();
        filter_.reset();
    }
    // The port, opened for overlapped or synchronous I/O (the other handle closed:
    // the port is exclusive).
    HANDLE Port(bool overlapped) {
        HANDLE& port = overlapped ? overlapped_ : sync_;
        HANDLE& other = overlapped ? sync_ : overlapped_;
        if (other != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(other));
            other = INVALID_HANDLE_VALUE;
            world_.Settle();
        }
        if (port == INVALID_HANDLE_VALUE)
            port = Open(overlapped ? FILE_FLAG_OVERLAPPED : 0);
        EXPECT_NE(port, INVALID_HANDLE_VALUE);
        return port;
    }

    std::unique_ptr<RequestFilter> filter_;
    HANDLE sync_ = INVALID_HANDLE_VALUE;
    HANDLE overlapped_ = INVALID_HANDLE_VALUE;
};

// TRUE only for a success that is not pending; a warning fails on either kind of
// handle with its count; the end of a file is a success only for a synchronous read.
TEST_F(FilteredPort, RequestStatusesBecomeResultsAsKernel32MakesThem) {
    enum Call { Read, Write, Control };
    const struct {
        Call call;
        bool overlapped;
        NTSTATUS status;
        ULONG_PTR information;
        BOOL result;
        DWORD error; // when the call fails
        DWORD count; // DeviceIoControl leaves the count of an error as it was
    } table[] = {
        {Read, false, StatusEndOfFile, 0, TRUE, 0, 0},
        {Read, true, StatusEndOfFile, 0, FALSE, ERROR_HANDLE_EOF, 0},
        {Control, false, StatusEndOfFile, 0, FALSE, ERROR_HANDLE_EOF, 0xDEAD},
        {Read, false, STATUS_TIMEOUT, 3, TRUE, 0, 3},
        {Read, true, STATUS_TIMEOUT, 3, TRUE, 0, 3},
        {Write, false, STATUS_BUFFER_OVERFLOW, 2, FALSE, ERROR_MORE_DATA, 2},
        {Control, false, STATUS_BUFFER_OVERFLOW, 4, FALSE, ERROR_MORE_DATA, 4},
        {Control, true, STATUS_BUFFER_OVERFLOW, 4, FALSE, ERROR_MORE_DATA, 4},
        {Read, true, STATUS_DEVICE_BUSY, 1, FALSE, ERROR_BUSY, 1},
        {Write, true, StatusDeviceDataError, 0, FALSE, ERROR_CRC, 0},
        {Control, false, STATUS_DEVICE_NOT_CONNECTED, 0, FALSE, ERROR_DEVICE_NOT_CONNECTED, 0xDEAD},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(testing::Message() << "call " << row.call << " overlapped " << row.overlapped
                                        << " status " << std::hex << row.status);
        HANDLE port = Port(row.overlapped);
        UCHAR major = row.call == Read    ? IRP_MJ_READ
                      : row.call == Write ? IRP_MJ_WRITE
                                          : IRP_MJ_DEVICE_CONTROL;
        filter_->AddRule({major, IOCTL_SERIAL_GET_STATS, row.status, row.information});
        Overlapped overlapped;
        LPOVERLAPPED lpOverlapped = row.overlapped ? overlapped.get() : nullptr;
        uint8_t buffer[8] = {};
        DWORD count = 0xDEAD;
        SetLastError(0);
        BOOL result = row.call == Read ? ReadFile(port, buffer, sizeof buffer, &count, lpOverlapped)
                      : row.call == Write
                          ? WriteFile(port, "data", 4, &count, lpOverlapped)
                          : DeviceIoControl(port, IOCTL_SERIAL_GET_STATS, nullptr, 0, buffer,
                                            sizeof buffer, &count, lpOverlapped);
        EXPECT_EQ(result, row.result);
        if (!row.result) {
            EXPECT_EQ(GetLastError(), row.error);
        }
        EXPECT_EQ(count, row.count);
    }
}

// A GET request that succeeds with less than its record fails the call, and the
// caller's structure stays as it was.
TEST_F(FilteredPort, ARecordThatCameBackShortFailsTheCall) {
    HANDLE port = Port(false);
    const struct {
        ULONG code;
        ULONG_PTR information;
        std::function<BOOL(void*)> call;
        size_t size;
    } table[] = {
        {IOCTL_SERIAL_GET_BAUD_RATE, 0, [&](void* p) { return GetCommState(port, (LPDCB)p); },
         sizeof(DCB)},
        {IOCTL_SERIAL_GET_HANDFLOW, sizeof(SERIAL_HANDFLOW) - 4,
         [&](void* p) { return GetCommState(port, (LPDCB)p); }, sizeof(DCB)},
        {IOCTL_SERIAL_GET_TIMEOUTS, sizeof(SERIAL_TIMEOUTS) - 1,
         [&](void* p) { return GetCommTimeouts(port, (LPCOMMTIMEOUTS)p); }, sizeof(COMMTIMEOUTS)},
        {IOCTL_SERIAL_GET_WAIT_MASK, 0, [&](void* p) { return GetCommMask(port, (LPDWORD)p); },
         sizeof(DWORD)},
        {IOCTL_SERIAL_GET_MODEMSTATUS, 2,
         [&](void* p) { return GetCommModemStatus(port, (LPDWORD)p); }, sizeof(DWORD)},
        {IOCTL_SERIAL_GET_COMMSTATUS, sizeof(SERIAL_STATUS) - 1,
         [&](void* p) { return ClearCommError(port, nullptr, (LPCOMSTAT)p); }, sizeof(COMSTAT)},
        {IOCTL_SERIAL_GET_PROPERTIES, 10,
         [&](void* p) { return GetCommProperties(port, (LPCOMMPROP)p); }, sizeof(COMMPROP)},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(testing::Message() << "code " << std::hex << row.code);
        filter_->AddRule({IRP_MJ_DEVICE_CONTROL, row.code, STATUS_SUCCESS, row.information});
        std::vector<uint8_t> caller(row.size, 0x5A);
        SetLastError(0);
        EXPECT_FALSE(row.call(caller.data()));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
        EXPECT_EQ(caller, std::vector<uint8_t>(row.size, 0x5A));
        // The driver's own answer is whole.
        EXPECT_TRUE(row.call(caller.data()));
    }
}

// GetCommState's four GETs, then the SETs of the new state in kernel32's order;
// when one fails, the saved state is set again, whole, and the call fails.
TEST_F(FilteredPort, SetCommStateSendsItsRequestsInOrderAndRollsBack) {
    HANDLE port = Port(false);
    DCB old;
    ASSERT_TRUE(GetCommState(port, &old));
    old.BaudRate = CBR_9600;
    old.fRtsControl = RTS_CONTROL_ENABLE;
    old.fDtrControl = DTR_CONTROL_ENABLE;
    ASSERT_TRUE(SetCommState(port, &old));
    DCB dcb = old;
    dcb.BaudRate = CBR_57600;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = ONESTOPBIT;

    const std::vector<ULONG> gets = {IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_GET_LINE_CONTROL,
                                     IOCTL_SERIAL_GET_CHARS, IOCTL_SERIAL_GET_HANDFLOW};
    const std::vector<ULONG> sets = {IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_CLR_RTS,
                                     IOCTL_SERIAL_CLR_DTR,       IOCTL_SERIAL_SET_LINE_CONTROL,
                                     IOCTL_SERIAL_SET_CHARS,     IOCTL_SERIAL_SET_HANDFLOW};
    const std::vector<ULONG> restores = {IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_RTS,
                                         IOCTL_SERIAL_SET_DTR,       IOCTL_SERIAL_SET_LINE_CONTROL,
                                         IOCTL_SERIAL_SET_CHARS,     IOCTL_SERIAL_SET_HANDFLOW};
    filter_->Clear();
    ASSERT_TRUE(SetCommState(port, &dcb));
    std::vector<ULONG> expected = gets;
    expected.insert(expected.end(), sets.begin(), sets.end());
    EXPECT_EQ(filter_->Codes(), expected);
    std::vector<SeenRequest> seen = filter_->Seen();
    ASSERT_EQ(seen.size(), 10u);
    EXPECT_EQ(seen[4].input, std::vector<uint8_t>({0x00, 0xE1, 0x00, 0x00})); // 57600
    EXPECT_EQ(seen[7].input, std::vector<uint8_t>({ONESTOPBIT, EVENPARITY, 8}));
    ASSERT_TRUE(SetCommState(port, &old));

    for (size_t failing = 0; failing < sets.size(); ++failing) {
        SCOPED_TRACE(testing::Message() << "failing request " << failing);
        filter_->AddRule({IRP_MJ_DEVICE_CONTROL, sets[failing], STATUS_INVALID_PARAMETER, 0});
        filter_->Clear();
        SetLastError(0);
        EXPECT_FALSE(SetCommState(port, &dcb));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        expected = gets;
        expected.insert(expected.end(), sets.begin(), sets.begin() + failing + 1);
        expected.insert(expected.end(), restores.begin(), restores.end());
        EXPECT_EQ(filter_->Codes(), expected);
        seen = filter_->Seen();
        ASSERT_EQ(seen.size(), expected.size());
        EXPECT_EQ(seen[5 + failing].input, std::vector<uint8_t>({0x80, 0x25, 0x00, 0x00})); // 9600
        DCB now;
        ASSERT_TRUE(GetCommState(port, &now));
        EXPECT_EQ(now.BaudRate, CBR_9600);
        EXPECT_EQ(now.Parity, old.Parity);
        EXPECT_EQ(now.fDtrControl, DTR_CONTROL_ENABLE);
    }
}

// WaitCommEvent without an OVERLAPPED waits on an overlapped handle as on a
// synchronous one; a wait that fails reports no event.
TEST_F(FilteredPort, WaitCommEventWithoutAnOverlappedWaitsAndAFailureClearsTheMask) {
    HANDLE port = Port(true);
    ASSERT_TRUE(SetCommMask(port, EV_RLSD));
    DWORD mask = 0xFFFF;
    BOOL ok = FALSE;
    std::thread waiter([&] { ok = WaitCommEvent(port, &mask, nullptr); });
    DeviceNotifies(sim::SerialState::RxCarrier | sim::SerialState::TxCarrier);
    waiter.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(mask, EV_RLSD);

    filter_->AddRule(
        {IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK, STATUS_INVALID_PARAMETER, 0});
    mask = 0xFFFF;
    EXPECT_FALSE(WaitCommEvent(port, &mask, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(mask, 0u);

    // A new mask ends a pending wait with no events: the driver writes the 0.
    Overlapped overlapped;
    mask = 0xFFFF;
    EXPECT_FALSE(WaitCommEvent(port, &mask, overlapped.get()));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(SetCommMask(port, EV_RLSD | EV_DSR));
    DWORD transferred = 0;
    ASSERT_TRUE(GetOverlappedResult(port, overlapped.get(), &transferred, TRUE));
    EXPECT_EQ(transferred, sizeof(DWORD));
    EXPECT_EQ(mask, 0u);

    filter_->AddRule({IRP_MJ_DEVICE_CONTROL, IOCTL_SERIAL_WAIT_ON_MASK, STATUS_CANCELLED, 0});
    mask = 0xFFFF;
    EXPECT_FALSE(WaitCommEvent(port, &mask, overlapped.get()));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(mask, 0u);
}

// On a handle opened with FILE_FLAG_OVERLAPPED a read or a write needs the byte
// offset an OVERLAPPED carries: without one the call fails with
// ERROR_INVALID_PARAMETER (87) and sends nothing. DeviceIoControl has no offset and
// waits for its request instead.
TEST_F(FilteredPort, AReadOrWriteWithoutAnOverlappedOnAnOverlappedHandleIsRefusedUnsent) {
    HANDLE port = Port(true);
    // A read that were sent would return at once with what the port holds.
    COMMTIMEOUTS immediate{MAXDWORD, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &immediate));
    size_t before = filter_->Seen().size();
    uint8_t buffer[8] = {};
    DWORD count = 0xDEAD;
    SetLastError(0);
    EXPECT_FALSE(ReadFile(port, buffer, sizeof buffer, &count, nullptr));
    EXPECT_EQ(GetLastError(), 87u);
    EXPECT_EQ(count, 0u);
    count = 0xDEAD;
    SetLastError(0);
    EXPECT_FALSE(WriteFile(port, "data", 4, &count, nullptr));
    EXPECT_EQ(GetLastError(), 87u);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(filter_->Seen().size(), before) << "nothing reached the port";

    SERIAL_BAUD_RATE rate{};
    ASSERT_TRUE(DeviceIoControl(port, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &rate, sizeof rate,
                                &count, nullptr));
    EXPECT_EQ(count, sizeof rate);
}

// A thread's requests end with it: when its routine returns, what it left pending
// is cancelled (ERROR_OPERATION_ABORTED, 995) and its handle is signalled only
// after that. Another thread's pending request on the same handle stays.
TEST_F(FilteredPort, AThreadThatExitsHasItsPendingRequestsCancelled) {
    HANDLE port = Port(true);
    ASSERT_TRUE(SetCommMask(port, EV_RLSD));
    Overlapped wait;
    DWORD mask = 0;
    EXPECT_FALSE(WaitCommEvent(port, &mask, wait.get()));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);

    struct Work {
        HANDLE port;
        Overlapped read;
        uint8_t buffer[16] = {};
        DWORD error = 0;
    } work;
    work.port = port;
    auto routine = [](LPVOID parameter) -> DWORD {
        auto* w = static_cast<Work*>(parameter);
        DWORD count = 0;
        if (!ReadFile(w->port, w->buffer, sizeof w->buffer, &count, w->read.get()))
            w->error = GetLastError();
        return 7;
    };
    HANDLE thread = CreateThread(nullptr, 0, routine, &work, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(work.error, ERROR_IO_PENDING) << "the read was pending when the thread ended";
    EXPECT_TRUE(work.read.Done()) << "the exited thread's read was left pending";
    DWORD transferred = 0xDEAD;
    EXPECT_FALSE(GetOverlappedResult(port, work.read.get(), &transferred, FALSE));
    EXPECT_EQ(GetLastError(), 995u);
    EXPECT_EQ(transferred, 0u);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 7u);
    EXPECT_TRUE(CloseHandle(thread));

    world_.Settle();
    EXPECT_FALSE(wait.Done()) << "the main thread's wait is not the exited thread's";
    DeviceNotifies(sim::SerialState::RxCarrier);
    ASSERT_TRUE(GetOverlappedResult(port, wait.get(), &transferred, TRUE));
    EXPECT_EQ(mask, DWORD(EV_RLSD));
}

} // namespace
} // namespace scenario
