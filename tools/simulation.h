// The world every korvaxsim mode runs in: the hosted kernel on the real clock, the
// port driver loaded as the system loads it (its banner shown as the kernel
// debugger shows it), and one modem plugged in under its port name. At the end the
// world is taken down (leftover handles closed, the device removed, the driver
// unloaded) and the verifier's and the pool's verdict read before the kernel
// shuts down.
#pragma once

#include "urb_tally.h"

#include <kx/host.h>
#include <sim/capture.h>
#include <sim/modem.h>
#include <sim/world.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace korvaxsim {

// The made-up USB identity of the modem, as the package's INF matches it
// (USB\VID_1234&PID_5678&MI_00) and as captures describe the device.
inline constexpr USHORT ModemVendorId = 0x1234;
inline constexpr USHORT ModemProductId = 0x5678;

struct SimulationOptions {
    // The PortName the class installer gave the modem.
    std::string portName = "COM5";
    sim::ModemOptions modem;
    // Each line the driver prints, as the kernel debugger shows it; none: not shown.
    std::function<void(const std::string&)> debugLine;
    // The USB capture (pcap, USBPcap link type), written as the traffic happens;
    // empty for none.
    std::string capturePath;
    // The driver image to load (korvaxser.sys); empty for the linked-in driver.
    std::string driverImage;
};

class FileOutput;
class Simulation;

// While it lives, nothing is called on a capture failure (the callback's objects go).
struct CaptureFailureUnhook {
    Simulation& sim;
    ~CaptureFailureUnhook();
};

// What the checks found once everything was taken down.
struct Verdict {
    size_t findings = 0;
    kx::PoolUsage pool;

    bool Clean() const { return findings == 0 && pool.allocations == 0; }
};

class Simulation {
  public:
    // Boots, loads the driver and plugs the modem in; throws Failure when the
    // driver does not load or the device does not start.
    explicit Simulation(const SimulationOptions& options);
    ~Simulation();
    Simulation(const Simulation&) = delete;
    Simulation& operator=(const Simulation&) = delete;

    sim::World& World() { return *world_; }
    sim::PluggedModem& Plugged() { return *plugged_; }
    sim::Modem& Modem() { return *plugged_->Model(); }
    sim::ModemPdo& Pdo() { return plugged_->Pdo(); }
    const std::string& PortName() const { return portName_; }

    // Surprise removal: the modem is pulled out (once; later calls do nothing).
    void Unplug();
    // The modem NAKs the host's data: its buffer is full of what nobody has read.
    bool ModemHoldingBack() const;
    bool Unplugged() const;
    // The URBs the bus has seen so far, by kind (counted as they happen, so a
    // session of any length takes no more memory for them).
    UrbTally Urbs() const;
    // Packets written to the capture so far.
    size_t CapturePackets() const;
    // "FILE: writing the capture failed: <errno text>" once a write of the capture
    // has failed; nothing is written to it after that.
    std::optional<std::string> CaptureFailure() const;
    // Called once, from the bus's thread, when the capture's write fails: it may
    // only wake the thread that reports it (WakePipe::Notify).
    void OnCaptureFailure(std::function<void()> notify);
    // Throws the capture's failure as a Failure, if it has failed.
    void ThrowIfCaptureFailed() const;

    // Takes the world down and reads the verdict; the kernel shuts down after.
    // Only the first call does anything.
    Verdict Shutdown();

  private:
    void Observe(const sim::UrbRecord& record, bool completion);

    std::string portName_;
    std::string capturePath_;
    std::unique_ptr<FileOutput> captureOutput_;
    std::unique_ptr<std::ostream> captureFile_;
    std::unique_ptr<sim::CaptureWriter> capture_;
    int captureError_ = 0; // under urbsMutex_
    std::function<void()> onCaptureFailure_;
    mutable std::mutex urbsMutex_;
    UrbTally urbs_;
    std::optional<kx::Kernel> kernel_;
    std::optional<sim::World> world_;
    sim::PluggedModem* plugged_ = nullptr;
    std::optional<Verdict> verdict_;
};

} // namespace korvaxsim
