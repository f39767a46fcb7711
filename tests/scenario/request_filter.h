// An upper filter attached over a plugged port's device stack: it sees every
// request an application's call sends, as any filter above the port would, records
// it (major function, control code, input bytes) and passes it down, unless a rule
// says to end it in the filter with a status and an information count of the
// test's choosing. A test drives the serial API's result rules with
// the rules, and checks the request sequences of its calls with the record.
#pragma once

#include <kx/host.h>

#include <cstdint>
#include <mutex>
#include <vector>

namespace scenario {

struct SeenRequest {
    UCHAR major = 0;
    ULONG code = 0; // IRP_MJ_DEVICE_CONTROL only
    std::vector<uint8_t> input;
};

struct FilterRule {
    UCHAR major = IRP_MJ_DEVICE_CONTROL;
    ULONG code = 0; // for IRP_MJ_DEVICE_CONTROL
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
};

class RequestFilter {
  public:
    // Loads the filter driver and attaches its device over the PDO's stack.
    explicit RequestFilter(PDEVICE_OBJECT pdo);
    // Detaches and deletes the device and unloads the driver. No request may be
    // in the filter then (close the handles first).
    ~RequestFilter();
    RequestFilter(const RequestFilter&) = delete;
    RequestFilter& operator=(const RequestFilter&) = delete;

    void AddRule(FilterRule rule);
    std::vector<SeenRequest> Seen() const;
    // The control codes seen, in order.
    std::vector<ULONG> Codes() const;
    void Clear();

    // The dispatch routine's part: true when a rule ends the request here.
    bool Take(PIRP irp);

  private:
    mutable std::mutex mutex_;
    std::vector<SeenRequest> seen_;
    std::vector<FilterRule> rules_;
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    PDEVICE_OBJECT lower_ = nullptr;
};

} // namespace scenario
