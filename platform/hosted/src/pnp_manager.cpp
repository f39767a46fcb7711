// The Plug and Play manager: device nodes, AddDevice, and the state-changing PnP
// requests sent to a device stack in the order Windows sends them, one at a time
// per node, each waited for on the calling thread.
#include "io_internal.h"
#include "pnp_internal.h"

#include <kx/pnp.h>

#include <map>

namespace kx {

namespace {

std::mutex nodesMutex;
// Live nodes by PDO.
std::map<PDEVICE_OBJECT, std::shared_ptr<DeviceNode>> nodes;
// Nodes that are gone, kept until shutdown so that a caller still inside one of
// their member functions never sees them destroyed.
std::vector<std::shared_ptr<DeviceNode>> retired;

const char* MinorName(UCHAR minor) {
    static const char* const names[] = {
        "IRP_MN_START_DEVICE",
        "IRP_MN_QUERY_REMOVE_DEVICE",
        "IRP_MN_REMOVE_DEVICE",
        "IRP_MN_CANCEL_REMOVE_DEVICE",
        "IRP_MN_STOP_DEVICE",
        "IRP_MN_QUERY_STOP_DEVICE",
        "IRP_MN_CANCEL_STOP_DEVICE",
        "IRP_MN_QUERY_DEVICE_RELATIONS",
        "IRP_MN_QUERY_INTERFACE",
        "IRP_MN_QUERY_CAPABILITIES",
        "IRP_MN_QUERY_RESOURCES",
        "IRP_MN_QUERY_RESOURCE_REQUIREMENTS",
        "IRP_MN_QUERY_DEVICE_TEXT",
        "IRP_MN_FILTER_RESOURCE_REQUIREMENTS",
        "0x0E",
        "IRP_MN_READ_CONFIG",
        "IRP_MN_WRITE_CONFIG",
        "IRP_MN_EJECT",
        "IRP_MN_SET_LOCK",
        "IRP_MN_QUERY_ID",
        "IRP_MN_QUERY_PNP_DEVICE_STATE",
        "IRP_MN_QUERY_BUS_INFORMATION",
        "IRP_MN_DEVICE_USAGE_NOTIFICATION",
        "IRP_MN_SURPRISE_REMOVAL",
    };
    if (minor == PnpUnknownMinor)
        return "the unknown minor code";
    return minor < sizeof names / sizeof names[0] ? names[minor] : "unknown minor code";
}

// Requests no driver may fail: the manager goes on as if they had succeeded.
bool MustSucceed(UCHAR minor) {
    switch (minor) {
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return true;
    default:
        return false;
    }
}

std::string DeviceText(PDEVICE_OBJECT device) {
    std::string text = "device " + detail::Hex(device);
    std::u16string name = DeviceName(device);
    if (!name.empty())
        text += " (" + ToUtf8(name) + ")";
    return text + " of " + ToUtf8(ToU16(device->DriverObject->DriverName));
}

NTSTATUS NTAPI PnpRequestDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    (void)DeviceObject;
    (void)Irp;
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    // The manager frees the IRP once its wait is over.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

DEVICE_CAPABILITIES InitialCapabilities() {
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof(DEVICE_CAPABILITIES);
    caps.Version = 1;
    caps.Address = 0xFFFFFFFF;
    caps.UINumber = 0xFFFFFFFF;
    return caps;
}

} // namespace

// The manager's side of a device node.
struct PnpManagerAccess {
    static DeviceNode::Token MakeToken() { return DeviceNode::Token(); }

    static void SetState(DeviceNode& node, DeviceNodeState state) {
        std::lock_guard<std::mutex> guard(node.state_);
        node.stateValue_ = state;
    }

    static void Record(DeviceNode& node, const PnpRequest& request) {
        std::lock_guard<std::mutex> guard(node.state_);
        node.requests_.push_back(request);
    }

    // Sends one request to the top of the stack and waits for it.
    static NTSTATUS Send(DeviceNode& node, UCHAR minor, DEVICE_CAPABILITIES* caps = nullptr) {
        PnpQuery query;
        query.minor = minor;
        return Send(node, query, caps).status;
    }

    static PnpRequest Send(DeviceNode& node, const PnpQuery& query,
                           DEVICE_CAPABILITIES* caps = nullptr) {
        detail::RequireIrqlAtMost(PASSIVE_LEVEL, "the PnP manager");
        PnpRequest request;
        request.minor = query.minor;
        request.type = query.type;
        PDEVICE_OBJECT top = IoGetAttachedDeviceReference(node.pdo_);
        PIRP irp = AllocateIrpAt(top->StackSize, reinterpret_cast<uintptr_t>(&PnpRequestDone));
        if (irp == nullptr) {
            ObDereferenceObject(top);
            request.status = STATUS_INSUFFICIENT_RESOURCES;
            Record(node, request);
            return request;
        }
        // Every PnP request starts as STATUS_NOT_SUPPORTED: a driver that does not
        // handle it leaves the status as it is ("Passing PnP IRPs down the device
        // stack", WDK).
        irp->RequestorMode = KernelMode;
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        irp->IoStatus.Information = 0;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_PNP;
        next->MinorFunction = query.minor;
        SetParameters(next, query, caps);
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IoSetCompletionRoutine(irp, PnpRequestDone, &done, TRUE, TRUE, TRUE);
        IoCallDriver(top, irp);
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        request.status = irp->IoStatus.Status;
        request.information = irp->IoStatus.Information;
        IoFreeIrp(irp);
        TakeAnswer(request);
        Record(node, request);
        if (MustSucceed(query.minor) && !NT_SUCCESS(request.status)) {
            detail::Report(Rule::PnpContract, std::string(MinorName(query.minor)) +
                                                  " failed with " +
                                                  detail::Hex(static_cast<ULONG>(request.status)) +
                                                  " in the stack of " + DeviceText(top) +
                                                  "; drivers must not fail it");
        }
        if (query.minor == PnpUnknownMinor &&
            (request.status != STATUS_NOT_SUPPORTED || request.information != 0)) {
            detail::Report(Rule::PnpContract,
                           "a PnP request of unknown minor code came back from the stack of " +
                               DeviceText(top) + " with status " +
                               detail::Hex(static_cast<ULONG>(request.status)) +
                               " and information " + detail::Hex(request.information) +
                               "; drivers must pass it on untouched (STATUS_NOT_SUPPORTED, 0)");
        }
        // The top device may have been deleted meanwhile (removal): this reference
        // was all that kept its memory.
        ObDereferenceObject(top);
        return request;
    }

    static void SetParameters(PIO_STACK_LOCATION stack, const PnpQuery& query,
                              DEVICE_CAPABILITIES* caps) {
        switch (query.minor) {
        case IRP_MN_QUERY_CAPABILITIES:
            stack->Parameters.DeviceCapabilities.Capabilities = caps;
            break;
        case IRP_MN_QUERY_ID:
            stack->Parameters.QueryId.IdType = static_cast<BUS_QUERY_ID_TYPE>(query.type);
            break;
        case IRP_MN_QUERY_DEVICE_TEXT:
            stack->Parameters.QueryDeviceText.DeviceTextType =
                static_cast<DEVICE_TEXT_TYPE>(query.type);
            stack->Parameters.QueryDeviceText.LocaleId = 0x0409; // en-US
            break;
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            stack->Parameters.QueryDeviceRelations.Type =
                static_cast<DEVICE_RELATION_TYPE>(query.type);
            // The only PnP request with a file object: the target relation of the
            // handle being registered ("IRP_MN_QUERY_DEVICE_RELATIONS", WDK).
            stack->FileObject = query.fileObject;
            break;
        case IRP_MN_DEVICE_USAGE_NOTIFICATION:
            stack->Parameters.UsageNotification.InPath = query.inPath ? TRUE : FALSE;
            stack->Parameters.UsageNotification.Type =
                static_cast<DEVICE_USAGE_NOTIFICATION_TYPE>(query.type);
            break;
        case IRP_MN_QUERY_INTERFACE:
            stack->Parameters.QueryInterface.InterfaceType = query.interfaceType;
            stack->Parameters.QueryInterface.Size = query.interfaceSize;
            stack->Parameters.QueryInterface.Version = query.interfaceVersion;
            stack->Parameters.QueryInterface.Interface = query.interface;
            stack->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
            break;
        case IRP_MN_FILTER_RESOURCE_REQUIREMENTS:
            // The bus asked for no resources: there is no list to filter.
            stack->Parameters.FilterResourceRequirements.IoResourceRequirementList = nullptr;
            break;
        default:
            break;
        }
    }

    // What a successful answer returned is the requester's: it reads it and frees
    // it (the pool blocks with ExFreePool, the related objects are dereferenced).
    static void TakeAnswer(PnpRequest& request) {
        void* answer = reinterpret_cast<void*>(request.information);
        if (!NT_SUCCESS(request.status) || answer == nullptr)
            return;
        switch (request.minor) {
        case IRP_MN_QUERY_ID:
        case IRP_MN_QUERY_DEVICE_TEXT: {
            const auto* text = static_cast<const char16_t*>(answer);
            bool multi =
                request.minor == IRP_MN_QUERY_ID &&
                (request.type == BusQueryHardwareIDs || request.type == BusQueryCompatibleIDs);
            size_t length = 0;
            while (text[length] != 0 || (multi && text[length + 1] != 0))
                ++length;
            request.text.assign(text, length);
            break;
        }
        case IRP_MN_QUERY_DEVICE_RELATIONS: {
            auto* relations = static_cast<PDEVICE_RELATIONS>(answer);
            for (ULONG i = 0; i < relations->Count; ++i) {
                request.relations.push_back(relations->Objects[i]);
                ObDereferenceObject(relations->Objects[i]);
            }
            break;
        }
        case IRP_MN_QUERY_BUS_INFORMATION:
            request.busInformation = *static_cast<PPNP_BUS_INFORMATION>(answer);
            break;
        case IRP_MN_QUERY_RESOURCES:
        case IRP_MN_QUERY_RESOURCE_REQUIREMENTS:
        case IRP_MN_FILTER_RESOURCE_REQUIREMENTS:
            break;
        default:
            // Nothing else returns a block the requester owns.
            return;
        }
        ExFreePool(answer);
    }

    // The queries the manager sends to a new PDO before any driver is attached:
    // the IDs, capabilities, text and bus information that name and place the
    // device, then its resources ("IRP_MN_QUERY_ID", "IRP_MN_QUERY_DEVICE_TEXT",
    // "IRP_MN_QUERY_BUS_INFORMATION", "IRP_MN_QUERY_RESOURCE_REQUIREMENTS",
    // "IRP_MN_QUERY_RESOURCES", WDK: each sent when the device is enumerated).
    static void Enumerate(DeviceNode& node) {
        auto query = [&](UCHAR minor, ULONG type) {
            PnpQuery q;
            q.minor = minor;
            q.type = type;
            Send(node, q);
        };
        query(IRP_MN_QUERY_ID, BusQueryDeviceID);
        DEVICE_CAPABILITIES caps = InitialCapabilities();
        Send(node, IRP_MN_QUERY_CAPABILITIES, &caps);
        query(IRP_MN_QUERY_DEVICE_TEXT, DeviceTextDescription);
        query(IRP_MN_QUERY_DEVICE_TEXT, DeviceTextLocationInformation);
        query(IRP_MN_QUERY_ID, BusQueryInstanceID);
        query(IRP_MN_QUERY_ID, BusQueryHardwareIDs);
        query(IRP_MN_QUERY_ID, BusQueryCompatibleIDs);
        query(IRP_MN_QUERY_BUS_INFORMATION, 0);
        query(IRP_MN_QUERY_RESOURCE_REQUIREMENTS, 0);
        query(IRP_MN_QUERY_RESOURCES, 0);
    }

    static NTSTATUS SendRelations(DeviceNode& node, DEVICE_RELATION_TYPE type) {
        PnpQuery q;
        q.minor = IRP_MN_QUERY_DEVICE_RELATIONS;
        q.type = type;
        return Send(node, q).status;
    }

    // The devices attached above the PDO, bottom up, each referenced.
    static std::vector<PDEVICE_OBJECT> ReferenceStack(DeviceNode& node) {
        std::vector<PDEVICE_OBJECT> stack;
        PDEVICE_OBJECT pdo = node.pdo_;
        PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
        for (PDEVICE_OBJECT device = top; device != pdo; device = AttachedTo(device)) {
            if (device != top)
                ObReferenceObject(device);
            stack.insert(stack.begin(), device);
        }
        if (top == pdo)
            ObDereferenceObject(top);
        return stack;
    }

    // IRP_MN_REMOVE_DEVICE, then the check that every driver above the PDO has
    // detached and deleted its device.
    static NTSTATUS SendRemove(DeviceNode& node) {
        std::vector<PDEVICE_OBJECT> stack = ReferenceStack(node);
        NTSTATUS status = Send(node, IRP_MN_REMOVE_DEVICE);
        for (PDEVICE_OBJECT device : stack) {
            if (AttachedTo(device) != nullptr || DeviceExists(device)) {
                detail::Report(Rule::PnpContract,
                               DeviceText(device) + " is still " +
                                   (AttachedTo(device) ? "attached" : "present") +
                                   " after IRP_MN_REMOVE_DEVICE");
            }
            ObDereferenceObject(device);
        }
        return status;
    }

    static void Forget(DeviceNode& node) {
        std::shared_ptr<DeviceNode> kept;
        {
            std::lock_guard<std::mutex> guard(nodesMutex);
            auto it = nodes.find(node.pdo_);
            if (it != nodes.end() && it->second.get() == &node) {
                kept = std::move(it->second);
                nodes.erase(it);
                retired.push_back(kept);
            }
        }
        bool referenced;
        {
            std::lock_guard<std::mutex> guard(node.state_);
            referenced = node.pdoReferenced_;
            node.pdoReferenced_ = false;
        }
        if (referenced)
            ObDereferenceObject(node.pdo_);
    }

    // Removal proper: the node is gone afterwards.
    static NTSTATUS RemoveLocked(DeviceNode& node) {
        NTSTATUS status = SendRemove(node);
        SetState(node, DeviceNodeState::Removed);
        Forget(node);
        return status;
    }

    // Start or restart. A failed start removes the stack, as on Windows; the node
    // stays known, in the failed-start state.
    static NTSTATUS StartLocked(DeviceNode& node, bool firstStart) {
        // The resource requirements, filtered by the stack, come before the start:
        // the resources it is given are assigned from them ("IRP_MN_FILTER_RESOURCE_
        // REQUIREMENTS", WDK: sent before IRP_MN_START_DEVICE, to the whole stack).
        if (firstStart)
            Send(node, IRP_MN_FILTER_RESOURCE_REQUIREMENTS);
        NTSTATUS status = Send(node, IRP_MN_START_DEVICE);
        if (!NT_SUCCESS(status)) {
            SendRemove(node);
            SetState(node, DeviceNodeState::StartFailed);
            return status;
        }
        SetState(node, DeviceNodeState::Started);
        if (firstStart) {
            DEVICE_CAPABILITIES caps = InitialCapabilities();
            if (NT_SUCCESS(Send(node, IRP_MN_QUERY_CAPABILITIES, &caps))) {
                std::lock_guard<std::mutex> guard(node.state_);
                node.capabilities_ = caps;
            }
            Send(node, IRP_MN_QUERY_PNP_DEVICE_STATE);
            // A started device is asked for its children ("IRP_MN_QUERY_DEVICE_
            // RELATIONS", WDK: BusRelations when the device is enumerated).
            SendRelations(node, BusRelations);
            // Driver Verifier's I/O verification sends a PnP request of a minor
            // code no request uses; every driver must pass it on untouched.
            Send(node, PnpUnknownMinor);
        }
        return status;
    }

    // One driver's AddDevice with the PDO.
    static NTSTATUS CallAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
        PDRIVER_ADD_DEVICE addDevice =
            driver->DriverExtension ? driver->DriverExtension->AddDevice : nullptr;
        if (addDevice == nullptr)
            return STATUS_INVALID_DEVICE_REQUEST;
        NTSTATUS status;
        {
            detail::DriverScope scope(driver);
            status = addDevice(driver, pdo);
        }
        if (detail::Self().irql != PASSIVE_LEVEL) {
            detail::Report(Rule::IrqlNotRestored,
                           "AddDevice of " + ToUtf8(ToU16(driver->DriverName)) +
                               " returned at IRQL " + std::to_string(detail::Self().irql));
        }
        return status;
    }

    static std::shared_ptr<DeviceNode> Report(PDEVICE_OBJECT pdo, const StackDrivers& drivers) {
        detail::RequireIrqlAtMost(PASSIVE_LEVEL, "ReportDevice");
        PDRIVER_OBJECT driver = drivers.function;
        if (pdo == nullptr || driver == nullptr || !DeviceExists(pdo) || AttachedTo(pdo))
            return nullptr;
        auto node = std::make_shared<DeviceNode>(MakeToken(), pdo, driver);
        {
            std::lock_guard<std::mutex> guard(nodesMutex);
            if (nodes.count(pdo) != 0)
                return nullptr;
            nodes[pdo] = node;
        }
        ObReferenceObject(pdo);
        node->pdoReferenced_ = true;
        detail::EnsureInstancePath(pdo);

        std::lock_guard<std::mutex> operation(node->operation_);
        Enumerate(*node);
        // Lower filters, the function driver, upper filters, each attaching to the
        // top of the stack built so far.
        std::vector<PDRIVER_OBJECT> order = drivers.lowerFilters;
        order.push_back(driver);
        order.insert(order.end(), drivers.upperFilters.begin(), drivers.upperFilters.end());
        NTSTATUS status = STATUS_SUCCESS;
        for (PDRIVER_OBJECT each : order) {
            status = CallAddDevice(each, pdo);
            if (!NT_SUCCESS(status))
                break;
        }
        {
            std::lock_guard<std::mutex> guard(node->state_);
            node->addDeviceStatus_ = status;
        }
        if (!NT_SUCCESS(status)) {
            // The drivers already attached are told the device goes.
            PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
            ObDereferenceObject(top);
            if (top != pdo)
                SendRemove(*node);
            SetState(*node, DeviceNodeState::AddDeviceFailed);
            return node;
        }
        for (PDEVICE_OBJECT device : ReferenceStack(*node)) {
            if (device->Flags & DO_DEVICE_INITIALIZING) {
                detail::Report(Rule::PnpContract, "AddDevice left DO_DEVICE_INITIALIZING set on " +
                                                      DeviceText(device));
            }
            ObDereferenceObject(device);
        }
        StartLocked(*node, true);
        return node;
    }

    static NTSTATUS Remove(DeviceNode& node) {
        std::lock_guard<std::mutex> operation(node.operation_);
        switch (node.State()) {
        case DeviceNodeState::Removed:
            return STATUS_NO_SUCH_DEVICE;
        case DeviceNodeState::SurpriseRemoved:
            // The removal is already decided; it waits for the open handles.
            return STATUS_DELETE_PENDING;
        case DeviceNodeState::AddDeviceFailed:
        case DeviceNodeState::StartFailed:
            // No function stack is left to ask.
            SetState(node, DeviceNodeState::Removed);
            Forget(node);
            return STATUS_SUCCESS;
        default:
            break;
        }
        return QueryAndRemove(node);
    }

    // The devices that go with this one are asked for before the query ("IRP_MN_
    // QUERY_DEVICE_RELATIONS", WDK: RemovalRelations before the drivers are
    // removed).
    static NTSTATUS QueryAndRemove(DeviceNode& node) {
        SendRelations(node, RemovalRelations);
        NTSTATUS status = Send(node, IRP_MN_QUERY_REMOVE_DEVICE);
        if (!NT_SUCCESS(status)) {
            Send(node, IRP_MN_CANCEL_REMOVE_DEVICE);
            return status;
        }
        return RemoveLocked(node);
    }

    // Ejection asks for the ejection relations, then removes, then sends
    // IRP_MN_EJECT to what is left of the stack: the PDO ("IRP_MN_EJECT",
    // "IRP_MN_QUERY_DEVICE_RELATIONS", WDK).
    static NTSTATUS Eject(DeviceNode& node) {
        std::lock_guard<std::mutex> operation(node.operation_);
        if (!node.Started() && node.State() != DeviceNodeState::Stopped)
            return STATUS_INVALID_DEVICE_STATE;
        SendRelations(node, EjectionRelations);
        SendRelations(node, RemovalRelations);
        NTSTATUS status = Send(node, IRP_MN_QUERY_REMOVE_DEVICE);
        if (!NT_SUCCESS(status)) {
            Send(node, IRP_MN_CANCEL_REMOVE_DEVICE);
            return status;
        }
        SendRemove(node);
        status = Send(node, IRP_MN_EJECT);
        SetState(node, DeviceNodeState::Removed);
        Forget(node);
        return status;
    }

    static PnpRequest Query(DeviceNode& node, const PnpQuery& query) {
        std::lock_guard<std::mutex> operation(node.operation_);
        if (!node.Started() && node.State() != DeviceNodeState::Stopped) {
            PnpRequest refused;
            refused.minor = query.minor;
            refused.type = query.type;
            refused.status = STATUS_INVALID_DEVICE_STATE;
            return refused;
        }
        return Send(node, query);
    }

    static NTSTATUS Stop(DeviceNode& node) {
        std::lock_guard<std::mutex> operation(node.operation_);
        if (node.State() != DeviceNodeState::Started)
            return STATUS_INVALID_DEVICE_STATE;
        // Rebalancing starts from the devices' requirements, asked for again and
        // filtered by their stacks, before any is stopped ("Stopping a device for
        // resource rebalancing", "IRP_MN_QUERY_RESOURCE_REQUIREMENTS", WDK).
        Send(node, IRP_MN_QUERY_RESOURCE_REQUIREMENTS);
        Send(node, IRP_MN_FILTER_RESOURCE_REQUIREMENTS);
        NTSTATUS status = Send(node, IRP_MN_QUERY_STOP_DEVICE);
        if (!NT_SUCCESS(status)) {
            Send(node, IRP_MN_CANCEL_STOP_DEVICE);
            return status;
        }
        Send(node, IRP_MN_STOP_DEVICE);
        SetState(node, DeviceNodeState::Stopped);
        return StartLocked(node, false);
    }

    static NTSTATUS Surprise(DeviceNode& node) {
        std::lock_guard<std::mutex> operation(node.operation_);
        switch (node.State()) {
        case DeviceNodeState::Removed:
            return STATUS_NO_SUCH_DEVICE;
        case DeviceNodeState::SurpriseRemoved:
            return STATUS_DELETE_PENDING;
        case DeviceNodeState::AddDeviceFailed:
        case DeviceNodeState::StartFailed:
            SetState(node, DeviceNodeState::Removed);
            Forget(node);
            return STATUS_SUCCESS;
        case DeviceNodeState::Initialized:
            // A stack that never started is removed without the surprise.
            return RemoveLocked(node);
        default:
            break;
        }
        NTSTATUS status = Send(node, IRP_MN_SURPRISE_REMOVAL);
        bool waitForHandles;
        {
            std::lock_guard<std::mutex> guard(node.state_);
            node.stateValue_ = DeviceNodeState::SurpriseRemoved;
            waitForHandles = node.openHandles_ != 0;
            node.removalWaitsForHandles_ = waitForHandles;
        }
        if (!waitForHandles)
            RemoveLocked(node);
        return status;
    }

    // The last handle closed after a surprise removal: the removal goes on.
    static void HandlesChanged(DeviceNode& node) {
        {
            std::lock_guard<std::mutex> guard(node.state_);
            if (!node.removalWaitsForHandles_ || node.openHandles_ != 0)
                return;
        }
        std::lock_guard<std::mutex> operation(node.operation_);
        {
            std::lock_guard<std::mutex> guard(node.state_);
            if (!node.removalWaitsForHandles_ || node.openHandles_ != 0)
                return;
            node.removalWaitsForHandles_ = false;
        }
        RemoveLocked(node);
    }
};

// ---- DeviceNode ---------------------------------------------------------------------------

DeviceNode::DeviceNode(Token, PDEVICE_OBJECT pdo, PDRIVER_OBJECT functionDriver)
    : pdo_(pdo), functionDriver_(functionDriver) {}

DeviceNode::~DeviceNode() = default;

DeviceNodeState DeviceNode::State() const {
    std::lock_guard<std::mutex> guard(state_);
    return stateValue_;
}

NTSTATUS DeviceNode::AddDeviceStatus() const {
    std::lock_guard<std::mutex> guard(state_);
    return addDeviceStatus_;
}

NTSTATUS DeviceNode::LastStatus() const {
    std::lock_guard<std::mutex> guard(state_);
    return requests_.empty() ? STATUS_NOT_SUPPORTED : requests_.back().status;
}

NTSTATUS DeviceNode::LastStatus(UCHAR minor) const {
    std::lock_guard<std::mutex> guard(state_);
    for (auto it = requests_.rbegin(); it != requests_.rend(); ++it) {
        if (it->minor == minor)
            return it->status;
    }
    return STATUS_NOT_SUPPORTED;
}

std::vector<PnpRequest> DeviceNode::Requests() const {
    std::lock_guard<std::mutex> guard(state_);
    return requests_;
}

DEVICE_CAPABILITIES DeviceNode::Capabilities() const {
    std::lock_guard<std::mutex> guard(state_);
    return capabilities_;
}

size_t DeviceNode::OpenHandles() const {
    std::lock_guard<std::mutex> guard(state_);
    return openHandles_;
}

void DeviceNode::SetOpenHandles(size_t count) {
    {
        std::lock_guard<std::mutex> guard(state_);
        openHandles_ = count;
    }
    PnpManagerAccess::HandlesChanged(*this);
}

void DeviceNode::HandleOpened() {
    std::lock_guard<std::mutex> guard(state_);
    ++openHandles_;
}

void DeviceNode::HandleClosed() {
    {
        std::lock_guard<std::mutex> guard(state_);
        if (openHandles_ != 0)
            --openHandles_;
    }
    PnpManagerAccess::HandlesChanged(*this);
}

const char* DeviceNodeStateName(DeviceNodeState state) {
    switch (state) {
    case DeviceNodeState::AddDeviceFailed:
        return "AddDeviceFailed";
    case DeviceNodeState::Initialized:
        return "Initialized";
    case DeviceNodeState::Started:
        return "Started";
    case DeviceNodeState::Stopped:
        return "Stopped";
    case DeviceNodeState::StartFailed:
        return "StartFailed";
    case DeviceNodeState::SurpriseRemoved:
        return "SurpriseRemoved";
    case DeviceNodeState::Removed:
        return "Removed";
    }
    return "unknown";
}

// ---- The manager ----------------------------------------------------------------------------

std::shared_ptr<DeviceNode> ReportDevice(PDEVICE_OBJECT pdo, PDRIVER_OBJECT functionDriver) {
    StackDrivers drivers;
    drivers.function = functionDriver;
    return PnpManagerAccess::Report(pdo, drivers);
}

std::shared_ptr<DeviceNode> ReportDevice(PDEVICE_OBJECT pdo, const StackDrivers& drivers) {
    return PnpManagerAccess::Report(pdo, drivers);
}

NTSTATUS EjectDevice(DeviceNode& node) {
    return PnpManagerAccess::Eject(node);
}

PnpRequest QueryStack(DeviceNode& node, const PnpQuery& query) {
    return PnpManagerAccess::Query(node, query);
}

PnpRequest RegisterTargetNotification(PFILE_OBJECT fileObject) {
    PnpQuery query;
    query.minor = IRP_MN_QUERY_DEVICE_RELATIONS;
    query.type = TargetDeviceRelation;
    query.fileObject = fileObject;
    std::shared_ptr<DeviceNode> node =
        fileObject ? FindDeviceNode(fileObject->DeviceObject) : nullptr;
    if (!node) {
        PnpRequest refused;
        refused.minor = query.minor;
        refused.type = query.type;
        refused.status = STATUS_INVALID_PARAMETER;
        return refused;
    }
    return PnpManagerAccess::Query(*node, query);
}

NTSTATUS NotifyDeviceUsage(DeviceNode& node, DEVICE_USAGE_NOTIFICATION_TYPE type, bool inPath) {
    PnpQuery query;
    query.minor = IRP_MN_DEVICE_USAGE_NOTIFICATION;
    query.type = type;
    query.inPath = inPath;
    return PnpManagerAccess::Query(node, query).status;
}

std::shared_ptr<DeviceNode> FindDeviceNode(PDEVICE_OBJECT device) {
    if (device == nullptr)
        return nullptr;
    for (PDEVICE_OBJECT below = AttachedTo(device); below != nullptr; below = AttachedTo(below))
        device = below;
    std::lock_guard<std::mutex> guard(nodesMutex);
    auto it = nodes.find(device);
    return it == nodes.end() ? nullptr : it->second;
}

NTSTATUS RemoveDevice(DeviceNode& node) {
    return PnpManagerAccess::Remove(node);
}

NTSTATUS StopDevice(DeviceNode& node) {
    return PnpManagerAccess::Stop(node);
}

NTSTATUS SurpriseRemove(DeviceNode& node) {
    return PnpManagerAccess::Surprise(node);
}

std::vector<std::shared_ptr<DeviceNode>> DeviceNodes() {
    std::lock_guard<std::mutex> guard(nodesMutex);
    std::vector<std::shared_ptr<DeviceNode>> list;
    for (const auto& entry : nodes)
        list.push_back(entry.second);
    return list;
}

namespace detail {

bool IsDeviceNodePdo(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> guard(nodesMutex);
    return nodes.count(pdo) != 0;
}

void ShutdownPnp() {
    std::vector<std::shared_ptr<DeviceNode>> all;
    {
        std::lock_guard<std::mutex> guard(nodesMutex);
        for (auto& entry : nodes)
            all.push_back(std::move(entry.second));
        nodes.clear();
        retired.clear();
    }
    // The PDOs' memory may be waiting for these references alone.
    for (const auto& node : all)
        PnpManagerAccess::Forget(*node);
}

void ResetPnp() {
    std::lock_guard<std::mutex> guard(nodesMutex);
    nodes.clear();
    retired.clear();
}

} // namespace detail
} // namespace kx
