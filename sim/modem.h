// The modem function behind the simulated bus: a USB communications-class
// (abstract control model) EV-DO modem. It takes the line coding and the
// control-line state on the default pipe, reports carrier and DSR with
// SERIAL_STATE notifications on interrupt-in, answers Hayes AT commands on the
// bulk pipes, and once a call is up echoes, streams or sinks data. Time is the
// hosted kernel's clock: on the manual clock nothing happens until a test
// advances it, on the real clock the modem runs in real time.
#pragma once

#include "bus.h"
#include "usb.h"

#include <kx/wdm.h>

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// The kernel clock's units (100 ns) in a second.
inline constexpr LONGLONG HundredNsPerSecond = 10'000'000;

// Bits of the UART state bitmap that a SERIAL_STATE notification carries.
namespace SerialState {
inline constexpr uint16_t RxCarrier = 0x01; // DCD
inline constexpr uint16_t TxCarrier = 0x02; // DSR
inline constexpr uint16_t Break = 0x04;
inline constexpr uint16_t RingSignal = 0x08;
inline constexpr uint16_t Framing = 0x10;
inline constexpr uint16_t Parity = 0x20;
inline constexpr uint16_t Overrun = 0x40;
} // namespace SerialState

// The ten bytes of a SERIAL_STATE notification for interface 0 with this bitmap.
std::vector<uint8_t> SerialStateNotification(uint16_t state);

// The line coding as SET_LINE_CODING and GET_LINE_CODING carry it; the modem's
// own after power-on is 115200 bits per second, 8 data bits, no parity, 1 stop bit.
struct CdcLineCoding {
    uint32_t dteRate = 115200;
    uint8_t charFormat = 0; // 0: 1 stop bit, 1: 1.5, 2: 2
    uint8_t parityType = 0; // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t dataBits = 8;   // 5, 6, 7, 8 or 16

    std::array<uint8_t, 7> Bytes() const;
    // The coding in a data stage: exactly seven bytes with values the modem supports.
    static std::optional<CdcLineCoding> Parse(const std::vector<uint8_t>& bytes);
    bool operator==(const CdcLineCoding& other) const { return Bytes() == other.Bytes(); }
};

// One class request as it reached the modem, with the modem's answer.
struct ControlEvent {
    LONGLONG time = 0; // kernel clock
    SetupPacket setup;
    // The data stage: as sent for a host-to-device request, as answered otherwise.
    std::vector<uint8_t> data;
    Handshake handshake = Handshake::Ack;
};

// What the modem does with the data of a call.
enum class DataHandling {
    Echo,   // sends every byte back as it arrives
    Stream, // sends its stream pattern at the stream rate
    Sink,   // takes the bytes and only counts them
};

// How a dial ends once the dial delay has passed.
enum class DialOutcome { Connect, NoCarrier, Busy, NoAnswer };

struct ModemOptions {
    bool echo = true; // command echo after power-on and ATZ (ATE1)
    std::string identification = "KORVAX EV-DO Rev.A USB Modem";    // ATI
    std::string manufacturer = "KORVAX";                            // AT+GMI
    std::string model = "KVX-720";                                  // AT+GMM
    std::string firmwareRevision = "KVX720-FW 3.1.14 (build 2211)"; // AT+GMR
    std::string serialNumber = "0x9F3A21C7";                        // AT+GSN: the ESN
    unsigned signalQuality = 21;                                    // AT+CSQ: <rssi>,99
    unsigned systemId = 4139;                                       // AT+CSS?: the SID
    uint32_t connectRate = 3100000;                                 // CONNECT <rate>
    LONGLONG dialDelay = 2 * HundredNsPerSecond;                    // ATD to its result
    DialOutcome dialOutcome = DialOutcome::Connect;
    // DSR goes on and off with DTR; otherwise it changes only by SetDsr (off at start).
    bool dsrFollowsDtr = true;

    DataHandling dataHandling = DataHandling::Echo;
    // Data-mode bytes are kept for Received(); a long session turns this off and
    // has ReceivedCount() only.
    bool keepReceived = true;
    // The stream of each call repeats this pattern from its first byte, one chunk at
    // a time: chunk k (from 0) goes out once (k + 1) * streamChunk bytes are due at
    // the rate, counted from the start of data mode (again after ATO).
    std::vector<uint8_t> streamPattern = {'K', 'O', 'R', 'V', 'A', 'X', ' ',  's', 't',
                                          'r', 'e', 'a', 'm', ' ', '0', '1',  '2', '3',
                                          '4', '5', '6', '7', '8', '9', '\r', '\n'};
    uint32_t streamBytesPerSecond = 38400;
    // Bytes handed to the bus at a time: one device-side transfer, which the bus
    // sends as full packets and a short one (a zero-length one when the chunk is a
    // multiple of the packet size).
    size_t streamChunk = 500;
    // After every this many chunks one extra zero-length packet; 0 for none.
    unsigned streamZeroLengthEvery = 0;
    // The modem's buffer: while more bytes than this wait in the bus unread, the
    // stream pauses and its schedule restarts when it goes on.
    size_t streamBacklog = 16384;
    // The buffer of what the modem sends back (echoed data and its answers): once
    // more than this waits unread, it NAKs bulk-out until the host has read it down
    // to this again, so a host that does not read holds back its own writes.
    size_t echoBacklog = 16384;
};

// The modem attached to a PDO for its lifetime. Destroy it before its PDO, at
// PASSIVE_LEVEL and not from inside one of its own callbacks. Every member may be
// called from any thread.
class Modem {
  public:
    explicit Modem(ModemPdo& pdo, ModemOptions options = {});
    ~Modem();
    Modem(const Modem&) = delete;
    Modem& operator=(const Modem&) = delete;

    // ---- Control pipe ----
    CdcLineCoding LineCoding() const;
    bool Dtr() const;
    bool Rts() const;
    std::vector<ControlEvent> ControlLog() const;

    // ---- Lines and call state ----
    bool Carrier() const;
    bool Dsr() const;
    bool Dialing() const;
    // A call is up: in data mode, or in command mode after an escape.
    bool Connected() const;
    bool InDataMode() const;
    bool CommandEcho() const;
    // Command lines executed, from "AT" up to the carriage return.
    std::vector<std::string> CommandLines() const;

    // ---- Data of calls (all calls since the modem was made) ----
    // Bytes taken in data mode (not with DataHandling::Sink, and only with
    // ModemOptions::keepReceived), in order.
    std::vector<uint8_t> Received() const;
    uint64_t ReceivedCount() const; // every data-mode byte, sunk ones too
    uint64_t StreamedCount() const;
    // The modem NAKs bulk-out: its buffer is full of what the host has not read.
    bool HoldingBack() const;

    // ---- Injection ----
    // The carrier comes or goes; going during a call ends it (NO CARRIER).
    void SetCarrier(bool on);
    void SetDsr(bool on);
    // A SERIAL_STATE notification with the current carrier and DSR plus one-shot
    // bits (break, ring, framing, parity, overrun).
    void SendSerialState(uint16_t eventBits);
    // Any bytes on interrupt-in, as one notification.
    void SendRawNotification(std::vector<uint8_t> bytes);
    // Bytes on bulk-in as one transfer, in whatever mode the modem is.
    void SendData(std::vector<uint8_t> bytes);

  private:
    class Attachment;
    enum class Phase { Command, Dialing, Data, OnlineCommand };
    struct Alarm {
        KTIMER timer;
        KDPC dpc;
        Modem* modem;
        void (Modem::*fire)();
    };
    struct Outgoing {
        UsbPipe pipe;
        std::vector<uint8_t> bytes;
    };

    Handshake OnControlRequest(const SetupPacket& setup, std::vector<uint8_t>& data);
    void OnBulkOut(const std::vector<uint8_t>& data);
    static KDEFERRED_ROUTINE AlarmDpc;
    void DialDue();
    void GuardDue();
    void StreamDue();
    void HoldDue();

    // These run with mutex_ held.
    enum class Step { Next, Error, Final };
    Handshake ControlRequest(const SetupPacket& setup, std::vector<uint8_t>& data);
    void CommandByte(uint8_t byte);
    void DataByte(uint8_t byte, LONGLONG now);
    // Data bytes that cannot be part of an escape: counted, kept, echoed.
    void DataBytes(const uint8_t* bytes, size_t size, LONGLONG now);
    void ExecuteLine(const std::string& line, bool overflow);
    Step BasicCommand(char command, const std::string& line, size_t& at);
    bool ExtendedCommand(const std::string& text);
    void Dial(const std::string& number);
    std::string ConnectText() const;
    void EnterDataMode();
    void LeaveDataMode(Phase next);
    void EndCall(bool dsr);
    void ResetSettings();
    uint16_t LineBits() const;
    // Sets carrier and DSR; a change of either sends one notification.
    void SetLines(bool carrier, bool dsr);
    void Arm(Alarm& alarm, LONGLONG due);
    LONGLONG ChunkDue(uint64_t chunk) const;
    // A response or information text in verbose form: CR LF text CR LF.
    void Respond(const std::string& text);
    void Queue(UsbPipe pipe, std::vector<uint8_t> bytes);
    // Sends what is queued, in order, without the lock; one thread at a time.
    void Flush(std::unique_lock<kx::UnscheduledMutex>& lock);
    // Bulk-in bytes sent or about to be sent that the host has not taken.
    size_t Backlog() const;
    // After data came: NAK bulk-out while the backlog exceeds the echo buffer.
    void HoldBackWhenFull();

    ModemPdo& pdo_;
    const ModemOptions options_;
    std::shared_ptr<Attachment> attachment_;
    Alarm dialAlarm_{};
    Alarm guardAlarm_{};
    Alarm streamAlarm_{};
    Alarm holdAlarm_{};

    mutable kx::UnscheduledMutex mutex_;
    bool stopping_ = false;
    CdcLineCoding lineCoding_;
    USHORT controlLines_ = 0;
    std::vector<ControlEvent> controlLog_;
    bool carrier_ = false;
    bool dsr_ = false;

    Phase phase_ = Phase::Command;
    bool echo_ = true;
    std::array<uint8_t, 13> registers_{};
    std::array<unsigned, 2> ifc_{}; // AT+IFC
    unsigned crm_ = 2;              // AT+CRM
    std::string line_;
    bool lineOverflow_ = false;
    std::vector<std::string> commandLines_;
    LONGLONG dialDue_ = 0;

    // Escape detection in data mode.
    LONGLONG lastDataTime_ = 0;
    LONGLONG lastEscapeTime_ = 0;
    unsigned escapeCount_ = 0;
    LONGLONG guardDue_ = 0;

    std::vector<uint8_t> received_;
    uint64_t receivedCount_ = 0;

    // The stream's schedule: chunks counted from the anchor are due at the rate.
    uint64_t chunks_ = 0;
    uint64_t anchorChunk_ = 0;
    LONGLONG anchorTime_ = 0;
    uint64_t streamed_ = 0;
    size_t patternOffset_ = 0; // of the next stream byte in this call

    std::vector<uint8_t> openText_; // bulk-in bytes of the current step, one transfer
    std::deque<Outgoing> outbox_;
    bool sending_ = false;
    bool holding_ = false; // bulk-out NAKed until the backlog is down to the buffer
};

} // namespace sim
