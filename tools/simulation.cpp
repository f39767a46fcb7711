#include "simulation.h"

#include "port.h"

#include <cstdio>

namespace korvaxsim {

Simulation::Simulation(const SimulationOptions& options) : portName_(options.portName) {
    kx::KernelOptions kernel;
    kernel.manualClock = false;
    kernel_.emplace(kernel);
    // Set after boot: a boot starts with a clean debug log.
    if (options.debugLine)
        kx::SetDebugSink(options.debugLine);

    sim::WorldOptions world;
    world.bootKernel = false;
    world_.emplace(world);
    if (world_->Driver() == nullptr) {
        char status[16];
        std::snprintf(status, sizeof status, "0x%08X", static_cast<unsigned>(world_->LoadStatus()));
        Shutdown();
        throw Failure(std::string("the driver did not load (DriverEntry returned ") + status + ")");
    }

    sim::PlugOptions plug;
    plug.portName = kx::ToU16(options.portName);
    plug.modem = options.modem;
    plugged_ = &world_->Plug(plug);
    if (!plugged_->Node() || !plugged_->Node()->Started()) {
        Shutdown();
        throw Failure("the modem did not start under " + options.portName);
    }
}

Simulation::~Simulation() {
    Shutdown();
}

void Simulation::Unplug() {
    if (plugged_ != nullptr && !plugged_->Unplugged())
        world_->Unplug(*plugged_);
}

bool Simulation::Unplugged() const {
    return plugged_ != nullptr && plugged_->Unplugged();
}

std::vector<sim::UrbRecord> Simulation::UrbRecords() const {
    return plugged_ != nullptr ? plugged_->Pdo().UrbRecords() : std::vector<sim::UrbRecord>{};
}

Verdict Simulation::Shutdown() {
    if (verdict_)
        return *verdict_;
    plugged_ = nullptr;
    world_.reset();
    Verdict verdict;
    verdict.findings = kx::TotalFindings();
    verdict.pool = kx::OutstandingPool();
    kx::SetDebugSink(nullptr);
    kernel_.reset();
    verdict_ = verdict;
    return verdict;
}

} // namespace korvaxsim
