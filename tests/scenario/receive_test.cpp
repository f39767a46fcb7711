// The receive engine and the notification reader as the bus drives them: RX80FULL
// at its threshold, a zero-length packet, the interval timer re-armed for a read
// that arrives while a packet is handled, SERIAL_STATE notifications of every
// kind, and the device declared lost by either reader's failed transfer.
#include "scenario.h"

#include <tests/support/open_port.h>

#include <functional>

namespace {

using namespace scenario;
using korvax_test::HeldRequest;

class Receive : public OpenedPortTest {
  protected:
    PDEVICE_OBJECT Fdo() const { return modem_->FunctionDevice(); }

    // The events a wait queued before the device acts is completed with; 0 when it
    // stays queued (it is then ended by setting the mask again).
    DWORD EventsFor(const std::function<void()>& deviceActs, DWORD mask) {
        Overlapped wait;
        DWORD events = 0, unused = 0;
        EXPECT_FALSE(WaitCommEvent(port_, &events, wait.get()));
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
        deviceActs();
        world_.Settle();
        if (!wait.Done()) {
            EXPECT_TRUE(SetCommMask(port_, mask));
        }
        EXPECT_TRUE(GetOverlappedResult(port_, wait.get(), &unused, TRUE));
        return events;
    }

    DWORD ModemStatus() {
        DWORD status = 0;
        EXPECT_TRUE(GetCommModemStatus(port_, &status));
        return status;
    }
};

TEST_F(Receive, Rx80FullIsRaisedWhenTheRingHoldsExactly820000Bytes) {
    ASSERT_TRUE(SetCommMask(port_, EV_RX80FULL));
    auto sends = [this](size_t n) { modem_->Pdo().SendBulkIn(std::vector<uint8_t>(n, 0x5A)); };
    EXPECT_EQ(EventsFor([&] { sends(819999); }, EV_RX80FULL), 0u) << "raised one byte early";
    EXPECT_EQ(EventsFor([&] { sends(1); }, EV_RX80FULL), EV_RX80FULL);
}

TEST_F(Receive, AZeroLengthPacketRaisesRxCharWithNothingToRead) {
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
    EXPECT_EQ(EventsFor([this] { modem_->Pdo().SendBulkIn({}); }, EV_RXCHAR), EV_RXCHAR);
    COMSTAT stat{};
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 0u);
}

// The packet's RXCHAR completes a wait whose completion routine sends a read with
// an interval time-out: the read arrives while the packet is still being handled,
// finds the ring empty and waits. The engine arms the interval timer for it once
// the packet is in, and the timer's first tick serves the read.
NTSTATUS NTAPI SendReadOnCompletion(PDEVICE_OBJECT, PIRP, PVOID read) {
    static_cast<HeldRequest*>(read)->Send();
    return STATUS_SUCCESS; // completion goes on to the top
}

TEST_F(Receive, AReadArrivingWhileAPacketIsHandledGetsTheIntervalTimer) {
    COMMTIMEOUTS timeouts{10, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port_, &timeouts));
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
    auto read = HeldRequest::Read(Fdo(), 8);
    auto wait = HeldRequest::Ioctl(Fdo(), IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
    IoSetCompletionRoutine(wait->Irp(), SendReadOnCompletion, read.get(), TRUE, TRUE, TRUE);
    ASSERT_EQ(wait->Send(), STATUS_PENDING);

    modem_->Pdo().SendBulkIn({});
    world_.Settle();
    ASSERT_TRUE(wait->Completed());
    ASSERT_EQ(read->Returned(), STATUS_PENDING);
    EXPECT_FALSE(read->Completed());
    kx::AdvanceTime(1);
    bool served = read->Completed();
    if (!served)
        read->Cancel();
    ASSERT_TRUE(served) << "no interval timer was armed for the read";
    EXPECT_EQ(read->Information(), 0u);
}

// A sequence of notifications, each with the modem status and the events it
// leaves. CTS follows DSR; only carrier and DSR changes raise events; a code
// other than SERIAL_STATE and a notification too short to hold the state are
// ignored (the short one would otherwise find 0x03 left by the ignored one); nine
// bytes hold the state's low byte and are decoded.
TEST_F(Receive, NotificationsSetTheModemStatusAndRaiseCarrierAndDsrEvents) {
    const DWORD mask = EV_DSR | EV_RLSD | EV_BREAK | EV_RING | EV_ERR;
    ASSERT_TRUE(SetCommMask(port_, mask));
    const std::vector<uint8_t> otherCode = {0xA1, 0x2A, 0, 0, 0, 0, 2, 0, 0x03, 0};
    const std::vector<uint8_t> shortState = {0xA1, 0x20, 0, 0, 0, 0, 2, 0};
    const std::vector<uint8_t> nineBytes = {0xA1, 0x20, 0, 0, 0, 0, 2, 0, 0x02};
    const struct {
        const char* what;
        std::vector<uint8_t> bytes;
        DWORD status, events;
    } rows[] = {
        {"carrier and DSR", sim::SerialStateNotification(0x03), MS_RLSD_ON | MS_DSR_ON | MS_CTS_ON,
         EV_RLSD},
        {"both drop", sim::SerialStateNotification(0x00), 0, EV_RLSD | EV_DSR},
        {"break, ring and framing only", sim::SerialStateNotification(0x1C), 0, 0},
        {"another code", otherCode, 0, 0},
        {"eight bytes", shortState, 0, 0},
        {"nine bytes: DSR", nineBytes, MS_DSR_ON | MS_CTS_ON, EV_DSR},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(EventsFor([&] { modem_->Pdo().SendInterrupt(row.bytes); }, mask), row.events);
        EXPECT_EQ(ModemStatus(), row.status);
    }
}

// WaitCommEvent (Win32) reports events that happened since the last one it
// reported, of the mask it waits with: EV_RXCHAR for a byte comes once, and a
// byte received under EV_RXCHAR is no event for a wait after SetCommMask(EV_RLSD).
TEST_F(Receive, AnEventReachesOneWaitOnlyAndOnlyUnderItsMask) {
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
    EXPECT_EQ(EventsFor([this] { modem_->Pdo().SendBulkIn(Bytes("a")); }, EV_RXCHAR), EV_RXCHAR);
    EXPECT_EQ(EventsFor([] {}, EV_RXCHAR), 0u) << "EV_RXCHAR again, no byte since";

    modem_->Pdo().SendBulkIn(Bytes("b")); // no wait: the event stays pending
    world_.Settle();
    ASSERT_TRUE(SetCommMask(port_, EV_RLSD));
    EXPECT_EQ(EventsFor([] {}, EV_RLSD), 0u) << "a wait for EV_RLSD got EV_RXCHAR";
}

// A reader's transfer that cannot get an IRP (one IoAllocateIrp failing, as under
// Driver Verifier's low-resources simulation) is a lack of memory, not a lost
// device: the port stays usable (GetCommModemStatus, reads, a reopen), and the
// reader starts again at the next read, or the next wait for the notification
// reader.
TEST_F(Receive, AReaderThatCannotGetAnIrpStartsAgainAndThePortStaysUsable) {
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0}; // reads return what is there
    ASSERT_TRUE(SetCommTimeouts(port_, &timeouts));
    auto& pdo = modem_->Pdo();

    kx::ArmFault({kx::AllocationKind::Irp, 1, std::nullopt, std::nullopt});
    pdo.SendBulkIn(Bytes("one")); // its completion re-issues without an IRP
    world_.Settle();
    kx::DisarmFaults();
    EXPECT_EQ(pdo.OutstandingTransfers(sim::UsbPipe::BulkIn), 0u);
    DWORD status = 0;
    EXPECT_TRUE(GetCommModemStatus(port_, &status)) << "the port was declared lost";
    char buffer[8];
    DWORD count = 0;
    Overlapped read;
    ASSERT_TRUE(ReadFile(port_, buffer, sizeof buffer, &count, read.get()));
    EXPECT_EQ(std::string(buffer, count), "one");
    world_.Settle();
    EXPECT_EQ(pdo.OutstandingTransfers(sim::UsbPipe::BulkIn), 1u) << "the read restarted nothing";
    pdo.SendBulkIn(Bytes("two"));
    world_.Settle();
    Overlapped again;
    ASSERT_TRUE(ReadFile(port_, buffer, sizeof buffer, &count, again.get()));
    EXPECT_EQ(std::string(buffer, count), "two");

    kx::ArmFault({kx::AllocationKind::Irp, 1, std::nullopt, std::nullopt});
    DeviceNotifies(0x01); // carrier; its completion re-issues without an IRP
    kx::DisarmFaults();
    EXPECT_EQ(pdo.OutstandingTransfers(sim::UsbPipe::InterruptIn), 0u);
    EXPECT_TRUE(GetCommModemStatus(port_, &status));
    EXPECT_TRUE(status & MS_RLSD_ON);
    ASSERT_TRUE(SetCommMask(port_, EV_RLSD));
    EXPECT_EQ(EventsFor([this] { DeviceNotifies(0x00); }, EV_RLSD), EV_RLSD)
        << "the wait restarted no notification reader";

    EXPECT_TRUE(CloseHandle(port_));
    port_ = Open(OpenFlags());
    EXPECT_NE(port_, INVALID_HANDLE_VALUE) << "a reopen was refused";
}

// Either reader's failed transfer declares an open, started device lost: a waiting
// request learns of it as CTS, DSR and carrier whatever its mask, and every request
// after it is refused as for a device going away.
class DeviceLost : public Receive {
  protected:
    void FailTransferOn(sim::UsbPipe pipe) {
        ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
        Overlapped wait;
        DWORD events = 0, unused = 0;
        ASSERT_FALSE(WaitCommEvent(port_, &events, wait.get()));
        modem_->Pdo().StallEndpoint(pipe);
        world_.Settle();
        ASSERT_TRUE(GetOverlappedResult(port_, wait.get(), &unused, TRUE));
        EXPECT_EQ(events, (DWORD)(EV_CTS | EV_DSR | EV_RLSD));
        EXPECT_TRUE(modem_->Node()->Started());
        DWORD status = 0;
        EXPECT_FALSE(GetCommModemStatus(port_, &status));
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED); // STATUS_DELETE_PENDING
    }
};

// The close of a lost port must still drop DTR and RTS, or the modem stays in its
// call (the lost mark refuses every later open).
TEST_F(DeviceLost, ByAFailedBulkInTransferAndItsCloseStillLowersDtrAndRts) {
    ASSERT_TRUE(EscapeCommFunction(port_, SETDTR));
    ASSERT_TRUE(EscapeCommFunction(port_, SETRTS));
    FailTransferOn(sim::UsbPipe::BulkIn);
    device_->Clear();
    EXPECT_TRUE(CloseHandle(port_));
    port_ = INVALID_HANDLE_VALUE;
    auto lines = device_->Controls(SetControlLineStateRequest);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].setup.wValue, 0u);
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE) << "a lost port opens no more";
}

TEST_F(DeviceLost, ByAFailedInterruptInTransfer) {
    FailTransferOn(sim::UsbPipe::InterruptIn);
}

} // namespace
