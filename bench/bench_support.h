// Ground shared by the benchmark programs: the driver on the hosted kernel on the
// real clock with a quiet device behind the PDO and a port open through the serial
// API, and a Linux pseudo-terminal pair to set beside it.
#pragma once

#include <kx/host.h>
#include <sim/serial_api.h>
#include <sim/world.h>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace bench {

using namespace win32;

// The device behind the PDO: acknowledges every class request and takes every
// bulk-out byte, counting them and keeping none.
class SinkDevice : public sim::UsbFunction {
  public:
    sim::Handshake OnControlRequest(const sim::SetupPacket&, std::vector<uint8_t>&) override {
        return sim::Handshake::Ack;
    }
    void OnBulkOut(const std::vector<uint8_t>& data) override {
        received_.fetch_add(data.size(), std::memory_order_relaxed);
    }
    uint64_t Received() const { return received_.load(std::memory_order_relaxed); }

  private:
    std::atomic<uint64_t> received_{0};
};

inline sim::WorldOptions RealClockWorld() {
    sim::WorldOptions options;
    options.kernel.manualClock = false;
    return options;
}

// COM5 open at 115200 8N1 with the sink device behind it. The bus keeps a record of
// every URB (with its data) until the world goes, so each benchmark run makes a
// world of its own.
class PortWorld {
  public:
    explicit PortWorld(DWORD flags = 0, const sim::PdoOptions& pdo = {})
        : world_(RealClockWorld()), device_(std::make_shared<SinkDevice>()) {
        sim::PlugOptions plug;
        plug.function = device_;
        plug.pdo = pdo;
        modem_ = &world_.Plug(plug);
        port_ = CreateFileA(modem_->Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, flags, nullptr);
        if (port_ == INVALID_HANDLE_VALUE)
            return;
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        GetCommState(port_, &dcb);
        dcb.BaudRate = CBR_115200;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        ok_ = SetCommState(port_, &dcb) && EscapeCommFunction(port_, SETDTR);
    }
    ~PortWorld() {
        if (port_ != INVALID_HANDLE_VALUE)
            CloseHandle(port_);
    }
    PortWorld(const PortWorld&) = delete;
    PortWorld& operator=(const PortWorld&) = delete;

    bool Ok() const { return ok_; }
    HANDLE Port() const { return port_; }
    sim::ModemPdo& Pdo() { return modem_->Pdo(); }
    SinkDevice& Device() { return *device_; }
    sim::World& World() { return world_; }

    bool SetTimeouts(DWORD interval, DWORD multiplier, DWORD constant) {
        COMMTIMEOUTS timeouts{interval, multiplier, constant, 0, 0};
        return SetCommTimeouts(port_, &timeouts) != FALSE;
    }

  private:
    sim::World world_;
    std::shared_ptr<SinkDevice> device_;
    sim::PluggedModem* modem_ = nullptr;
    HANDLE port_ = INVALID_HANDLE_VALUE;
    bool ok_ = false;
};

// A pseudo-terminal pair in raw mode, both ends non-blocking.
class PtyPair {
  public:
    PtyPair() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
            return;
        char name[128];
        if (::ptsname_r(master_, name, sizeof name) != 0)
            return;
        slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave_ < 0)
            return;
        termios settings{};
        ::tcgetattr(slave_, &settings);
        ::cfmakeraw(&settings);
        ::tcsetattr(slave_, TCSANOW, &settings);
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
        ::fcntl(slave_, F_SETFL, ::fcntl(slave_, F_GETFL) | O_NONBLOCK);
    }
    ~PtyPair() {
        if (slave_ >= 0)
            ::close(slave_);
        if (master_ >= 0)
            ::close(master_);
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool Ok() const { return master_ >= 0 && slave_ >= 0; }
    int Master() const { return master_; }
    int Slave() const { return slave_; }

  private:
    int master_ = -1;
    int slave_ = -1;
};

// Moves `size` bytes from `from` to `to` through the terminal: writes what fits,
// reads what has arrived, waiting for readiness in between. False on an error.
inline bool MoveThrough(int from, int to, const uint8_t* data, uint8_t* buffer, size_t size) {
    size_t written = 0, read = 0;
    while (read < size) {
        if (written < size) {
            ssize_t n = ::write(from, data + written, size - written);
            if (n > 0)
                written += static_cast<size_t>(n);
            else if (n < 0 && errno != EAGAIN)
                return false;
        }
        ssize_t n = ::read(to, buffer + read, size - read);
        if (n > 0) {
            read += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN)
            return false;
        pollfd fds[2] = {{to, POLLIN, 0},
                         {from, static_cast<short>(written < size ? POLLOUT : 0), 0}};
        if (::poll(fds, 2, 1000) <= 0)
            return false;
    }
    return true;
}

// Two copies of the same bytes through a ring as large as the driver's, the floor
// of any path that buffers received data: into the ring, out to the reader.
class CopyFloor {
  public:
    explicit CopyFloor(size_t packet) : ring_(1024000), packet_(packet) {}
    void Move(const uint8_t* source, uint8_t* destination) {
        if (at_ + packet_ > ring_.size())
            at_ = 0;
        std::memcpy(ring_.data() + at_, source, packet_);
        benchmark::ClobberMemory();
        std::memcpy(destination, ring_.data() + at_, packet_);
        benchmark::DoNotOptimize(destination);
        at_ += packet_;
    }

  private:
    std::vector<uint8_t> ring_;
    size_t packet_;
    size_t at_ = 0;
};

} // namespace bench
