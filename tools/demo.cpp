// korvaxsim demo: a dialer session on the simulated modem through the driver, on
// the real clock, with a summary of everything that crossed the bus.
#include "dialer.h"
#include "event_watch.h"
#include "modes.h"
#include "report.h"
#include "session.h"
#include "simulation.h"

#include <sim/capture.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <random>
#include <thread>

namespace korvaxsim {

using namespace win32;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

namespace {

// The guard time the demo sets (S12, in fiftieths of a second) so that the escape
// takes 0.2 s of silence on each side instead of the modem's 1 s.
constexpr unsigned GuardFiftieths = 10;
constexpr auto GuardTime = milliseconds(GuardFiftieths * 20);

// The data phase: bytes in flight are kept well below the driver's receive ring.
constexpr size_t WriteChunk = 16 * 1024;
constexpr size_t InFlightLimit = 256 * 1024;
constexpr auto StallLimit = std::chrono::seconds(10);

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

class Demo {
  public:
    explicit Demo(const Options& options)
        : options_(options), progress_(!options.quiet && isatty(STDOUT_FILENO)) {}

    int Run();

  private:
    void Say(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void Session(Simulation& sim, SessionReport& report);
    Answer Command(Dialer& dialer, const std::string& command, milliseconds limit);
    void DataPhase(Simulation& sim, Port& port);
    void Progress(uint64_t done, uint64_t total, Clock::time_point start, bool last);
    void ReportCapture(Simulation& sim);

    const Options& options_;
    const bool progress_;
    Simulation* sim_ = nullptr; // of the session that runs
};

// The data phase's bytes: the seed's pseudo-random stream, made as it is needed, so
// that a session of any size runs in flat memory. The writer and the checker each
// draw the same stream from a generator of their own.
class SeededStream {
  public:
    explicit SeededStream(uint32_t seed) : random_(seed) {}
    void Next(uint8_t* bytes, size_t size) {
        for (size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<uint8_t>(random_());
    }

  private:
    std::mt19937 random_;
};

void Demo::Say(const char* format, ...) {
    if (options_.quiet)
        return;
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

Answer Demo::Command(Dialer& dialer, const std::string& command, milliseconds limit) {
    if (sim_ != nullptr)
        sim_->ThrowIfCaptureFailed();
    Say("modem:  > %s\n", command.c_str());
    Answer answer = dialer.Command(command, limit);
    for (const std::string& line : answer.lines)
        Say("        < %s\n", line.c_str());
    Say("        < %s\n", answer.result.c_str());
    return answer;
}

void Demo::Progress(uint64_t done, uint64_t total, Clock::time_point start, bool last) {
    if (!progress_)
        return;
    constexpr int Width = 32;
    int filled = static_cast<int>(Width * done / total);
    double elapsed = Seconds(Clock::now() - start);
    double rate = elapsed > 0 ? double(done) / elapsed / (1024.0 * 1024.0) : 0.0;
    std::printf("\rdata:   [%.*s%.*s] %3d%%  %s  %.1f MiB/s ", filled,
                "################################", Width - filled,
                "--------------------------------", static_cast<int>(100 * done / total),
                HumanBytes(done).c_str(), rate);
    if (last)
        std::printf("\n");
    std::fflush(stdout);
}

// The call's data: pseudo-random bytes written in chunks while the echo is read
// back and compared, with a bounded amount in flight.
void Demo::DataPhase(Simulation& sim, Port& port) {
    const uint64_t total = options_.bytes;
    SeededStream toSend(options_.seed), toCheck(options_.seed);
    std::vector<uint8_t> chunk(WriteChunk); // the write in flight
    std::vector<uint8_t> buffer(64 * 1024), expected(buffer.size());

    Say("data:   %s each way, modem echoing, seed %" PRIu32 "\n", HumanBytes(total).c_str(),
        options_.seed);
    Overlapped write;
    bool writing = false;
    size_t writeSize = 0;
    uint64_t issued = 0, received = 0;
    auto start = Clock::now();
    auto lastProgress = start, lastMove = start;
    while (received < total) {
        sim.ThrowIfCaptureFailed();
        // All that was sent has come back: the write in flight has nothing more to
        // echo until it ends, so wait for it rather than for data.
        if (writing && (write.Done() || received == issued)) {
            size_t written = port.Finish(write, Port::Request::Write);
            if (written != writeSize)
                throw Failure(port.Name() + ": WriteFile sent " + std::to_string(written) + " of " +
                              std::to_string(writeSize) + " bytes");
            writing = false;
            lastMove = Clock::now();
        }
        if (!writing && issued < total && issued - received < InFlightLimit) {
            writeSize = static_cast<size_t>(std::min<uint64_t>(WriteChunk, total - issued));
            toSend.Next(chunk.data(), writeSize);
            port.StartWrite(write, chunk.data(), writeSize);
            issued += writeSize;
            writing = true;
        }
        if (options_.unplugMidway && !sim.Unplugged() && received >= total / 2) {
            if (progress_)
                std::printf("\n");
            Say("bus:    the modem is pulled out with %s of %s back\n",
                HumanBytes(received).c_str(), HumanBytes(total).c_str());
            sim.Unplug();
        }

        size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), total - received));
        size_t n = port.Read(buffer.data(), want);
        if (n != 0) {
            toCheck.Next(expected.data(), n);
            auto mismatch = std::mismatch(
                buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(n), expected.begin());
            if (mismatch.first != buffer.begin() + static_cast<ptrdiff_t>(n)) {
                uint64_t at = received + static_cast<uint64_t>(mismatch.first - buffer.begin());
                char text[128];
                std::snprintf(text, sizeof text,
                              "data: byte %" PRIu64 " came back as 0x%02X instead of 0x%02X", at,
                              *mismatch.first, *mismatch.second);
                throw Failure(text);
            }
            received += n;
            lastMove = Clock::now();
        }
        auto now = Clock::now();
        if (now - lastMove > StallLimit)
            throw Failure("data: stalled with " + std::to_string(received) + " of " +
                          std::to_string(total) + " bytes back");
        if (now - lastProgress > milliseconds(100) || received == total) {
            Progress(received, total, start, received == total);
            lastProgress = now;
        }
    }
    if (writing)
        port.Finish(write, Port::Request::Write);
    double elapsed = Seconds(Clock::now() - start);
    Say("data:   %s each way in %.2f s: %.1f MiB/s each way, every byte came back intact\n",
        HumanBytes(total).c_str(), elapsed, double(total) / elapsed / (1024.0 * 1024.0));

    DWORD errors = 0;
    COMSTAT stat = port.QueueStatus(&errors);
    if (errors != 0)
        throw Failure(port.Name() + ": ClearCommError reports errors 0x" + std::to_string(errors) +
                      " after the data phase");
    if (stat.cbInQue != 0)
        throw Failure(port.Name() + ": " + std::to_string(stat.cbInQue) +
                      " unexpected bytes wait in the receive queue");
}

void Demo::ReportCapture(Simulation& sim) {
    sim.ThrowIfCaptureFailed();
    Say("capture: %zu packets in %s (USBPcap; tshark -r %s)\n", sim.CapturePackets(),
        options_.capture.c_str(), options_.capture.c_str());
}

// Waits up to 3 s for the carrier to come or go: an EV_RLSD event, with the modem
// status showing the change (an event seen twice does not end the wait early).
bool WaitForCarrier(Port& port, EventWatch& events, bool on) {
    auto deadline = Clock::now() + std::chrono::seconds(3);
    bool seen = false;
    for (;;) {
        seen |= events.WaitFor(EV_RLSD, 100);
        bool carrier = (port.ModemStatus() & MS_RLSD_ON) != 0;
        if (seen && carrier == on)
            return true;
        if (Clock::now() >= deadline)
            return false;
    }
}

// Everything between plugging in and unloading; throws Failure at the first step
// that does not go as a dialer expects.
void Demo::Session(Simulation& sim, SessionReport& report) {
    sim::ModemPdo& pdo = sim.Pdo();
    Say("bus:    modem \"%s\" plugged in as %s (USB\\VID_%04X&PID_%04X&MI_00, bulk max packet "
        "%u)\n",
        sim::ModemOptions{}.identification.c_str(), sim.PortName().c_str(), ModemVendorId,
        ModemProductId, pdo.MaxPacketSize(sim::UsbPipe::BulkIn));

    OtherApplication other(options_, sim);
    {
        Port port(
            options_.port, [&] { return sim.Unplugged(); }, [&] { return sim.ModemHoldingBack(); });
        Say("app:    CreateFile %s\n", PortPath(options_.port).c_str());
        // The counts reach the report however the session ends.
        struct CountsOnExit {
            Port& port;
            RequestCounts& counts;
            ~CountsOnExit() { counts = port.Counts(); }
        } countsOnExit{port, report.requests};

        LineSettings line{CBR_115200, 8, NOPARITY, ONESTOPBIT};
        port.SetLine(line);
        sim::CdcLineCoding coding = sim.Modem().LineCoding();
        Say("app:    SetCommState %s; the modem's line coding is now %u %u%c%s\n",
            DescribeLine(line).c_str(), coding.dteRate, coding.dataBits,
            "NOEMS"[coding.parityType % 5], coding.charFormat == 2 ? "2" : "1");
        if (!(coding == sim::CdcLineCoding{115200, 0, 0, 8}))
            throw Failure("the modem's line coding does not match SetCommState");
        port.SetTimeouts(200, 5000);
        Say("app:    SetCommTimeouts: reads return what has arrived (200 ms wait), writes "
            "5 s\n");

        EventWatch events(port, EV_RLSD | EV_DSR | EV_CTS | EV_RING | EV_ERR | EV_BREAK);
        port.Escape(SETDTR);
        port.Escape(SETRTS);
        DWORD status = port.ModemStatus();
        Say("app:    EscapeCommFunction SETDTR, SETRTS; the modem sees DTR %s RTS %s; modem "
            "status %s\n",
            sim.Modem().Dtr() ? "on" : "off", sim.Modem().Rts() ? "on" : "off",
            DescribeModemStatus(status).c_str());
        if (!sim.Modem().Dtr() || !sim.Modem().Rts() || !(status & MS_DSR_ON))
            throw Failure(port.Name() + ": raising DTR and RTS did not reach the modem");

        Dialer dialer(port);
        auto expectOk = [&](const std::string& command) {
            Answer answer = Command(dialer, command, milliseconds(3000));
            if (!answer.Ok())
                throw Failure("modem: " + command + " answered " + answer.result);
            return answer;
        };
        expectOk("AT");
        expectOk("ATI");
        expectOk("AT+CSQ");
        expectOk("ATS12=" + std::to_string(GuardFiftieths));

        auto dialStart = Clock::now();
        Answer dial = Command(dialer, "ATD#777", milliseconds(10000));
        if (!dial.Connected())
            throw Failure("modem: ATD#777 answered " + dial.result);
        if (!WaitForCarrier(port, events, true))
            throw Failure(port.Name() + ": no carrier (EV_RLSD, MS_RLSD_ON) after CONNECT");
        status = port.ModemStatus();
        Say("event:  RLSD after %.2f s; modem status %s\n", Seconds(Clock::now() - dialStart),
            DescribeModemStatus(status).c_str());

        DataPhase(sim, port);

        // The escape: silence, +++, silence; the modem answers OK in command mode.
        Say("modem:  %.1f s of silence, +++, %.1f s of silence\n", Seconds(GuardTime) * 1.5,
            Seconds(GuardTime));
        std::this_thread::sleep_for(GuardTime * 3 / 2);
        port.Write("+++");
        Answer escaped = dialer.Await("+++", GuardTime + milliseconds(3000));
        Say("        < %s\n", escaped.result.c_str());
        if (!escaped.Ok())
            throw Failure("modem: +++ answered " + escaped.result);

        Answer hangUp = Command(dialer, "ATH", milliseconds(3000));
        if (!hangUp.Ok())
            throw Failure("modem: ATH answered " + hangUp.result);
        if (!WaitForCarrier(port, events, false))
            throw Failure(port.Name() + ": the carrier is still up after ATH");
        status = port.ModemStatus();
        Say("event:  RLSD: NO CARRIER; modem status %s\n", DescribeModemStatus(status).c_str());

        events.Poll();
        report.events = events.Tally();
    }
    Say("app:    CloseHandle; the modem sees DTR %s, RTS %s\n", sim.Modem().Dtr() ? "on" : "off",
        sim.Modem().Rts() ? "on" : "off");
    if (sim.Modem().Dtr())
        throw Failure("closing the port left DTR up");
    other.Close();

    sim.Unplug();
    sim.World().Settle();
    if (!sim.Plugged().Removed())
        throw Failure("the surprise removal did not remove the device");
    HANDLE again = CreateFileA(PortPath(options_.port).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                               nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD error = GetLastError();
    if (again != INVALID_HANDLE_VALUE) {
        CloseHandle(again);
        throw Failure(options_.port + " still opens after the modem was pulled out");
    }
    Say("bus:    surprise removal; %s is gone (CreateFile: %s)\n", options_.port.c_str(),
        ErrorName(error).c_str());
}

int Demo::Run() {
    SessionReport report;
    std::string failure;
    bool ran = false;
    try {
        Simulation sim(MakeSimulationOptions(options_, options_.quiet ? nullptr : stdout));
        ran = true;
        sim_ = &sim;
        try {
            Session(sim, report);
        } catch (const Failure& f) {
            if (progress_)
                std::printf("\n");
            failure = f.what();
        }
        report.urbs = sim.Urbs();
        if (!options_.capture.empty()) {
            try {
                ReportCapture(sim);
            } catch (const Failure& f) {
                if (failure.empty())
                    failure = f.what();
            }
        }
        sim_ = nullptr;
        report.verdict = sim.Shutdown();
    } catch (const Failure& f) {
        failure = f.what();
    }
    if (!failure.empty())
        std::fprintf(stderr, "korvaxsim: %s\n", failure.c_str());
    if (ran && !report.verdict.Clean()) {
        std::fprintf(stderr,
                     "korvaxsim: the driver left %zu verifier finding(s) and %zu pool block(s) "
                     "behind\n",
                     report.verdict.findings, report.verdict.pool.allocations);
    }
    bool passed = ran && failure.empty() && report.verdict.Clean();
    if (ran && (passed || !options_.quiet)) {
        PrintSummary(stdout, report);
        std::printf("result: %s\n", passed ? "PASS" : "FAIL");
    }
    return passed ? 0 : 1;
}

} // namespace

int RunDemo(const Options& options) {
    return Demo(options).Run();
}

} // namespace korvaxsim
