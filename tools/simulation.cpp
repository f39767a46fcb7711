#include "simulation.h"

#include "port.h"
#include "posix.h"

#include <cerrno>
#include <cstdio>

namespace korvaxsim {

Simulation::Simulation(const SimulationOptions& options) : portName_(options.portName) {
    if (!options.capturePath.empty()) {
        captureFile_ = std::make_unique<std::ofstream>(options.capturePath,
                                                       std::ios::binary | std::ios::trunc);
        if (!*captureFile_)
            throw Failure(options.capturePath + ": cannot write the capture: " + ErrnoText(errno));
    }
    kx::KernelOptions kernel;
    kernel.manualClock = false;
    kernel_.emplace(kernel);
    // Set after boot: a boot starts with a clean debug log.
    if (options.debugLine)
        kx::SetDebugSink(options.debugLine);

    sim::WorldOptions world;
    world.bootKernel = false;
    world.driverImage = options.driverImage;
    world_.emplace(world);
    if (world_->Driver() == nullptr && !world_->LoadError().empty()) {
        std::string error = world_->LoadError();
        Shutdown();
        throw Failure("the driver image did not load: " + error);
    }
    if (world_->Driver() == nullptr) {
        char status[16];
        std::snprintf(status, sizeof status, "0x%08X", static_cast<unsigned>(world_->LoadStatus()));
        Shutdown();
        throw Failure(std::string("the driver did not load (DriverEntry returned ") + status + ")");
    }

    sim::PlugOptions plug;
    plug.portName = kx::ToU16(options.portName);
    plug.modem = options.modem;
    // A long session keeps counters and the capture, not the traffic.
    plug.modem.keepReceived = false;
    plug.pdo.recordWindow = 64;
    if (captureFile_) {
        sim::CaptureOptions capture;
        capture.vendorId = ModemVendorId;
        capture.productId = ModemProductId;
        capture.bulkMaxPacket = plug.pdo.bulkMaxPacket;
        capture.interruptMaxPacket = plug.pdo.interruptMaxPacket;
        capture_ = std::make_unique<sim::CaptureWriter>(*captureFile_, capture);
    }
    plug.pdo.urbObserver = [this](const sim::UrbRecord& record, bool completion) {
        Observe(record, completion);
    };
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

bool Simulation::ModemHoldingBack() const {
    sim::Modem* modem = plugged_ != nullptr ? plugged_->Model() : nullptr;
    return modem != nullptr && modem->HoldingBack();
}

bool Simulation::Unplugged() const {
    return plugged_ != nullptr && plugged_->Unplugged();
}

void Simulation::Observe(const sim::UrbRecord& record, bool completion) {
    // The bus calls this under its lock, in the order of the sequence numbers.
    std::lock_guard<std::mutex> guard(urbsMutex_);
    if (completion)
        urbs_.Completed(record);
    else
        urbs_.Submitted(record);
    if (capture_)
        capture_->Add(record);
}

UrbTally Simulation::Urbs() const {
    std::lock_guard<std::mutex> guard(urbsMutex_);
    return urbs_;
}

size_t Simulation::CapturePackets() const {
    std::lock_guard<std::mutex> guard(urbsMutex_);
    return capture_ ? capture_->PacketsWritten() : 0;
}

bool Simulation::CaptureFailed() const {
    std::lock_guard<std::mutex> guard(urbsMutex_);
    return capture_ && !capture_->Ok();
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
