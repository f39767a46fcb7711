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
// Sequences, as the Windows PnP manager drives them ("Plug and Play minor IRPs",
// "Starting a device", "Removing a device", "IRP_MN_QUERY_DEVICE_RELATIONS", WDK):
//  arrival      to the PDO alone, before any driver is attached: IRP_MN_QUERY_ID
//               (device ID), IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_DEVICE_TEXT
//               (description, location), IRP_MN_QUERY_ID (instance ID, hardware
//               IDs, compatible IDs), IRP_MN_QUERY_BUS_INFORMATION,
//               IRP_MN_QUERY_RESOURCE_REQUIREMENTS, IRP_MN_QUERY_RESOURCES. Then
//               the AddDevice routines (lower filters, the function driver, upper
//               filters), IRP_MN_FILTER_RESOURCE_REQUIREMENTS, IRP_MN_START_DEVICE,
//               and after a successful start IRP_MN_QUERY_CAPABILITIES (Version 1,
//               Size set, Address and UINumber -1, everything else zero or
//               unspecified), IRP_MN_QUERY_PNP_DEVICE_STATE,
//               IRP_MN_QUERY_DEVICE_RELATIONS (BusRelations) and the request with
//               a minor code no PnP request uses (PnpUnknownMinor) that Driver
//               Verifier sends: every driver must pass it on untouched, so it
//               ends with the STATUS_NOT_SUPPORTED it came with, or the verifier
//               reports Rule::PnpContract. A failed start is followed by
//               IRP_MN_REMOVE_DEVICE (the node stays, in the failed-start state,
//               without a function driver). A failed AddDevice sends
//               IRP_MN_REMOVE_DEVICE to the drivers already attached, if any.
//  removal      IRP_MN_QUERY_DEVICE_RELATIONS (RemovalRelations),
//               IRP_MN_QUERY_REMOVE_DEVICE, then IRP_MN_REMOVE_DEVICE, or
//               IRP_MN_CANCEL_REMOVE_DEVICE when the query is refused.
//  eject        IRP_MN_QUERY_DEVICE_RELATIONS (EjectionRelations, then
//               RemovalRelations), the removal, then IRP_MN_EJECT to the PDO.
//  rebalance    IRP_MN_QUERY_RESOURCE_REQUIREMENTS and
//               IRP_MN_FILTER_RESOURCE_REQUIREMENTS, IRP_MN_QUERY_STOP_DEVICE,
//               IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE, or
//               IRP_MN_CANCEL_STOP_DEVICE when the query is refused. A failed
//               restart is a failed start (IRP_MN_REMOVE_DEVICE follows).
//  surprise     IRP_MN_SURPRISE_REMOVAL, then IRP_MN_REMOVE_DEVICE once the last
//               open handle to the device is closed (at once when none is open).
//  on request   IRP_MN_QUERY_DEVICE_RELATIONS (TargetDeviceRelation, with the
//               file object) when a handle is registered for target-device
//               notification; IRP_MN_DEVICE_USAGE_NOTIFICATION when a paging,
//               hibernation or dump file is put on the device or taken off;
//               queries any driver or system component may send
//               (IRP_MN_QUERY_INTERFACE, IRP_MN_QUERY_ID, ...) through QueryStack.
// The answers the manager takes (ID strings, device text, bus information,
// relations, resource lists) are freed by it as on Windows: the pool blocks with
// ExFreePool, the related objects with ObDereferenceObject.
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
#include <string>
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

// The minor code of the request Driver Verifier sends to find drivers that do not
// pass unknown PnP requests on untouched: one no PnP request uses.
constexpr UCHAR PnpUnknownMinor = 0xFF;

// One PnP request to send to a stack: the minor code and its parameters.
struct PnpQuery {
    UCHAR minor = 0;
    // The request's type: a BUS_QUERY_ID_TYPE, DEVICE_TEXT_TYPE,
    // DEVICE_RELATION_TYPE or DEVICE_USAGE_NOTIFICATION_TYPE, as the minor code asks.
    ULONG type = 0;
    // IRP_MN_DEVICE_USAGE_NOTIFICATION: the file is put on the device (true) or
    // taken off.
    bool inPath = false;
    // IRP_MN_QUERY_INTERFACE: the interface asked for and the caller's buffer.
    const GUID* interfaceType = nullptr;
    USHORT interfaceSize = 0;
    USHORT interfaceVersion = 0;
    PINTERFACE interface = nullptr;
    // IRP_MN_QUERY_DEVICE_RELATIONS (TargetDeviceRelation): the file object.
    PFILE_OBJECT fileObject = nullptr;
};

// One PnP request as the manager sent it and saw it complete.
struct PnpRequest {
    UCHAR minor = 0;
    ULONG type = 0; // as in PnpQuery
    NTSTATUS status = STATUS_NOT_SUPPORTED;
    ULONG_PTR information = 0; // as completed (a pointer the manager has freed since)
    // What the answer held: IRP_MN_QUERY_ID and IRP_MN_QUERY_DEVICE_TEXT their
    // string (a multi-string with the NULs between its entries, without the
    // final one); IRP_MN_QUERY_DEVICE_RELATIONS the related objects;
    // IRP_MN_QUERY_BUS_INFORMATION the structure.
    std::u16string text;
    std::vector<PDEVICE_OBJECT> relations;
    PNP_BUS_INFORMATION busInformation{};
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

// The drivers of a device stack in the order their AddDevice routines run
// ("Adding a PnP device to a running system", WDK): lower filters, the function
// driver, upper filters. Each is called with the PDO and attaches to the top.
struct StackDrivers {
    std::vector<PDRIVER_OBJECT> lowerFilters;
    PDRIVER_OBJECT function = nullptr;
    std::vector<PDRIVER_OBJECT> upperFilters;
};

// Device arrival: creates the node, calls the drivers' AddDevice with the PDO and
// starts the stack. Null when the PDO already has a node.
std::shared_ptr<DeviceNode> ReportDevice(PDEVICE_OBJECT pdo, PDRIVER_OBJECT functionDriver);
std::shared_ptr<DeviceNode> ReportDevice(PDEVICE_OBJECT pdo, const StackDrivers& drivers);
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
// Ejection: the ejection and removal relations, the orderly removal, then
// IRP_MN_EJECT. Returns the refusal of IRP_MN_QUERY_REMOVE_DEVICE or the status of
// IRP_MN_EJECT.
NTSTATUS EjectDevice(DeviceNode& node);
// Sends one request to the top of a started node's stack, as a driver or system
// component may, and returns what came back (STATUS_INVALID_DEVICE_STATE in status
// when the node is not started or stopped). The request is recorded in Requests().
PnpRequest QueryStack(DeviceNode& node, const PnpQuery& query);
// A handle is registered for target-device notification: the manager asks the
// stack the file object is open on for its target device relation (the PDO).
// Returns the request; relations holds the object the stack gave.
PnpRequest RegisterTargetNotification(PFILE_OBJECT fileObject);
// A paging, hibernation or dump file goes on the device (inPath) or comes off.
NTSTATUS NotifyDeviceUsage(DeviceNode& node, DEVICE_USAGE_NOTIFICATION_TYPE type, bool inPath);
// Device nodes that exist now.
std::vector<std::shared_ptr<DeviceNode>> DeviceNodes();

} // namespace kx
