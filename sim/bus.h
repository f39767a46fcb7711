// The parent bus driver of the simulated world: it creates the modem function's
// physical device object and serves what the function driver sends down to it.
#pragma once

#include <kx/host.h>

#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace sim {

// What the PDO saw of one request.
struct RecordedIrp {
    UCHAR major = 0;
    UCHAR minor = 0;
    ULONG ioControlCode = 0;
    USHORT urbFunction = 0;
    USBD_PIPE_HANDLE pipe = nullptr;
    KIRQL irql = PASSIVE_LEVEL;
};

// A scripted answer for the next request that reaches the PDO.
struct Response {
    enum class Kind {
        Complete, // complete in the dispatch routine, on the caller's stack
        Pend,     // mark pending, return STATUS_PENDING, complete when the test says
    };
    Kind kind = Kind::Complete;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    std::optional<UCHAR> major; // only for requests of this major function

    static Response Pend() {
        Response r;
        r.kind = Kind::Pend;
        return r;
    }
    static Response Complete(NTSTATUS status, ULONG_PTR information = 0) {
        Response r;
        r.status = status;
        r.information = information;
        return r;
    }
};

// The layout of the PDO's device extension in pointer-sized words. The function
// driver relies on the three pipe handles at words 3, 4 and 5.
struct PdoExtension {
    PVOID Signature;
    PDEVICE_OBJECT Self;
    PVOID State;
    USBD_PIPE_HANDLE BulkInPipe;
    USBD_PIPE_HANDLE BulkOutPipe;
    USBD_PIPE_HANDLE InterruptInPipe;
};

class ModemPdo {
  public:
    PDEVICE_OBJECT Device() const { return device_; }
    USBD_PIPE_HANDLE BulkInPipe() const;
    USBD_PIPE_HANDLE BulkOutPipe() const;
    USBD_PIPE_HANDLE InterruptInPipe() const;

    void ScriptNext(const Response& response);
    std::vector<RecordedIrp> Records() const;
    size_t PendingCount() const;
    // Completes the oldest pended request later, from a DPC thread at DISPATCH_LEVEL.
    void CompletePending(NTSTATUS status, ULONG_PTR information = 0);

    // Dispatch entry of the bus driver for this PDO.
    NTSTATUS Dispatch(PIRP irp);

  private:
    friend class ParentBus;
    NTSTATUS Serve(PIRP irp);

    PDEVICE_OBJECT device_ = nullptr;
    mutable std::mutex mutex_;
    std::deque<Response> script_;
    std::vector<RecordedIrp> records_;
    std::deque<PIRP> pended_;
    // Distinct objects whose addresses serve as the pipe handles.
    UCHAR pipes_[3] = {};
};

class ParentBus {
  public:
    ParentBus();
    ~ParentBus();
    ParentBus(const ParentBus&) = delete;
    ParentBus& operator=(const ParentBus&) = delete;

    PDRIVER_OBJECT Driver() const { return driver_; }
    ModemPdo& CreateModemPdo();
    void DeletePdo(ModemPdo& pdo);

  private:
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<std::unique_ptr<ModemPdo>> pdos_;
};

} // namespace sim
