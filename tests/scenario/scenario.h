// Ground for the scenario tests: a world with one modem function plugged in as
// COM5, applications talking to it through the serial API, and a device of the
// test's own behind the PDO (or the modem model) that records what reached it.
#pragma once

#include <kx/host.h>
#include <sim/serial_api.h>
#include <sim/world.h>
#include <tests/support/overlapped.h>

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace scenario {

using namespace win32;

// CDC class requests and the SERIAL_STATE bits the tests use.
constexpr UCHAR SetLineCodingRequest = 0x20;
constexpr UCHAR SetControlLineStateRequest = 0x22;

inline std::vector<uint8_t> Bytes(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

// A device that acknowledges every class request and takes every bulk-out byte,
// recording both.
class StandInDevice : public sim::UsbFunction {
  public:
    struct Control {
        sim::SetupPacket setup;
        std::vector<uint8_t> data;
    };

    sim::Handshake OnControlRequest(const sim::SetupPacket& setup,
                                    std::vector<uint8_t>& data) override {
        std::lock_guard<std::mutex> guard(mutex_);
        controls_.push_back({setup, data});
        return sim::Handshake::Ack;
    }
    void OnBulkOut(const std::vector<uint8_t>& data) override {
        std::lock_guard<std::mutex> guard(mutex_);
        bulkOut_.insert(bulkOut_.end(), data.begin(), data.end());
    }

    std::vector<Control> Controls() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return controls_;
    }
    std::vector<Control> Controls(UCHAR request) const {
        std::vector<Control> matching;
        for (const Control& control : Controls()) {
            if (control.setup.bRequest == request)
                matching.push_back(control);
        }
        return matching;
    }
    std::vector<uint8_t> BulkOut() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return bulkOut_;
    }
    void Clear() {
        std::lock_guard<std::mutex> guard(mutex_);
        controls_.clear();
        bulkOut_.clear();
    }

  private:
    mutable std::mutex mutex_;
    std::vector<Control> controls_;
    std::vector<uint8_t> bulkOut_;
};

using korvax_test::Overlapped;

// A world with COM5 plugged in; by default the test's stand-in device sits behind
// it, UseModem() puts the modem model there instead.
class PortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(world_.Driver(), nullptr);
        sim::PlugOptions options;
        if (!UseModem()) {
            device_ = std::make_shared<StandInDevice>();
            options.function = device_;
        }
        modem_ = &world_.Plug(options);
        ASSERT_TRUE(modem_->Node() && modem_->Node()->Started());
    }

    virtual bool UseModem() const { return false; }

    HANDLE Open(DWORD flags = 0) {
        return CreateFileA(modem_->Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, flags, nullptr);
    }

    void DeviceNotifies(uint16_t serialState) {
        modem_->Pdo().SendInterrupt(sim::SerialStateNotification(serialState));
        world_.Settle();
    }

    // What the bus saw from the given record on.
    std::vector<sim::UrbRecord> UrbsFrom(size_t first) const {
        std::vector<sim::UrbRecord> all = modem_->Pdo().UrbRecords();
        return std::vector<sim::UrbRecord>(all.begin() + static_cast<ptrdiff_t>(first), all.end());
    }
    size_t UrbCount() const { return modem_->Pdo().UrbRecords().size(); }

    sim::World world_;
    std::shared_ptr<StandInDevice> device_;
    sim::PluggedModem* modem_ = nullptr;
};

// A PortTest whose port is open (OpenFlags()) for the whole test; a test that
// closes it itself sets port_ to INVALID_HANDLE_VALUE.
class OpenedPortTest : public PortTest {
  protected:
    void SetUp() override {
        PortTest::SetUp();
        port_ = Open(OpenFlags());
        ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        if (port_ != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(port_));
        }
    }

    virtual DWORD OpenFlags() const { return FILE_FLAG_OVERLAPPED; }

    HANDLE port_ = INVALID_HANDLE_VALUE;
};

} // namespace scenario
