// The modem model behind the bus, driven as a host drives it: class requests on the
// default pipe, AT commands and data on bulk-out, responses and data read from
// bulk-in, SERIAL_STATE notifications from interrupt-in; time on the manual clock.
#include <kx/host.h>
#include <sim/bus.h>
#include <sim/modem.h>

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <thread>

namespace {

using Bytes = std::vector<uint8_t>;
using sim::UsbPipe;

constexpr LONGLONG Second = sim::HundredNsPerSecond;
constexpr LONGLONG Ms = Second / 1000;
constexpr USHORT Dtr = 0x01, Rts = 0x02;

Bytes ToBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes Repeat(const Bytes& pattern, size_t count, size_t offset = 0) {
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i)
        bytes[i] = pattern[(offset + i) % pattern.size()];
    return bytes;
}

Bytes SerialState(uint8_t state) {
    return {0xA1, 0x20, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, state, 0x00};
}

// One URB on an IRP of the test's own, sent to the PDO when made; still outstanding
// when the object goes, it is cancelled and waited for.
class HostUrb {
  public:
    HostUrb(PDEVICE_OBJECT device, const URB& urb, Bytes buffer)
        : state_(std::make_unique<State>()) {
        state_->urb = urb;
        state_->buffer = std::move(buffer);
        PVOID data = state_->buffer.empty() ? nullptr : state_->buffer.data();
        if (Bulk())
            state_->urb.UrbBulkOrInterruptTransfer.TransferBuffer = data;
        else
            state_->urb.UrbControlVendorClassRequest.TransferBuffer = data;
        KeInitializeEvent(&state_->event, NotificationEvent, FALSE);
        irp_ = IoAllocateIrp(device->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = &state_->urb;
        IoSetCompletionRoutine(irp_, OnComplete, state_.get(), TRUE, TRUE, TRUE);
        IoCallDriver(device, irp_);
    }
    ~HostUrb() {
        if (!Done())
            IoCancelIrp(irp_);
        Wait();
        IoFreeIrp(irp_);
    }

    bool Done() const { return KeReadStateEvent(&state_->event) != 0; }
    NTSTATUS Wait() {
        KeWaitForSingleObject(&state_->event, Executive, KernelMode, FALSE, nullptr);
        return state_->status;
    }
    USBD_STATUS UsbdStatus() const { return state_->urb.UrbHeader.Status; }
    Bytes Data() const { // what the transfer moved
        ULONG length = Bulk() ? state_->urb.UrbBulkOrInterruptTransfer.TransferBufferLength
                              : state_->urb.UrbControlVendorClassRequest.TransferBufferLength;
        return Bytes(state_->buffer.begin(), state_->buffer.begin() + length);
    }

  private:
    struct State {
        URB urb{};
        Bytes buffer;
        KEVENT event;
        NTSTATUS status = STATUS_PENDING;
    };
    bool Bulk() const {
        return state_->urb.UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    }
    static NTSTATUS NTAPI OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
        auto* state = static_cast<State*>(context);
        state->status = irp->IoStatus.Status;
        KeSetEvent(&state->event, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    std::unique_ptr<State> state_;
    PIRP irp_ = nullptr;
};

URB TransferUrb(USBD_PIPE_HANDLE pipe, ULONG flags, ULONG length) {
    URB urb{};
    urb.UrbHeader.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb.UrbBulkOrInterruptTransfer.PipeHandle = pipe;
    urb.UrbBulkOrInterruptTransfer.TransferFlags = flags;
    urb.UrbBulkOrInterruptTransfer.TransferBufferLength = length;
    return urb;
}

URB ClassUrb(UCHAR request, USHORT value, ULONG flags, ULONG length,
             USHORT function = URB_FUNCTION_CLASS_INTERFACE, USHORT index = 0) {
    URB urb{};
    auto& r = urb.UrbControlVendorClassRequest;
    urb.UrbHeader.Length = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    urb.UrbHeader.Function = function;
    r.TransferFlags = flags;
    r.TransferBufferLength = length;
    r.Request = request;
    r.Value = value;
    r.Index = index;
    return urb;
}

class ModemTest : public ::testing::Test {
  protected:
    void Start(sim::ModemOptions options = {}) {
        options_ = options;
        modem_ = std::make_unique<sim::Modem>(pdo_, std::move(options));
    }

    void Write(const std::string& text) { Write(ToBytes(text)); }
    void Write(const Bytes& bytes) {
        HostUrb write(pdo_.Device(), TransferUrb(pdo_.BulkOutPipe(), 0, ULONG(bytes.size())),
                      bytes);
        ASSERT_EQ(write.Wait(), STATUS_SUCCESS);
    }
    // Every transfer the device has ready on an IN pipe, one read each.
    std::vector<Bytes> Transfers(UsbPipe pipe) {
        std::vector<Bytes> transfers;
        ULONG length = pipe == UsbPipe::BulkIn ? 4096 : 16;
        for (;;) {
            HostUrb read(pdo_.Device(), TransferUrb(pdo_.PipeHandle(pipe), 3, length),
                         Bytes(length));
            kx::DrainDispatchQueue();
            if (!read.Done())
                return transfers; // nothing more; the read is cancelled
            EXPECT_EQ(read.Wait(), STATUS_SUCCESS);
            transfers.push_back(read.Data());
        }
    }
    Bytes ReadBytes() {
        Bytes all;
        for (const Bytes& transfer : Transfers(UsbPipe::BulkIn))
            all.insert(all.end(), transfer.begin(), transfer.end());
        return all;
    }
    std::string ReadText() {
        Bytes bytes = ReadBytes();
        return std::string(bytes.begin(), bytes.end());
    }
    std::vector<Bytes> Notifications() { return Transfers(UsbPipe::InterruptIn); }
    NTSTATUS SetControlLines(USHORT lines) {
        return HostUrb(pdo_.Device(), ClassUrb(0x22, lines, 0, 0), {}).Wait();
    }

    // DTR and RTS up, dialled and connected; the host has read up to CONNECT.
    void Connect() {
        ASSERT_EQ(SetControlLines(Dtr | Rts), STATUS_SUCCESS);
        Write("ATD#777\r");
        kx::AdvanceTime(options_.dialDelay);
        ASSERT_TRUE(modem_->InDataMode());
        ReadText();
        Notifications();
    }
    // Silence, the escape characters, silence; the host has read up to OK.
    void Escape() {
        kx::AdvanceTime(Second);
        Write("+++");
        kx::AdvanceTime(Second);
        ASSERT_FALSE(modem_->InDataMode());
        ReadText();
    }

    kx::Kernel kernel_;
    sim::ParentBus bus_;
    sim::ModemPdo& pdo_ = bus_.CreateModemPdo();
    sim::ModemOptions options_;
    std::unique_ptr<sim::Modem> modem_;
};

// ---- Class requests and notifications -------------------------------------------------

TEST_F(ModemTest, LineCodingIsKeptLoggedAndReadBack) {
    Start();
    Bytes open = {0x00, 0x08, 0x07, 0x00, 0x02, 0x00, 0x08}; // 460800, 2 stop, none, 8
    kx::AdvanceTime(5 * Ms);
    EXPECT_EQ(HostUrb(pdo_.Device(), ClassUrb(0x20, 0, 0, 7), open).Wait(), STATUS_SUCCESS);
    EXPECT_EQ(modem_->LineCoding(), (sim::CdcLineCoding{460800, 2, 0, 8}));
    HostUrb get(pdo_.Device(), ClassUrb(0x21, 0, USBD_TRANSFER_DIRECTION_IN, 7), Bytes(7));
    EXPECT_EQ(get.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(get.Data(), open);

    auto log = modem_->ControlLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].time, 5 * Ms);
    EXPECT_EQ(log[0].setup.Bytes(),
              (std::array<uint8_t, 8>{0x21, 0x20, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00}));
    EXPECT_EQ(log[0].data, open);
    EXPECT_EQ(log[1].setup.bmRequestType, 0xA1);
    EXPECT_EQ(log[1].data, open) << "a GET is logged with its answer";
}

TEST_F(ModemTest, MalformedClassRequestsStallAndChangeNothing) {
    Start();
    const Bytes good = {0x80, 0x25, 0x00, 0x00, 0x00, 0x00, 0x08};
    const struct {
        const char* name;
        URB urb;
        Bytes data;
    } table[] = {
        {"six-byte coding", ClassUrb(0x20, 0, 0, 6), {0x80, 0x25, 0, 0, 0, 0}},
        {"parity 5", ClassUrb(0x20, 0, 0, 7), {0x80, 0x25, 0, 0, 0, 5, 8}},
        {"4 data bits", ClassUrb(0x20, 0, 0, 7), {0x80, 0x25, 0, 0, 0, 0, 4}},
        {"stop-bit code 3", ClassUrb(0x20, 0, 0, 7), {0x80, 0x25, 0, 0, 3, 0, 8}},
        {"to the device", ClassUrb(0x20, 0, 0, 7, URB_FUNCTION_CLASS_DEVICE), good},
        {"to interface 1", ClassUrb(0x20, 0, 0, 7, URB_FUNCTION_CLASS_INTERFACE, 1), good},
        {"reserved line bit", ClassUrb(0x22, 0x0005, 0, 0), {}},
        {"line state with data", ClassUrb(0x22, 0x0001, 0, 1), {0}},
        {"SEND_BREAK", ClassUrb(0x23, 0xFFFF, 0, 0), {}},
    };
    for (const auto& row : table) {
        HostUrb urb(pdo_.Device(), row.urb, row.data);
        EXPECT_EQ(urb.Wait(), STATUS_UNSUCCESSFUL) << row.name;
        EXPECT_EQ(urb.UsbdStatus(), USBD_STATUS_STALL_PID) << row.name;
    }
    EXPECT_EQ(modem_->LineCoding(), sim::CdcLineCoding{});
    EXPECT_FALSE(modem_->Dtr());
    EXPECT_TRUE(Notifications().empty());
}

TEST_F(ModemTest, DsrFollowsDtrWithOneNotificationPerChange) {
    Start();
    ASSERT_EQ(SetControlLines(Dtr | Rts), STATUS_SUCCESS);
    EXPECT_TRUE(modem_->Dtr() && modem_->Rts());
    EXPECT_EQ(Notifications(), std::vector<Bytes>{SerialState(0x02)});
    SetControlLines(Dtr); // RTS alone: DSR stays
    EXPECT_FALSE(modem_->Rts());
    EXPECT_TRUE(Notifications().empty());
    SetControlLines(Rts);
    EXPECT_EQ(Notifications(), std::vector<Bytes>{SerialState(0x00)});

    // One-shot bits ride on the current lines; raw notifications go out as given.
    SetControlLines(Dtr);
    Notifications();
    modem_->SendSerialState(sim::SerialState::RingSignal | sim::SerialState::Overrun);
    modem_->SendRawNotification({0xA1, 0x20});
    modem_->SendRawNotification({});
    EXPECT_EQ(Notifications(), (std::vector<Bytes>{SerialState(0x4A), {0xA1, 0x20}, {}}));
}

TEST_F(ModemTest, DsrApartFromDtrChangesOnlyWhenSet) {
    sim::ModemOptions options;
    options.dsrFollowsDtr = false;
    Start(options);
    SetControlLines(Dtr | Rts);
    EXPECT_TRUE(Notifications().empty());
    modem_->SetDsr(true);
    modem_->SetCarrier(true);
    EXPECT_EQ(Notifications(), (std::vector<Bytes>{SerialState(0x02), SerialState(0x03)}));
    SetControlLines(0);
    EXPECT_TRUE(modem_->Dsr());
    EXPECT_TRUE(modem_->Carrier()) << "no call to end: the carrier stays";
}

// ---- Command mode ------------------------------------------------------------------------

TEST_F(ModemTest, CommandsAreEchoedAsTheyArriveUntilEchoIsOffAndZRestoresIt) {
    Start();
    Write("A");
    Write("T");
    EXPECT_EQ(ReadText(), "AT");
    Write("\r");
    EXPECT_EQ(ReadText(), "\r\r\nOK\r\n");
    Write("ATE0\r");
    EXPECT_EQ(ReadText(), "ATE0\r\r\nOK\r\n") << "the line is echoed before it runs";
    Write("AT\r");
    EXPECT_EQ(ReadText(), "\r\nOK\r\n");
    Write("ATZ\r");
    EXPECT_EQ(ReadText(), "\r\nOK\r\n");
    Write("at\r");
    EXPECT_EQ(ReadText(), "at\r\r\nOK\r\n");
    EXPECT_EQ(modem_->CommandLines(), (std::vector<std::string>{"AT", "ATE0", "AT", "ATZ", "at"}));
}

TEST_F(ModemTest, CommandResponsesWithoutEcho) {
    sim::ModemOptions options;
    options.echo = false;
    options.signalQuality = 17;
    Start(options);
    const std::string id = "\r\nKORVAX EV-DO Rev.A USB Modem\r\n", ok = "\r\nOK\r\n",
                      error = "\r\nERROR\r\n";
    const struct {
        std::string sent;
        std::string expected;
    } table[] = {
        {"ATI\r", id + ok},
        {"ati0\r", id + ok},
        {"AT+CSQ\r", "\r\n+CSQ: 17,99\r\n" + ok},
        {"AT+GMR\r", "\r\nKVX720-FW 3.1.14 (build 2211)\r\n" + ok},
        {"ATI+CSQ;+GMI\r", id + "\r\n+CSQ: 17,99\r\n\r\nKORVAX\r\n" + ok},
        {"AT&FS0=0&C1&D2 X4 V1 Q0\r", ok},
        {"ATS12?\r", "\r\n050\r\n" + ok},
        {"ATS7=60S7?\r", "\r\n060\r\n" + ok},
        {"ATJ\r", error},
        {"AT+CSQ=?\r", error},
        {"ATE2\r", error},
        {"ATS99=1\r", error},
        {"ATS0=256\r", error},
        {"ATI J\r", id + error},
        {"ATD\r", error},
        {"ATO\r", "\r\nNO CARRIER\r\n"},
        {"ATJ\bI\r", id + ok}, // backspace
        {"AT\r\n", ok},        // the line feed is no part of a line
        {"hello\r", ""},       // no AT, no answer
        {"AT\rAT\r", ok + ok},
        {"AT" + std::string(300, 'I') + "\r", error}, // too long
    };
    for (const auto& row : table) {
        Write(row.sent);
        EXPECT_EQ(ReadText(), row.expected) << row.sent;
    }
}

// ---- Calls ----------------------------------------------------------------------------------

TEST_F(ModemTest, DialConnectsAfterTheDelayWithCarrierNotification) {
    Start();
    SetControlLines(Dtr | Rts);
    Notifications();
    Write("ATD#777\r");
    EXPECT_EQ(ReadText(), "ATD#777\r");
    kx::AdvanceTime(options_.dialDelay - 1);
    EXPECT_TRUE(modem_->Dialing());
    EXPECT_TRUE(ReadBytes().empty());
    EXPECT_TRUE(Notifications().empty());
    kx::AdvanceTime(1);
    EXPECT_TRUE(modem_->Connected() && modem_->InDataMode() && modem_->Carrier());
    EXPECT_EQ(Notifications(), std::vector<Bytes>{SerialState(0x03)});
    EXPECT_EQ(ReadText(), "\r\nCONNECT 3100000\r\n");
}

TEST_F(ModemTest, DialOutcomeAndAbandonedDial) {
    sim::ModemOptions options;
    options.echo = false;
    options.dialOutcome = sim::DialOutcome::Busy;
    Start(options);
    Write("ATDT 5551234\r");
    kx::AdvanceTime(options.dialDelay);
    EXPECT_EQ(ReadText(), "\r\nBUSY\r\n");
    EXPECT_FALSE(modem_->Connected());

    // A character during the dial (but the line feed) abandons it.
    Write("ATD#777\r\n");
    kx::AdvanceTime(Second);
    Write("x");
    EXPECT_EQ(ReadText(), "\r\nNO CARRIER\r\n");
    kx::AdvanceTime(options.dialDelay);
    EXPECT_TRUE(ReadBytes().empty()) << "the abandoned dial's timer does nothing";
    EXPECT_TRUE(Notifications().empty());
}

TEST_F(ModemTest, EscapeWithGuardTimesThenOnlineAgainThenHangUp) {
    Start();
    Connect();
    kx::AdvanceTime(Second);
    Write("+++");
    EXPECT_EQ(ReadText(), "+++") << "the escape characters are data until the guard time";
    kx::AdvanceTime(Second - 1);
    EXPECT_TRUE(modem_->InDataMode());
    kx::AdvanceTime(1);
    EXPECT_EQ(ReadText(), "\r\nOK\r\n");
    EXPECT_FALSE(modem_->InDataMode());
    EXPECT_TRUE(modem_->Connected() && modem_->Carrier());
    EXPECT_TRUE(Notifications().empty());

    Write("ATD#777\r");
    EXPECT_EQ(ReadText(), "ATD#777\r\r\nERROR\r\n") << "already in a call";
    Write("ATO\r");
    EXPECT_EQ(ReadText(), "ATO\r\r\nCONNECT 3100000\r\n");
    EXPECT_TRUE(modem_->InDataMode());

    Escape();
    Write("ATH\r");
    EXPECT_EQ(ReadText(), "ATH\r\r\nOK\r\n");
    EXPECT_EQ(Notifications(), std::vector<Bytes>{SerialState(0x02)});
    EXPECT_FALSE(modem_->Connected() || modem_->Carrier());
    EXPECT_EQ(modem_->Received(), ToBytes("++++++"));
}

TEST_F(ModemTest, EscapeWithoutItsGuardTimesStaysInDataMode) {
    Start();
    Connect();
    // Each step: the time that passes, then the bytes sent.
    const std::vector<std::pair<LONGLONG, std::string>> attempts[] = {
        {{Second - 1, "+++"}},                // silence before one tick short
        {{Second, "+++"}, {Second - 1, "a"}}, // data before the guard time is up
        {{Second, "+"}, {Second, "++"}},      // a guard time between them
        {{Second, "++++"}},                   // four
        {{Second, "x+++"}},                   // right after data
    };
    Bytes sent;
    for (const auto& attempt : attempts) {
        for (const auto& [time, text] : attempt) {
            kx::AdvanceTime(time);
            Write(text);
            sent.insert(sent.end(), text.begin(), text.end());
        }
        kx::AdvanceTime(3 * Second);
        EXPECT_TRUE(modem_->InDataMode()) << attempt.back().second;
    }
    EXPECT_EQ(ReadBytes(), sent) << "every attempt was data, echoed";
    EXPECT_EQ(modem_->Received(), sent);

    // Split over transfers at one instant they still escape.
    kx::AdvanceTime(Second);
    Write("+");
    Write("++");
    kx::AdvanceTime(Second);
    EXPECT_FALSE(modem_->InDataMode());
}

TEST_F(ModemTest, GuardTimeAndEscapeCharacterComeFromRegisters) {
    Start();
    Write("ATS12=10S2=45\r"); // a fifth of a second, '-'
    Connect();
    kx::AdvanceTime(200 * Ms);
    Write("+++");
    kx::AdvanceTime(Second);
    Write("---");
    kx::AdvanceTime(200 * Ms - 1);
    EXPECT_TRUE(modem_->InDataMode());
    kx::AdvanceTime(1);
    EXPECT_FALSE(modem_->InDataMode());
}

TEST_F(ModemTest, DtrDropOrLostCarrierEndsTheCall) {
    Start();
    Connect();
    ASSERT_EQ(SetControlLines(Rts), STATUS_SUCCESS);
    EXPECT_EQ(ReadText(), "\r\nNO CARRIER\r\n");
    EXPECT_EQ(Notifications(), std::vector<Bytes>{SerialState(0x00)})
        << "carrier and DSR drop in one notification";
    EXPECT_FALSE(modem_->Connected());

    Connect();
    Escape();
    modem_->SetCarrier(false); // the far end hangs up while in command mode
    EXPECT_EQ(ReadText(), "\r\nNO CARRIER\r\n");
    EXPECT_EQ(Notifications(), std::vector<Bytes>{SerialState(0x02)});
    Write("ATO\r");
    EXPECT_EQ(ReadText(), "ATO\r\r\nNO CARRIER\r\n");
}

// ---- Data mode ----------------------------------------------------------------------------

TEST_F(ModemTest, EchoSendsBackEveryWriteExactlyAsOneTransfer) {
    Start();
    Connect();
    Bytes all(256);
    for (size_t i = 0; i < all.size(); ++i)
        all[i] = static_cast<uint8_t>(i);
    Bytes sent;
    // 64 bytes go as a full packet and a zero-length one: still one transfer.
    for (size_t size : {1, 63, 64, 65, 1000}) {
        Bytes chunk = Repeat(all, size, sent.size());
        Write(chunk);
        sent.insert(sent.end(), chunk.begin(), chunk.end());
        EXPECT_EQ(Transfers(UsbPipe::BulkIn), std::vector<Bytes>{chunk}) << size;
    }
    EXPECT_EQ(modem_->Received(), sent);
}

// Bulk-out completions run on the DPC threads while the test thread sends
// notifications: every echo comes back whole and in order.
TEST_F(ModemTest, EchoStaysInOrderWhileAnotherThreadSendsNotifications) {
    Start();
    Connect();
    constexpr size_t Writes = 200, Size = 50;
    std::thread notifier([&] {
        for (size_t i = 0; i < Writes; ++i)
            modem_->SendSerialState(sim::SerialState::RingSignal);
    });
    Bytes pattern = ToBytes("0123456789abcdefghijklmnopqrstuvwxyz");
    std::vector<std::unique_ptr<HostUrb>> writes;
    for (size_t i = 0; i < Writes; ++i)
        writes.push_back(std::make_unique<HostUrb>(pdo_.Device(),
                                                   TransferUrb(pdo_.BulkOutPipe(), 0, Size),
                                                   Repeat(pattern, Size, i * Size)));
    for (auto& write : writes)
        EXPECT_EQ(write->Wait(), STATUS_SUCCESS);
    notifier.join();
    EXPECT_EQ(ReadBytes(), Repeat(pattern, Writes * Size));
    EXPECT_EQ(Notifications(), std::vector<Bytes>(Writes, SerialState(0x0B)));
}

TEST_F(ModemTest, SinkCountsAndSendsNothing) {
    sim::ModemOptions options;
    options.dataHandling = sim::DataHandling::Sink;
    Start(options);
    Connect();
    Write(Bytes(1000, 0x55));
    Write("AT\r");
    EXPECT_TRUE(ReadBytes().empty());
    EXPECT_EQ(modem_->ReceivedCount(), 1003u);
    EXPECT_TRUE(modem_->Received().empty());
}

sim::ModemOptions StreamOptions(uint32_t rate, size_t chunk) {
    sim::ModemOptions options;
    options.dataHandling = sim::DataHandling::Stream;
    options.streamPattern = ToBytes("0123456789");
    options.streamBytesPerSecond = rate;
    options.streamChunk = chunk;
    return options;
}

TEST_F(ModemTest, StreamSendsEachChunkWhenItsBytesAreDue) {
    sim::ModemOptions options = StreamOptions(1000, 100);
    options.streamZeroLengthEvery = 3;
    Start(options);
    Connect();
    kx::AdvanceTime(100 * Ms - 1);
    EXPECT_EQ(modem_->StreamedCount(), 0u);
    kx::AdvanceTime(1);
    EXPECT_EQ(modem_->StreamedCount(), 100u);
    kx::AdvanceTime(500 * Ms);
    std::vector<size_t> sizes;
    Bytes all;
    for (const Bytes& t : Transfers(UsbPipe::BulkIn)) {
        sizes.push_back(t.size());
        all.insert(all.end(), t.begin(), t.end());
    }
    EXPECT_EQ(sizes, (std::vector<size_t>{100, 100, 100, 0, 100, 100, 100, 0}));
    EXPECT_EQ(all, Repeat(options.streamPattern, 600));
}

TEST_F(ModemTest, StreamTimesRoundUpAndDoNotDrift) {
    sim::ModemOptions options = StreamOptions(3000, 7);
    options.streamBacklog = 1 << 20;
    Start(options);
    Connect();
    // 7 bytes at 3000 per second take 23,333.3 ticks: the first chunk is due at 23,334.
    kx::AdvanceTime(23333);
    EXPECT_EQ(modem_->StreamedCount(), 0u);
    kx::AdvanceTime(1);
    EXPECT_EQ(modem_->StreamedCount(), 7u);
    kx::AdvanceTime(10 * Second - 23334); // 30,000 bytes due: 4,285 whole chunks
    EXPECT_EQ(modem_->StreamedCount(), 29995u);
    EXPECT_EQ(ReadBytes(), Repeat(options.streamPattern, 29995));
}

TEST_F(ModemTest, StreamPausesInCommandModeGoesOnOnlineAndStartsAgainWithTheNextCall) {
    sim::ModemOptions options = StreamOptions(1000, 100);
    options.streamPattern = ToBytes("ABCDEFG");
    Start(options);
    Connect();
    kx::AdvanceTime(Second + 50 * Ms); // between chunks: none falls due with the guard time
    Write("+++");
    kx::AdvanceTime(Second);
    EXPECT_FALSE(modem_->InDataMode());
    EXPECT_EQ(modem_->StreamedCount(), 2000u);
    EXPECT_EQ(modem_->Received(), ToBytes("+++"));
    kx::AdvanceTime(5 * Second);
    EXPECT_EQ(ReadText().substr(2000), "\r\nOK\r\n") << "no stream in command mode";

    Write("ATO\r");
    kx::AdvanceTime(100 * Ms);
    Bytes resumed = ToBytes("ATO\r\r\nCONNECT 3100000\r\n");
    Bytes next = Repeat(options.streamPattern, 100, 2000);
    resumed.insert(resumed.end(), next.begin(), next.end());
    EXPECT_EQ(ReadBytes(), resumed);
    SetControlLines(0);
    kx::AdvanceTime(Second);
    EXPECT_EQ(ReadText(), "\r\nNO CARRIER\r\n");
    EXPECT_EQ(modem_->StreamedCount(), 2100u);

    Connect();
    kx::AdvanceTime(100 * Ms);
    EXPECT_EQ(ReadBytes(), Repeat(options.streamPattern, 100));
}

TEST_F(ModemTest, StreamWaitsWhileTheHostDoesNotRead) {
    sim::ModemOptions options = StreamOptions(1000, 100);
    options.streamBacklog = 300;
    Start(options);
    Connect();
    // Chunks go while no more than 300 bytes wait: the fourth still goes, the fifth not.
    kx::AdvanceTime(Second);
    EXPECT_EQ(ReadBytes().size(), 400u);
    // The last wait was at 1 s; the schedule goes on from there.
    kx::AdvanceTime(100 * Ms - 1);
    EXPECT_EQ(modem_->StreamedCount(), 400u);
    kx::AdvanceTime(1);
    EXPECT_EQ(modem_->StreamedCount(), 500u);
}

TEST_F(ModemTest, DestroyingTheModemCancelsItsTimersAndDetachesIt) {
    Start(StreamOptions(1000, 100));
    Connect();
    kx::AdvanceTime(Second);
    Write("+++"); // the guard timer and the stream timer are set
    EXPECT_EQ(kx::TimerCount(), 2u);
    modem_.reset();
    EXPECT_EQ(kx::TimerCount(), 0u);
    Write("AT\r");
    EXPECT_EQ(pdo_.TakeBulkOut(), ToBytes("AT\r")) << "no device behind the PDO any more";
}

} // namespace
