#include "modem.h"

#include <kx/host.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <iterator>
#include <utility>

namespace sim {

namespace {

// Class requests of the abstract control model that the modem serves.
constexpr UCHAR SetLineCodingRequest = 0x20;
constexpr UCHAR GetLineCodingRequest = 0x21;
constexpr UCHAR SetControlLineStateRequest = 0x22;
constexpr UCHAR ClassInterfaceOut = 0x21; // host to device, class, interface
constexpr UCHAR ClassInterfaceIn = 0xA1;  // device to host, class, interface
constexpr USHORT CommunicationInterface = 0;
constexpr USHORT DtrBit = 0x0001;
constexpr USHORT RtsBit = 0x0002;

constexpr UCHAR SerialStateCode = 0x20;

// The S-registers the modem keeps, with their values after power-on, ATZ and AT&F.
constexpr size_t EscapeCharRegister = 2;
constexpr size_t LineEndRegister = 3;
constexpr size_t LineFeedRegister = 4;
constexpr size_t BackspaceRegister = 5;
constexpr size_t GuardTimeRegister = 12; // in fiftieths of a second
constexpr LONGLONG GuardTimeUnit = HundredNsPerSecond / 50;
constexpr struct {
    size_t number;
    uint8_t value;
} RegisterDefaults[] = {{0, 0}, {2, '+'}, {3, '\r'}, {4, '\n'}, {5, '\b'},
                        {6, 2}, {7, 50},  {8, 2},    {10, 14},  {12, 50}};

bool IsRegister(unsigned number) {
    return std::any_of(std::begin(RegisterDefaults), std::end(RegisterDefaults),
                       [&](const auto& r) { return r.number == number; });
}

// A command line longer than this answers ERROR.
constexpr size_t MaxLineLength = 255;

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Reads the decimal parameter at `at`; none reads as 0. False when it exceeds 255.
bool ReadNumber(const std::string& line, size_t& at, unsigned& value) {
    value = 0;
    for (; at < line.size() && IsDigit(line[at]); ++at) {
        value = value * 10 + static_cast<unsigned>(line[at] - '0');
        if (value > 255)
            return false;
    }
    return true;
}

// The parameters of an extended set command: decimal numbers separated by commas,
// each possibly empty (omitted); false for anything else or a number above 65535.
bool ParseValues(const std::string& text, std::vector<std::optional<unsigned>>& values) {
    values.clear();
    size_t at = 0;
    for (;;) {
        std::optional<unsigned> value;
        while (at < text.size() && text[at] == ' ')
            ++at;
        for (; at < text.size() && IsDigit(text[at]); ++at) {
            value = value.value_or(0) * 10 + static_cast<unsigned>(text[at] - '0');
            if (*value > 65535)
                return false;
        }
        while (at < text.size() && text[at] == ' ')
            ++at;
        values.push_back(value);
        if (at == text.size())
            return true;
        if (text[at++] != ',')
            return false;
    }
}

} // namespace

std::vector<uint8_t> SerialStateNotification(uint16_t state) {
    return {ClassInterfaceIn,
            SerialStateCode,
            0x00,
            0x00, // wValue
            static_cast<uint8_t>(CommunicationInterface),
            0x00, // wIndex
            0x02,
            0x00, // wLength
            static_cast<uint8_t>(state & 0xFF),
            static_cast<uint8_t>(state >> 8)};
}

std::array<uint8_t, 7> CdcLineCoding::Bytes() const {
    return {static_cast<uint8_t>(dteRate),
            static_cast<uint8_t>(dteRate >> 8),
            static_cast<uint8_t>(dteRate >> 16),
            static_cast<uint8_t>(dteRate >> 24),
            charFormat,
            parityType,
            dataBits};
}

std::optional<CdcLineCoding> CdcLineCoding::Parse(const std::vector<uint8_t>& bytes) {
    if (bytes.size() != 7)
        return std::nullopt;
    CdcLineCoding coding;
    coding.dteRate = uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
                     uint32_t(bytes[3]) << 24;
    coding.charFormat = bytes[4];
    coding.parityType = bytes[5];
    coding.dataBits = bytes[6];
    bool dataBitsValid = (coding.dataBits >= 5 && coding.dataBits <= 8) || coding.dataBits == 16;
    if (coding.dteRate == 0 || coding.charFormat > 2 || coding.parityType > 4 || !dataBitsValid)
        return std::nullopt;
    return coding;
}

// What the PDO holds of the modem. The bus may still be inside a call when the
// modem goes; Sever waits for such calls and turns later ones away.
class Modem::Attachment final : public UsbFunction {
  public:
    explicit Attachment(Modem& modem) : modem_(&modem) {}

    Handshake OnControlRequest(const SetupPacket& setup, std::vector<uint8_t>& data) override {
        Modem* modem = Enter();
        if (modem == nullptr)
            return Handshake::Stall;
        Handshake handshake = modem->OnControlRequest(setup, data);
        Leave();
        return handshake;
    }

    void OnBulkOut(const std::vector<uint8_t>& data) override {
        if (Modem* modem = Enter()) {
            modem->OnBulkOut(data);
            Leave();
        }
    }

    void Sever() {
        std::unique_lock<kx::UnscheduledMutex> lock(mutex_);
        modem_ = nullptr;
        kx::BlockUntil(
            lock, idle_, [&] { return calls_ == 0; }, "the modem's calls to end");
    }

  private:
    Modem* Enter() {
        std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
        if (modem_ != nullptr)
            ++calls_;
        return modem_;
    }

    void Leave() {
        std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
        if (--calls_ == 0)
            idle_.notify_all();
    }

    kx::UnscheduledMutex mutex_;
    std::condition_variable_any idle_;
    Modem* modem_;
    size_t calls_ = 0;
};

Modem::Modem(ModemPdo& pdo, ModemOptions options)
    : pdo_(pdo), options_(std::move(options)), attachment_(std::make_shared<Attachment>(*this)) {
    dialAlarm_.fire = &Modem::DialDue;
    guardAlarm_.fire = &Modem::GuardDue;
    streamAlarm_.fire = &Modem::StreamDue;
    holdAlarm_.fire = &Modem::HoldDue;
    for (Alarm* alarm : {&dialAlarm_, &guardAlarm_, &streamAlarm_, &holdAlarm_}) {
        alarm->modem = this;
        KeInitializeTimer(&alarm->timer);
        KeInitializeDpc(&alarm->dpc, AlarmDpc, alarm);
    }
    ResetSettings();
    pdo_.Attach(attachment_);
}

Modem::~Modem() {
    pdo_.Attach(nullptr);
    attachment_->Sever();
    {
        std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
        stopping_ = true; // no alarm is set from now on
        if (std::exchange(holding_, false))
            pdo_.NakBulkOut(false); // a PDO without its modem takes every transfer
    }
    for (Alarm* alarm : {&dialAlarm_, &guardAlarm_, &streamAlarm_, &holdAlarm_}) {
        KeCancelTimer(&alarm->timer);
        KeRemoveQueueDpc(&alarm->dpc);
    }
    // An alarm's DPC may be running on another processor.
    kx::DrainDispatchQueue();
}

// ---- Observation -------------------------------------------------------------------------

CdcLineCoding Modem::LineCoding() const {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    return lineCoding_;
}

bool Modem::Dtr() const {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    return (controlLines_ & DtrBit) != 0;
}

bool Modem::Rts() const {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    return (controlLines_ & RtsBit) != 0;
}

std::vector<ControlEvent> Modem::ControlLog() const {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    return controlLog_;
}

bool Modem::Carrier() const {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    return carrier_;
}

bool Modem::Dsr() const {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    return dsr_;
}

bool Modem::Dialing() const {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    return phase_ == Phase::Dialing;
}

bool Modem::Connected() const {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    return phase_ == Phase::Data || phase_ == Phase::OnlineCommand;
}

bool Modem::InDataMode() const {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    return phase_ == Phase::Data;
}

bool Modem::CommandEcho() const {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    return echo_;
}

std::vector<std::string> Modem::CommandLines() const {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    return commandLines_;
}

std::vector<uint8_t> Modem::Received() const {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    return received_;
}

uint64_t Modem::ReceivedCount() const {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    return receivedCount_;
}

uint64_t Modem::StreamedCount() const {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    return streamed_;
}

bool Modem::HoldingBack() const {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    return holding_;
}

// ---- Injection ---------------------------------------------------------------------------

void Modem::SetCarrier(bool on) {
    std::unique_lock<kx::UnscheduledMutex> lock(mutex_);
    if (!on && (phase_ == Phase::Data || phase_ == Phase::OnlineCommand)) {
        EndCall(dsr_);
        Respond("NO CARRIER");
    } else {
        SetLines(on, dsr_);
    }
    Flush(lock);
}

void Modem::SetDsr(bool on) {
    std::unique_lock<kx::UnscheduledMutex> lock(mutex_);
    SetLines(carrier_, on);
    Flush(lock);
}

void Modem::SendSerialState(uint16_t eventBits) {
    std::unique_lock<kx::UnscheduledMutex> lock(mutex_);
    Queue(UsbPipe::InterruptIn, SerialStateNotification(LineBits() | eventBits));
    Flush(lock);
}

void Modem::SendRawNotification(std::vector<uint8_t> bytes) {
    std::unique_lock<kx::UnscheduledMutex> lock(mutex_);
    Queue(UsbPipe::InterruptIn, std::move(bytes));
    Flush(lock);
}

void Modem::SendData(std::vector<uint8_t> bytes) {
    std::unique_lock<kx::UnscheduledMutex> lock(mutex_);
    Queue(UsbPipe::BulkIn, std::move(bytes));
    Flush(lock);
}

// ---- The control pipe --------------------------------------------------------------------

Handshake Modem::OnControlRequest(const SetupPacket& setup, std::vector<uint8_t>& data) {
    std::unique_lock<kx::UnscheduledMutex> lock(mutex_);
    ControlEvent event{kx::CurrentTime(), setup, data, Handshake::Stall};
    event.handshake = ControlRequest(setup, data);
    if (setup.bmRequestType & 0x80)
        event.data = data;
    controlLog_.push_back(std::move(event));
    Handshake handshake = controlLog_.back().handshake;
    Flush(lock);
    return handshake;
}

Handshake Modem::ControlRequest(const SetupPacket& setup, std::vector<uint8_t>& data) {
    bool out = setup.bmRequestType == ClassInterfaceOut;
    bool in = setup.bmRequestType == ClassInterfaceIn;
    if (setup.wIndex != CommunicationInterface)
        return Handshake::Stall;
    switch (setup.bRequest) {
    case SetLineCodingRequest: {
        auto coding = CdcLineCoding::Parse(data);
        if (!out || setup.wLength != 7 || !coding)
            return Handshake::Stall;
        lineCoding_ = *coding;
        return Handshake::Ack;
    }
    case GetLineCodingRequest: {
        if (!in)
            return Handshake::Stall;
        auto bytes = lineCoding_.Bytes();
        data.assign(bytes.begin(), bytes.end());
        return Handshake::Ack;
    }
    case SetControlLineStateRequest: {
        if (!out || setup.wLength != 0 || (setup.wValue & ~(DtrBit | RtsBit)) != 0)
            return Handshake::Stall;
        bool dtrWas = (controlLines_ & DtrBit) != 0;
        controlLines_ = setup.wValue;
        bool dtr = (controlLines_ & DtrBit) != 0;
        bool dsr = options_.dsrFollowsDtr ? dtr : dsr_;
        // Dropping DTR ends a call, or the dial that would make one.
        if (dtrWas && !dtr && phase_ != Phase::Command) {
            EndCall(dsr);
            Respond("NO CARRIER");
        } else {
            SetLines(carrier_, dsr);
        }
        return Handshake::Ack;
    }
    default:
        return Handshake::Stall;
    }
}

// ---- Bulk-out: commands and data ---------------------------------------------------------

void Modem::OnBulkOut(const std::vector<uint8_t>& data) {
    std::unique_lock<kx::UnscheduledMutex> lock(mutex_);
    LONGLONG now = kx::CurrentTime();
    for (size_t at = 0; at < data.size(); ++at) {
        uint8_t byte = data[at];
        switch (phase_) {
        case Phase::Data:
            if (at != 0 && escapeCount_ == 0) {
                // The bytes before this one arrived now: no escape can begin before
                // a guard time of silence, so the rest of the transfer is data.
                DataBytes(data.data() + at, data.size() - at, now);
                at = data.size();
                break;
            }
            DataByte(byte, now);
            break;
        case Phase::Dialing:
            // Any character but the line feed after the dial command abandons the dial.
            if (byte != registers_[LineFeedRegister]) {
                phase_ = Phase::Command;
                Respond("NO CARRIER");
            }
            break;
        default:
            CommandByte(byte);
            break;
        }
    }
    Flush(lock);
    HoldBackWhenFull();
}

void Modem::CommandByte(uint8_t byte) {
    if (echo_)
        openText_.push_back(byte);
    if (byte == registers_[LineEndRegister]) {
        std::string line = std::move(line_);
        line_.clear();
        bool overflow = std::exchange(lineOverflow_, false);
        ExecuteLine(line, overflow);
    } else if (byte == registers_[BackspaceRegister]) {
        if (!line_.empty())
            line_.pop_back();
    } else if (byte < 0x20 || byte == 0x7F) {
        // Other control characters, the line feed among them, are not part of a line.
    } else if (line_.size() < MaxLineLength) {
        line_.push_back(static_cast<char>(byte));
    } else {
        lineOverflow_ = true;
    }
}

// A byte of a call. Three escape characters, with the guard time of silence before
// the first, less than the guard time between them and the guard time of silence
// after the last, go back to command mode; until then they are data like any other.
void Modem::DataByte(uint8_t byte, LONGLONG now) {
    uint8_t escape = registers_[EscapeCharRegister];
    LONGLONG guard = registers_[GuardTimeRegister] * GuardTimeUnit;
    bool escapes = escape < 0x80 && byte == escape &&
                   (escapeCount_ == 0 ? now - lastDataTime_ >= guard
                                      : escapeCount_ < 3 && now - lastEscapeTime_ < guard);
    if (escapes) {
        lastEscapeTime_ = now;
        if (++escapeCount_ == 3) {
            guardDue_ = now + guard;
            Arm(guardAlarm_, guardDue_);
        }
    } else {
        escapeCount_ = 0;
    }
    DataBytes(&byte, 1, now);
}

void Modem::DataBytes(const uint8_t* bytes, size_t size, LONGLONG now) {
    lastDataTime_ = now;
    receivedCount_ += size;
    if (options_.dataHandling != DataHandling::Sink && options_.keepReceived)
        received_.insert(received_.end(), bytes, bytes + size);
    if (options_.dataHandling == DataHandling::Echo)
        openText_.insert(openText_.end(), bytes, bytes + size);
}

// One command line: "AT" (text before it is ignored) and the commands after it, run
// in order. Information text goes out as each command runs; the line ends with one
// final result, or with the result of the command that ends it (D, O, Z).
void Modem::ExecuteLine(const std::string& line, bool overflow) {
    size_t start = 0;
    while (start + 1 < line.size() && !(Upper(line[start]) == 'A' && Upper(line[start + 1]) == 'T'))
        ++start;
    if (start + 1 >= line.size())
        return; // not a command: no answer
    commandLines_.push_back(line.substr(start));
    if (overflow) {
        Respond("ERROR");
        return;
    }
    for (size_t at = start + 2; at < line.size();) {
        char command = Upper(line[at++]);
        if (command == ' ')
            continue;
        Step step;
        if (command == '+') {
            size_t end = std::min(line.find(';', at), line.size());
            std::string name;
            std::transform(line.begin() + static_cast<ptrdiff_t>(at),
                           line.begin() + static_cast<ptrdiff_t>(end), std::back_inserter(name),
                           Upper);
            at = std::min(end + 1, line.size());
            step = ExtendedCommand(name) ? Step::Next : Step::Error;
        } else {
            step = BasicCommand(command, line, at);
        }
        if (step == Step::Final)
            return;
        if (step == Step::Error) {
            Respond("ERROR");
            return;
        }
    }
    Respond("OK");
}

Modem::Step Modem::BasicCommand(char command, const std::string& line, size_t& at) {
    unsigned n = 0;
    switch (command) {
    case 'D':
        Dial(line.substr(at));
        at = line.size();
        return Step::Final;
    case '&': {
        if (at >= line.size())
            return Step::Error;
        char setting = Upper(line[at++]);
        if (!ReadNumber(line, at, n))
            return Step::Error;
        if (setting == 'F' && n == 0) {
            ResetSettings();
            return Step::Next;
        }
        // DCD, DTR, flow-control and DSR behaviour: accepted, the modem's own stays.
        return setting == 'C' || setting == 'D' || setting == 'K' || setting == 'S' ? Step::Next
                                                                                    : Step::Error;
    }
    case 'S': {
        unsigned value = 0;
        if (!ReadNumber(line, at, n) || !IsRegister(n) || at >= line.size())
            return Step::Error;
        char op = line[at++];
        if (op == '?') {
            char text[4];
            std::snprintf(text, sizeof text, "%03u", registers_[n]);
            Respond(text);
            return Step::Next;
        }
        if (op != '=' || !ReadNumber(line, at, value))
            return Step::Error;
        registers_[n] = static_cast<uint8_t>(value);
        return Step::Next;
    }
    default:
        break;
    }

    if (!ReadNumber(line, at, n))
        return Step::Error;
    switch (command) {
    case 'E':
        if (n > 1)
            return Step::Error;
        echo_ = n == 1;
        return Step::Next;
    case 'H':
        if (n != 0)
            return Step::Error;
        if (phase_ == Phase::OnlineCommand || carrier_)
            EndCall(dsr_);
        return Step::Next;
    case 'I':
        if (n != 0)
            return Step::Error;
        Respond(options_.identification);
        return Step::Next;
    case 'O':
        if (n != 0)
            return Step::Error;
        if (phase_ != Phase::OnlineCommand) {
            Respond("NO CARRIER");
            return Step::Final;
        }
        Respond(ConnectText());
        EnterDataMode();
        return Step::Final;
    case 'Z':
        if (n != 0)
            return Step::Error;
        if (phase_ == Phase::OnlineCommand || carrier_)
            EndCall(dsr_);
        ResetSettings();
        Respond("OK");
        return Step::Final;
    case 'Q': // result codes on
        return n == 0 ? Step::Next : Step::Error;
    case 'V': // verbose result codes
        return n == 1 ? Step::Next : Step::Error;
    case 'L': // speaker volume, speaker and call progress: nothing to do here
    case 'M':
    case 'X':
        return Step::Next;
    default:
        return Step::Error;
    }
}

// An extended command as V.250 writes it: +NAME alone (action), +NAME? (read the
// setting), +NAME=? (test: the values it takes) or +NAME=values (set). Each
// parameter of a set is within its range or the command answers ERROR; an omitted
// one keeps its value.
bool Modem::ExtendedCommand(const std::string& text) {
    size_t end = text.find_first_of("=?");
    std::string name = text.substr(0, end);
    while (!name.empty() && name.back() == ' ')
        name.pop_back();
    const std::string rest = end == std::string::npos ? "" : text.substr(end);
    const bool action = rest.empty(), read = rest == "?", test = rest == "=?";
    const bool set = !action && !read && !test && rest[0] == '=';
    std::vector<std::optional<unsigned>> values;
    if (set && !ParseValues(rest.substr(1), values))
        return false;
    auto within = [&](size_t count, unsigned max) {
        if (values.size() > count)
            return false;
        return std::all_of(values.begin(), values.end(),
                           [&](const std::optional<unsigned>& v) { return !v || *v <= max; });
    };
    auto infoText = [&](const std::string& value) {
        if (action)
            Respond(value);
        return action || test;
    };

    if (name == "CSQ") {
        if (action)
            Respond("+CSQ: " + std::to_string(options_.signalQuality) + ",99");
        else if (test)
            Respond("+CSQ: (0-31,99),(99)");
        return action || test;
    }
    if (name == "GMI")
        return infoText(options_.manufacturer);
    if (name == "GMM")
        return infoText(options_.model);
    if (name == "GMR")
        return infoText(options_.firmwareRevision);
    if (name == "GSN")
        return infoText(options_.serialNumber);
    if (name == "GCAP") {
        // The command sets this modem speaks: IS-707-A data over cdma2000 1x and
        // IS-856 (EV-DO), the service class command and the V.250 modulation,
        // error-control and compression reports.
        return infoText("+GCAP: +CIS707-A, +CIS-856, +FCLASS, +MS, +ES, +DS");
    }
    if (name == "FCLASS") {
        // Data only: the modem has no facsimile service class.
        if (read || test)
            Respond("0");
        return read || test || (set && values.size() == 1 && values[0] == 0u);
    }
    if (name == "IFC") {
        // Local flow control between the computer and the modem: 0 none, 1 XON/XOFF,
        // 2 RTS/CTS. Stored and reported; on USB the bulk pipes pace the data.
        if (read)
            Respond("+IFC: " + std::to_string(ifc_[0]) + "," + std::to_string(ifc_[1]));
        else if (test)
            Respond("+IFC: (0-2),(0-2)");
        if (set && within(2, 2)) {
            for (size_t i = 0; i < values.size(); ++i)
                ifc_[i] = values[i].value_or(ifc_[i]);
        }
        return read || test || (set && within(2, 2));
    }
    if (name == "CRM") {
        // The Rm interface protocol: 0 asynchronous data or fax, 1 packet data with
        // relay layer, 2 packet data with network layer (PPP), the modem's own.
        if (read)
            Respond("+CRM: " + std::to_string(crm_));
        else if (test)
            Respond("+CRM: (0-2)");
        if (set && values.size() == 1 && values[0] && *values[0] <= 2)
            crm_ = *values[0];
        return read || test || (set && values.size() == 1 && values[0] && *values[0] <= 2);
    }
    if (name == "CAD") {
        // Analog or digital service: 1 is CDMA digital service.
        if (read)
            Respond("+CAD: 1");
        else if (test)
            Respond("+CAD: (0-3)");
        return read || test;
    }
    if (name == "CSS") {
        // The serving system: band class 2 (PCS 1900 MHz), block A, the system's SID.
        if (read)
            Respond("+CSS: 2, PA, " + std::to_string(options_.systemId));
        else if (test)
            Respond("+CSS: (0-2),(A-C,PA-PF,Z),(0-32767,99999)");
        return read || test;
    }
    return false;
}

// ---- Calls -------------------------------------------------------------------------------

void Modem::Dial(const std::string& number) {
    bool hasNumber = number.find_first_not_of(' ') != std::string::npos;
    if (phase_ == Phase::OnlineCommand || !hasNumber) {
        Respond("ERROR");
        return;
    }
    phase_ = Phase::Dialing;
    dialDue_ = kx::CurrentTime() + options_.dialDelay;
    Arm(dialAlarm_, dialDue_);
}

void Modem::DialDue() {
    std::unique_lock<kx::UnscheduledMutex> lock(mutex_);
    if (stopping_ || phase_ != Phase::Dialing)
        return; // the dial was abandoned
    if (kx::CurrentTime() < dialDue_) {
        Arm(dialAlarm_, dialDue_); // a dial abandoned and begun again
        return;
    }
    switch (options_.dialOutcome) {
    case DialOutcome::Connect:
        patternOffset_ = 0;
        SetLines(true, dsr_);
        Respond(ConnectText());
        EnterDataMode();
        break;
    case DialOutcome::NoCarrier:
        phase_ = Phase::Command;
        Respond("NO CARRIER");
        break;
    case DialOutcome::Busy:
        phase_ = Phase::Command;
        Respond("BUSY");
        break;
    case DialOutcome::NoAnswer:
        phase_ = Phase::Command;
        Respond("NO ANSWER");
        break;
    }
    Flush(lock);
}

std::string Modem::ConnectText() const {
    return "CONNECT " + std::to_string(options_.connectRate);
}

void Modem::EnterDataMode() {
    LONGLONG now = kx::CurrentTime();
    phase_ = Phase::Data;
    escapeCount_ = 0;
    lastDataTime_ = now;
    bool streams = options_.dataHandling == DataHandling::Stream &&
                   options_.streamBytesPerSecond != 0 && options_.streamChunk != 0 &&
                   !options_.streamPattern.empty();
    if (streams) {
        anchorTime_ = now;
        anchorChunk_ = chunks_;
        Arm(streamAlarm_, ChunkDue(chunks_));
    }
}

void Modem::LeaveDataMode(Phase next) {
    phase_ = next;
    escapeCount_ = 0;
    KeCancelTimer(&streamAlarm_.timer);
}

void Modem::EndCall(bool dsr) {
    LeaveDataMode(Phase::Command);
    SetLines(false, dsr);
}

void Modem::GuardDue() {
    std::unique_lock<kx::UnscheduledMutex> lock(mutex_);
    if (stopping_ || phase_ != Phase::Data || escapeCount_ != 3)
        return; // data came after the escape characters
    if (kx::CurrentTime() < guardDue_) {
        Arm(guardAlarm_, guardDue_);
        return;
    }
    LeaveDataMode(Phase::OnlineCommand);
    Respond("OK");
    Flush(lock);
}

// The time chunk `chunk` is due: when (chunk - anchor + 1) chunks' bytes have been
// produced at the stream rate since the anchor, rounded up to the clock's unit.
LONGLONG Modem::ChunkDue(uint64_t chunk) const {
    uint64_t bytes = (chunk - anchorChunk_ + 1) * options_.streamChunk;
    uint64_t rate = options_.streamBytesPerSecond;
    uint64_t whole = bytes / rate;
    uint64_t rest = bytes % rate;
    uint64_t ticks = whole * HundredNsPerSecond + (rest * HundredNsPerSecond + rate - 1) / rate;
    return anchorTime_ + static_cast<LONGLONG>(ticks);
}

void Modem::StreamDue() {
    std::unique_lock<kx::UnscheduledMutex> lock(mutex_);
    if (stopping_ || phase_ != Phase::Data)
        return;
    LONGLONG now = kx::CurrentTime();
    size_t backlog = pdo_.QueuedInBytes(UsbPipe::BulkIn);
    const auto& pattern = options_.streamPattern;
    while (ChunkDue(chunks_) <= now) {
        if (backlog > options_.streamBacklog) {
            // The host does not read: wait, and go on at the rate from now.
            anchorTime_ = now;
            anchorChunk_ = chunks_;
            break;
        }
        std::vector<uint8_t> chunk(options_.streamChunk);
        for (uint8_t& byte : chunk) {
            byte = pattern[patternOffset_];
            patternOffset_ = (patternOffset_ + 1) % pattern.size();
        }
        streamed_ += chunk.size();
        backlog += chunk.size();
        Queue(UsbPipe::BulkIn, std::move(chunk));
        ++chunks_;
        if (options_.streamZeroLengthEvery != 0 && chunks_ % options_.streamZeroLengthEvery == 0)
            Queue(UsbPipe::BulkIn, {});
    }
    Arm(streamAlarm_, ChunkDue(chunks_));
    Flush(lock);
}

// ---- The modem's buffer ------------------------------------------------------------------

// How often a modem that NAKs bulk-out looks whether the host has read.
constexpr LONGLONG HoldCheckInterval = HundredNsPerSecond / 500;

size_t Modem::Backlog() const {
    size_t bytes = pdo_.QueuedInBytes(UsbPipe::BulkIn) + openText_.size();
    for (const Outgoing& outgoing : outbox_)
        bytes += outgoing.pipe == UsbPipe::BulkIn ? outgoing.bytes.size() : 0;
    return bytes;
}

void Modem::HoldBackWhenFull() {
    // Only echoed data comes back to the host for what it sends.
    if (options_.dataHandling != DataHandling::Echo || holding_ || stopping_ ||
        Backlog() <= options_.echoBacklog)
        return;
    // Full: the host's next OUT transaction is NAKed, as by a modem whose buffer
    // has no room; the host controller retries it until the modem takes data again.
    holding_ = true;
    pdo_.NakBulkOut(true);
    Arm(holdAlarm_, kx::CurrentTime() + HoldCheckInterval);
}

void Modem::HoldDue() {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    if (stopping_ || !holding_)
        return;
    if (Backlog() > options_.echoBacklog) {
        Arm(holdAlarm_, kx::CurrentTime() + HoldCheckInterval);
        return;
    }
    holding_ = false;
    pdo_.NakBulkOut(false);
}

// ---- Helpers -----------------------------------------------------------------------------

void Modem::ResetSettings() {
    echo_ = options_.echo;
    ifc_ = {2, 2};
    crm_ = 2;
    registers_.fill(0);
    for (const auto& r : RegisterDefaults)
        registers_[r.number] = r.value;
}

uint16_t Modem::LineBits() const {
    return (carrier_ ? SerialState::RxCarrier : 0) | (dsr_ ? SerialState::TxCarrier : 0);
}

void Modem::SetLines(bool carrier, bool dsr) {
    if (carrier == carrier_ && dsr == dsr_)
        return;
    carrier_ = carrier;
    dsr_ = dsr;
    Queue(UsbPipe::InterruptIn, SerialStateNotification(LineBits()));
}

void Modem::Arm(Alarm& alarm, LONGLONG due) {
    if (stopping_)
        return;
    LARGE_INTEGER relative;
    relative.QuadPart = -std::max<LONGLONG>(due - kx::CurrentTime(), 0);
    KeSetTimer(&alarm.timer, relative, &alarm.dpc);
}

void NTAPI Modem::AlarmDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* alarm = static_cast<Alarm*>(context);
    (alarm->modem->*alarm->fire)();
}

void Modem::Respond(const std::string& text) {
    openText_.insert(openText_.end(), {'\r', '\n'});
    openText_.insert(openText_.end(), text.begin(), text.end());
    openText_.insert(openText_.end(), {'\r', '\n'});
}

void Modem::Queue(UsbPipe pipe, std::vector<uint8_t> bytes) {
    if (!openText_.empty())
        outbox_.push_back({UsbPipe::BulkIn, std::exchange(openText_, {})});
    outbox_.push_back({pipe, std::move(bytes)});
}

void Modem::Flush(std::unique_lock<kx::UnscheduledMutex>& lock) {
    if (!openText_.empty())
        outbox_.push_back({UsbPipe::BulkIn, std::exchange(openText_, {})});
    if (sending_)
        return; // the thread that is sending takes these too, in order
    sending_ = true;
    while (!outbox_.empty()) {
        Outgoing next = std::move(outbox_.front());
        outbox_.pop_front();
        lock.unlock();
        if (next.pipe == UsbPipe::InterruptIn)
            pdo_.SendInterrupt(next.bytes);
        else
            pdo_.SendBulkIn(next.bytes);
        lock.lock();
    }
    sending_ = false;
}

} // namespace sim
