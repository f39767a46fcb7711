// Scenarios for the explorer: races written once against the serial API, the bus
// and the PnP and power managers, each with its own checks. The explorer runs each
// under the controlled scheduler for many seeds; a run is a function of (scenario,
// seed) alone, so any finding replays from them.
//
//   EXPLORE_SCENARIO(read_against_cancel, "an overlapped read against CancelIo") {
//       ExplorePort port(run);              // a world with COM5, opened overlapped
//       ...threads with kx::ControlledThread...
//       run.Expect(bytes == sent, "every byte read once");
//   }
#pragma once

#include <kx/host.h>
#include <sim/serial_api.h>
#include <sim/world.h>
#include <tests/support/overlapped.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace explore {

// What one run of a scenario is given and what it found.
class Run {
  public:
    explicit Run(uint64_t seed) : seed_(seed), random_(seed ^ 0x9E3779B97F4A7C15ULL) {}
    uint64_t Seed() const { return seed_; }
    // Choices of the scenario itself (how many bytes, which flag) from the seed.
    uint64_t Draw(uint64_t below) {
        return std::uniform_int_distribution<uint64_t>(0, below - 1)(random_);
    }
    // A failed expectation is a finding of this run.
    void Expect(bool holds, const std::string& what) {
        if (!holds)
            failures_.push_back(what);
    }
    const std::vector<std::string>& Failures() const { return failures_; }

    // Failures from the seed: in a scenario that allows them, a quarter of the runs
    // fail one pool allocation, IRP or URB, armed once the port is open. The checks
    // that only hold when nothing failed go through ExpectUnlessFaulted.
    void AllowFaults() { faultsAllowed_ = true; }
    void ArmFaults(sim::ModemPdo& pdo);
    // A fault was armed and, for allocations, has been reached.
    bool Faulted() const;
    std::string FaultText() const { return faultText_; }
    void ExpectUnlessFaulted(bool holds, const std::string& what) {
        Expect(holds || Faulted(), what);
    }
    // What was read is what was sent, once and in order; with a fault, bytes may be
    // missing but none may be duplicated or reordered.
    void ExpectStream(const std::vector<uint8_t>& got, const std::vector<uint8_t>& sent);
    // The world options of every world this run makes (controlled, seeded).
    sim::WorldOptions& World() { return world_; }

  private:
    uint64_t seed_;
    std::mt19937_64 random_;
    std::vector<std::string> failures_;
    sim::WorldOptions world_;
    bool faultsAllowed_ = false;
    std::optional<kx::AllocationKind> faultKind_;
    uint64_t faultBase_ = 0;
    uint64_t faultNth_ = 0;
    bool urbFault_ = false;
    std::string faultText_;
};

using ScenarioBody = void (*)(Run&);

struct Scenario {
    const char* name;
    const char* what;
    ScenarioBody body;
};

std::vector<Scenario>& Scenarios();

struct Registration {
    Registration(const char* name, const char* what, ScenarioBody body) {
        Scenarios().push_back({name, what, body});
    }
};

#define EXPLORE_SCENARIO(name, what)                                                               \
    static void name(explore::Run& run);                                                           \
    static const explore::Registration name##Registration(#name, what, name);                      \
    static void name(explore::Run& run)

std::vector<uint8_t> Pattern(size_t size, uint64_t seed);

// A world with the modem model plugged in as COM5 and the port opened, overlapped
// or not, with no time-outs; closed (and checked) at the end of the scope.
class ExplorePort {
  public:
    explicit ExplorePort(Run& run, bool overlapped = true, sim::PlugOptions plug = {});
    ~ExplorePort();
    ExplorePort(const ExplorePort&) = delete;
    ExplorePort& operator=(const ExplorePort&) = delete;

    sim::World& World() { return *world_; }
    sim::PluggedModem& Modem() { return *modem_; }
    win32::HANDLE Handle() const { return handle_; }
    void SetTimeouts(const win32::COMMTIMEOUTS& timeouts);
    // Closes the handle now (a scenario racing the close).
    bool Close();
    // Reads what the ring holds now, without waiting.
    std::vector<uint8_t> Drain();

  private:
    Run& run_;
    std::optional<sim::World> world_;
    sim::PluggedModem* modem_ = nullptr;
    win32::HANDLE handle_ = win32::INVALID_HANDLE_VALUE;
};

// An overlapped request's end, taken once: whether it succeeded, its count, and
// the Win32 error of a failure.
struct Outcome {
    bool ok = false;
    win32::DWORD count = 0;
    win32::DWORD error = 0;
};
Outcome Await(win32::HANDLE handle, korvax_test::Overlapped& overlapped);
// The end of a request started with the outcome given: its wait when it went
// pending, otherwise the outcome itself (a request that failed at once signals
// nothing).
Outcome Finish(win32::HANDLE handle, const Outcome& started, korvax_test::Overlapped& overlapped);
// Starts an overlapped read or write: true when it went pending or ended at once
// (then *done holds its end).
Outcome ReadAsync(win32::HANDLE handle, void* buffer, win32::DWORD size,
                  korvax_test::Overlapped& overlapped);
Outcome WriteAsync(win32::HANDLE handle, const void* buffer, win32::DWORD size,
                   korvax_test::Overlapped& overlapped);

} // namespace explore
