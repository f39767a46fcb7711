#include "simulation.h"

#include "port.h"
#include "posix.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <ostream>

namespace korvaxsim {

Simulation::Simulation(const SimulationOptions& options)
    : portName_(options.portName), capturePath_(options.capturePath) {
    if (!options.capturePath.empty()) {
        FileDescriptor fd(
            ::open(options.capturePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
        if (!fd.Valid())
            throw Failure(options.capturePath + ": cannot write the capture: " + ErrnoText(errno));
        captureOutput_ = std::make_unique<FileOutput>(std::move(fd));
        captureFile_ = std::make_unique<std::ostream>(captureOutput_.get());
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
        capture_->Flush();
        if (!capture_->Ok()) {
            int error = captureOutput_->Error();
            Shutdown();
            throw Failure(options.capturePath +
                          ": writing the capture failed: " + ErrnoText(error));
        }
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
    if (!capture_ || captureError_ != 0)
        return;
    capture_->Add(record);
    if (!capture_->Ok()) {
        captureError_ = captureOutput_->Error() != 0 ? captureOutput_->Error() : EIO;
        if (onCaptureFailure_)
            onCaptureFailure_();
    }
}

CaptureFailureUnhook::~CaptureFailureUnhook() {
    sim.OnCaptureFailure({});
}

void Simulation::OnCaptureFailure(std::function<void()> notify) {
    std::lock_guard<std::mutex> guard(urbsMutex_);
    onCaptureFailure_ = std::move(notify);
}

std::optional<std::string> Simulation::CaptureFailure() const {
    std::lock_guard<std::mutex> guard(urbsMutex_);
    if (captureError_ == 0)
        return std::nullopt;
    return capturePath_ + ": writing the capture failed: " + ErrnoText(captureError_);
}

void Simulation::ThrowIfCaptureFailed() const {
    if (auto failure = CaptureFailure())
        throw Failure(*failure);
}

UrbTally Simulation::Urbs() const {
    std::lock_guard<std::mutex> guard(urbsMutex_);
    return urbs_;
}

size_t Simulation::CapturePackets() const {
    std::lock_guard<std::mutex> guard(urbsMutex_);
    return capture_ ? capture_->PacketsWritten() : 0;
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
