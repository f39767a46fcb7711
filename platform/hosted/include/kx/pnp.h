// The hosted kernel's Plug and Play manager: it drives the device node of a physical
// device object through the requests Windows sends to its device stack.
//
// Every request goes to the top of the stack (IoGetAttachedDeviceReference) in an
// IRP the manager allocates with the top device's StackSize, IRP_MJ_PNP with
// IoStatus.Status preset to STATUS_NOT_SUPPORTED and Information 0, at
// PASSIVE_LEVEL on the calling thread; the manager waits for its completion
// (a completion routine signals an event and returns
// STATUS_MORE_PROCESSING_REQUIRED) and frees the IRP. A device node handles one
// operation at a time; operations on other nodes may run alongside.
//
// Sequences, as the Windows PnP manager drives them:
//  arrival      AddDevice, IRP_MN_START_DEVICE, then after a successful start
//               IRP_MN_QUERY_CAPABILITIES (Version 1, Size set, Address and
//               UINumber -1, everything else zero or unspecified) and
//               IRP_MN_QUERY_PNP_DEVICE_STATE. A failed start is followed by
//               IRP_MN_REMOVE_DEVICE (the node stays, in the failed-start state,
//               without a function driver). A failed AddDevice sends nothing.
//  removal      IRP_MN_QUERY_REMOVE_DEVICE, then IRP_MN_REMOVE_DEVICE, or
//               IRP_MN_CANCEL_REMOVE_DEVICE when the query is refused.
//  rebalance    IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE,
//               or IRP_MN_CANCEL_STOP_DEVICE when the query is refused. A failed
//               restart is a failed start (IRP_MN_REMOVE_DEVICE follows).
//  surprise     IRP_MN_SURPRISE_REMOVAL, then IRP_MN_REMOVE_DEVICE once the last
//               open handle to the device is closed (at once when none is open).
//
// The manager holds a reference to the PDO while the node exists; the PDO itself
// belongs to its bus driver, which deletes it when the device is unplugged. After
// IRP_MN_REMOVE_DEVICE the node is gone (the manager forgets it; a shared pointer
// held elsewhere shows the Removed state) and the function device object must have
// been detached and deleted, or the verifier reports Rule::PnpContract. So does a
// failed IRP_MN_REMOVE_DEVICE, IRP_MN_SURPRISE_REMOVAL, IRP_MN_STOP_DEVICE,
// IRP_MN_CANCEL_STOP_DEVICE or IRP_MN_CANCEL_REMOVE_DEVICE (drivers must not fail
// these) and an AddDevice that succeeds but leaves DO_DEVICE_INITIALIZING set on
// the device it attached.
#pragma once

#include <kx/host.h>

#include <memory>
#include <mutex>
#include <vector>

namespace kx {

enum class DeviceNodeState {
    AddDeviceFailed, // the function driver's AddDevice failed; nothing was sent
    Initialized,     // AddDevice succeeded, not started yet
    Started,
    Stopped,         // between IRP_MN_STOP_DEVICE and the restart
    StartFailed,     // IRP_MN_START_DEVICE failed; the stack was removed
    SurpriseRemoved, // IRP_MN_SURPRISE_REMOVAL sent; IRP_MN_REMOVE_DEVICE waits for handles
    Removed,         // IRP_MN_REMOVE_DEVICE sent; the node is gone
};

const char* DeviceNodeStateName(DeviceNodeState state);

// One PnP request as the manager sent it and saw it complete.
struct PnpRequest {
    UCHAR minor = 0;
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    ULONG_PTR information = 0;
};

struct PnpManagerAccess;

class DeviceNode {
  public:
    // Only the PnP manager makes nodes (ReportDevice).
    class Token {
        Token() = default;
        friend struct PnpManagerAccess;
    };
    DeviceNode(Token, PDEVICE_OBJECT pdo, PDRIVER_OBJECT functionDriver);
    ~DeviceNode();
    DeviceNode(const DeviceNode&) = delete;
    DeviceNode& operator=(const DeviceNode&) = delete;

    PDEVICE_OBJECT Pdo() const { return pdo_; }
    PDRIVER_OBJECT FunctionDriver() const { return functionDriver_; }

    DeviceNodeState State() const;
    bool Started() const { return State() == DeviceNodeState::Started; }
    // What AddDevice returned (STATUS_PENDING before it was called).
    NTSTATUS AddDeviceStatus() const;
    // The final status of the last request sent, and of the last one of this minor
    // code (STATUS_NOT_SUPPORTED if none was sent).
    NTSTATUS LastStatus() const;
    NTSTATUS LastStatus(UCHAR minor) const;
    // Every request sent to the stack, in order.
    std::vector<PnpRequest> Requests() const;
    // The structure as IRP_MN_QUERY_CAPABILITIES last returned it.
    DEVICE_CAPABILITIES Capabilities() const;

    // Open handles to the device (file objects on its stack). The serial API counts
    // its opens and closes here; while any is open after a surprise removal,
    // IRP_MN_REMOVE_DEVICE waits, and the close that brings the count to zero sends
    // it, on the closing thread.
    size_t OpenHandles() const;
    void SetOpenHandles(size_t count);
    void HandleOpened();
    void HandleClosed();

  private:
    friend struct PnpManagerAccess;

    const PDEVICE_OBJECT pdo_;
    const PDRIVER_OBJECT functionDriver_;
    // Held across each operation: one PnP request at a time per node.
    std::mutex operation_;
    mutable std::mutex state_;
    DeviceNodeState stateValue_ = DeviceNodeState::Initialized;
    NTSTATUS addDeviceStatus_ = STATUS_PENDING;
    std::vector<PnpRequest> requests_;
    DEVICE_CAPABILITIES capabilities_{};
    size_t openHandles_ = 0;
    bool removalWaitsForHandles_ = false;
    bool pdoReferenced_ = false;
};

// Device arrival: creates the node, calls functionDriver's AddDevice with the PDO
// and starts the stack. Null when the PDO already has a node.
std::shared_ptr<DeviceNode> ReportDevice(PDEVICE_OBJECT pdo, PDRIVER_OBJECT functionDriver);
// The live node of a device stack, given the PDO or any device attached above it.
std::shared_ptr<DeviceNode> FindDeviceNode(PDEVICE_OBJECT device);
// Orderly removal. Returns the refusal of IRP_MN_QUERY_REMOVE_DEVICE (after
// IRP_MN_CANCEL_REMOVE_DEVICE was sent) or the status of IRP_MN_REMOVE_DEVICE. A
// node without a function stack (AddDevice or start failed) is just forgotten.
NTSTATUS RemoveDevice(DeviceNode& node);
// Stop for resource rebalance and restart. Returns the refusal of
// IRP_MN_QUERY_STOP_DEVICE (after IRP_MN_CANCEL_STOP_DEVICE) or the status of the
// restart. STATUS_INVALID_DEVICE_STATE when the node is not started.
NTSTATUS StopDevice(DeviceNode& node);
// The device is gone without warning. Returns the status of
// IRP_MN_SURPRISE_REMOVAL. A node that never started gets IRP_MN_REMOVE_DEVICE
// only, as on Windows.
NTSTATUS SurpriseRemove(DeviceNode& node);
// Device nodes that exist now.
std::vector<std::shared_ptr<DeviceNode>> DeviceNodes();

} // namespace kx
