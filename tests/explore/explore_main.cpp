// The explorer: runs scenarios under the controlled scheduler, one seed after
// another, and reports any finding (a verifier finding, a failed expectation, a
// crash, a hang) with its scenario and seed, the command that replays it, and the
// schedule shrunk to the fewest preemptions that still fail.
//
// usage: explore [--list] [--scenario NAME]... [--schedules N] [--seconds S]
//                [--seed BASE] [--replay SEED] [--guide STEP:THREAD,...]
//                [--strategy pct|random] [--image korvaxser.sys] [--trace]
#include "explore.h"

#include <kx/schedule.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>

namespace explore {
namespace {

struct Options {
    std::vector<std::string> scenarios;
    uint64_t schedules = 0;
    double seconds = 0;
    uint64_t base = 1;
    std::optional<uint64_t> replay;
    std::optional<std::vector<std::pair<uint64_t, unsigned>>> guide;
    std::optional<kx::Strategy> strategy;
    bool trace = false;
    bool list = false;
};

struct Outcome {
    std::vector<std::string> findings;
    kx::ScheduleResult schedule;
};

// What the crash handler prints: the run under way.
char runLabel[512];
// Runs begun, for the watchdog.
std::atomic<uint64_t> runsBegun{0};

// A run that passes no scheduling point (a thread spinning on its own) never hands
// the turn back: after two minutes on one run the watchdog names it and ends the
// process. It touches no kernel state.
void StartWatchdog() {
    std::thread([] {
        uint64_t seen = runsBegun.load();
        int quiet = 0;
        for (;;) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            uint64_t now = runsBegun.load();
            quiet = now == seen ? quiet + 1 : 0;
            seen = now;
            if (quiet == 120) {
                std::fprintf(stderr, "\n*** EXPLORE: no progress for 120 s in %s\n", runLabel);
                std::fflush(stderr);
                std::_Exit(88);
            }
        }
    }).detach();
}

void Say(const char* text) {
    for (size_t left = std::strlen(text); left != 0;) {
        ssize_t written = write(2, text, left);
        if (written <= 0)
            return;
        text += written;
        left -= static_cast<size_t>(written);
    }
}

void OnCrash(int signal) {
    Say("\n*** EXPLORE: crashed (signal) in ");
    Say(runLabel);
    Say("\n");
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

kx::Strategy StrategyOf(uint64_t seed, const Options& options) {
    if (options.strategy)
        return *options.strategy;
    return (seed & 1) != 0 ? kx::Strategy::RandomWalk : kx::Strategy::Pct;
}

// The seed of the i-th schedule of a scenario (splitmix64 of the base and both).
uint64_t SeedOf(uint64_t base, size_t scenario, uint64_t i) {
    uint64_t z = base + 0x9E3779B97F4A7C15ULL * (i + 1) + (uint64_t(scenario) << 40);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

std::string ReplayCommand(const Scenario& scenario, uint64_t seed) {
    return "scripts/explore.sh --scenario " + std::string(scenario.name) + " --replay " +
           std::to_string(seed);
}

Outcome RunOnce(const Scenario& scenario, uint64_t seed, const Options& options, uint64_t steps,
                const std::vector<std::pair<uint64_t, unsigned>>* guide) {
    std::snprintf(runLabel, sizeof runLabel, "scenario %s, seed %llu (replay: %s)", scenario.name,
                  static_cast<unsigned long long>(seed), ReplayCommand(scenario, seed).c_str());
    ++runsBegun;
    Outcome outcome;
    {
        kx::VerifierCapture capture;
        Run run(seed);
        // KeRemoveQueueDpc as Windows 2000/XP may have it, a quarter of the time.
        run.World().kernel.removedDpcRunsPercent = 25;
        run.World().kernel.removedDpcSeed = static_cast<uint32_t>(seed);
        kx::ScheduleOptions& schedule = run.World().kernel.schedule;
        schedule.controlled = true;
        schedule.strategy = StrategyOf(seed, options);
        schedule.seed = seed;
        schedule.steps = steps;
        // Ten times the calibrated length, at least: a run that long is stuck.
        schedule.stepLimit = std::max<uint64_t>(steps * 10, 20000);
        schedule.label = runLabel;
        if (guide != nullptr)
            schedule.guide = std::make_shared<const kx::ScheduleGuide>(*guide);
        scenario.body(run);
        outcome.findings = run.Failures();
        for (const kx::Finding& finding : capture.Findings())
            outcome.findings.push_back(std::string("verifier: ") + kx::RuleName(finding.rule) +
                                       ": " + finding.detail);
        if (!outcome.findings.empty() && !run.FaultText().empty())
            outcome.findings.push_back("(the run's injected failure: " + run.FaultText() + ")");
    }
    outcome.schedule = kx::LastSchedule();
    return outcome;
}

std::vector<std::pair<uint64_t, unsigned>> GuideOf(const kx::ScheduleResult& schedule) {
    std::vector<std::pair<uint64_t, unsigned>> guide;
    for (const kx::ScheduleSwitch& sw : schedule.trace)
        guide.emplace_back(sw.step, sw.to);
    return guide;
}

std::string GuideText(const std::vector<std::pair<uint64_t, unsigned>>& guide) {
    std::string text;
    for (const auto& [step, thread] : guide)
        text += (text.empty() ? "" : ",") + std::to_string(step) + ":" + std::to_string(thread);
    return text;
}

// Drops preemptions one at a time, latest first, keeping each drop after which
// the guided run still fails.
Outcome Shrink(const Scenario& scenario, uint64_t seed, const Options& options, uint64_t steps,
               Outcome failing) {
    std::vector<std::pair<uint64_t, unsigned>> guide = GuideOf(failing.schedule);
    Outcome guided = RunOnce(scenario, seed, options, steps, &guide);
    if (guided.findings.empty())
        return failing; // the guided replay diverged: keep the original
    failing = guided;
    constexpr int Attempts = 150;
    int attempts = 0;
    for (size_t i = failing.schedule.trace.size(); i-- > 0 && attempts < Attempts;) {
        if (!failing.schedule.trace[i].preemption)
            continue;
        std::vector<std::pair<uint64_t, unsigned>> fewer = GuideOf(failing.schedule);
        fewer.erase(fewer.begin() + static_cast<ptrdiff_t>(i));
        ++attempts;
        Outcome tried = RunOnce(scenario, seed, options, steps, &fewer);
        if (!tried.findings.empty() && tried.schedule.preemptions < failing.schedule.preemptions) {
            failing = tried;
            i = std::min(i, failing.schedule.trace.size());
        }
    }
    return failing;
}

void Report(const Scenario& scenario, uint64_t seed, const Outcome& outcome, const Options& options,
            uint64_t steps) {
    std::printf("\n*** EXPLORE: finding in scenario %s, seed %llu\n", scenario.name,
                static_cast<unsigned long long>(seed));
    for (const std::string& finding : outcome.findings)
        std::printf("  %s\n", finding.c_str());
    std::printf("  replay: %s\n", ReplayCommand(scenario, seed).c_str());
    Outcome shrunk = Shrink(scenario, seed, options, steps, outcome);
    std::printf("  shrunk to %llu preemptions (of %llu); replay it with:\n    %s --guide %s\n",
                static_cast<unsigned long long>(shrunk.schedule.preemptions),
                static_cast<unsigned long long>(outcome.schedule.preemptions),
                ReplayCommand(scenario, seed).c_str(), GuideText(GuideOf(shrunk.schedule)).c_str());
    std::printf("%s", kx::DescribeSchedule(shrunk.schedule, 60).c_str());
    std::fflush(stdout);
}

// A first run with a fixed seed measures the scenario's length, over which PCT
// spreads its change points: a function of the scenario alone, so replays agree.
uint64_t Calibrate(const Scenario& scenario, const Options& options) {
    Options pct = options;
    pct.strategy = kx::Strategy::Pct;
    Outcome first = RunOnce(scenario, 0, pct, 1, nullptr);
    return std::max<uint64_t>(first.schedule.steps, 1);
}

int Explore(const Options& options) {
    std::vector<size_t> chosen;
    const auto& all = Scenarios();
    for (size_t i = 0; i < all.size(); ++i) {
        bool wanted = options.scenarios.empty() ||
                      std::find(options.scenarios.begin(), options.scenarios.end(), all[i].name) !=
                          options.scenarios.end();
        if (wanted)
            chosen.push_back(i);
    }
    if (chosen.size() != std::max<size_t>(options.scenarios.size(), chosen.empty() ? 1 : 0) &&
        !options.scenarios.empty()) {
        std::fprintf(stderr, "explore: unknown scenario (see --list)\n");
        return 2;
    }
    int findings = 0;
    uint64_t total = 0;
    auto started = std::chrono::steady_clock::now();
    for (size_t index : chosen) {
        const Scenario& scenario = all[index];
        uint64_t steps = Calibrate(scenario, options);
        if (options.replay) {
            Outcome outcome = RunOnce(scenario, *options.replay, options, steps,
                                      options.guide ? &*options.guide : nullptr);
            std::printf("%s",
                        kx::DescribeSchedule(outcome.schedule, options.trace ? 0 : 60).c_str());
            for (const std::string& finding : outcome.findings)
                std::printf("  finding: %s\n", finding.c_str());
            std::printf("explore: %s seed %llu: %s\n", scenario.name,
                        static_cast<unsigned long long>(*options.replay),
                        outcome.findings.empty() ? "no finding" : "FINDING");
            findings += outcome.findings.empty() ? 0 : 1;
            continue;
        }
        // The time budget is shared evenly by the scenarios.
        double share = options.seconds / static_cast<double>(chosen.size());
        auto scenarioStart = std::chrono::steady_clock::now();
        uint64_t runs = 0;
        for (uint64_t i = 0;; ++i) {
            if (options.schedules != 0 && i >= options.schedules)
                break;
            double elapsed =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - scenarioStart)
                    .count();
            if (options.schedules == 0 && elapsed >= share)
                break;
            uint64_t seed = SeedOf(options.base, index, i);
            Outcome outcome = RunOnce(scenario, seed, options, steps, nullptr);
            ++runs;
            if (!outcome.findings.empty()) {
                Report(scenario, seed, outcome, options, steps);
                ++findings;
                break;
            }
        }
        total += runs;
        std::printf("explore: %-32s %6llu schedules (%llu steps each at first)\n", scenario.name,
                    static_cast<unsigned long long>(runs), static_cast<unsigned long long>(steps));
        std::fflush(stdout);
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (!options.replay) {
        std::printf("explore: %llu schedules in %.1f s (%.0f per second), %d finding(s)\n",
                    static_cast<unsigned long long>(total), seconds,
                    seconds > 0 ? static_cast<double>(total) / seconds : 0.0, findings);
    }
    return findings == 0 ? 0 : 1;
}

std::vector<std::pair<uint64_t, unsigned>> ParseGuide(const std::string& text) {
    std::vector<std::pair<uint64_t, unsigned>> guide;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        size_t colon = item.find(':');
        if (colon == std::string::npos)
            continue;
        guide.emplace_back(std::stoull(item.substr(0, colon)),
                           static_cast<unsigned>(std::stoul(item.substr(colon + 1))));
    }
    return guide;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: explore [--list] [--scenario NAME]... [--schedules N] [--seconds S]\n"
                 "               [--seed BASE] [--replay SEED] [--guide STEP:THREAD,...]\n"
                 "               [--strategy pct|random] [--image korvaxser.sys] [--trace]\n");
    return 2;
}

} // namespace
} // namespace explore

int main(int argc, char** argv) {
    using namespace explore;
    Options options;
#if defined(KORVAX_TEST_DRIVER_IMAGE)
    sim::SetDefaultDriverImage(KORVAX_TEST_DRIVER_IMAGE);
#endif
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "explore: %s needs a value\n", arg.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--list")
            options.list = true;
        else if (arg == "--scenario")
            options.scenarios.push_back(value());
        else if (arg == "--schedules")
            options.schedules = std::stoull(value());
        else if (arg == "--seconds")
            options.seconds = std::stod(value());
        else if (arg == "--seed")
            options.base = std::stoull(value());
        else if (arg == "--replay")
            options.replay = std::stoull(value());
        else if (arg == "--guide")
            options.guide = ParseGuide(value());
        else if (arg == "--strategy") {
            std::string name = value();
            if (name != "pct" && name != "random")
                return Usage();
            options.strategy = name == "pct" ? kx::Strategy::Pct : kx::Strategy::RandomWalk;
        } else if (arg == "--image")
            sim::SetDefaultDriverImage(value());
        else if (arg == "--trace")
            options.trace = true;
        else if (arg == "--help") {
            Usage();
            return 0;
        } else
            return Usage();
    }
    if (options.list) {
        for (const Scenario& scenario : Scenarios())
            std::printf("%-32s %s\n", scenario.name, scenario.what);
        return 0;
    }
    if (options.schedules == 0 && options.seconds <= 0 && !options.replay)
        options.schedules = 100;
    std::signal(SIGSEGV, OnCrash);
    std::signal(SIGBUS, OnCrash);
    std::signal(SIGABRT, OnCrash);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    StartWatchdog();
    return Explore(options);
}
