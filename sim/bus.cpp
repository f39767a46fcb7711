#include "bus.h"

#include <algorithm>

namespace sim {

namespace {

constexpr ULONG PdoSignature = 0x6F645042; // "BPdo"

NTSTATUS NTAPI BusDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return ModemPdo::FromDevice(DeviceObject)->Dispatch(Irp);
}

NTSTATUS NTAPI BusEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    (void)RegistryPath;
    for (auto& slot : DriverObject->MajorFunction)
        slot = BusDispatch;
    return STATUS_SUCCESS;
}

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Requests a bus driver does not handle keep the status they came with.
NTSTATUS CompleteUnchanged(PIRP irp) {
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

bool IsPowerSetOrQuery(PIO_STACK_LOCATION stack) {
    return stack->MajorFunction == IRP_MJ_POWER &&
           (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER);
}

} // namespace

ModemPdo::ModemPdo(const PdoOptions& options) : options_(options) {}

ModemPdo::~ModemPdo() = default;

ModemPdo* ModemPdo::FromDevice(PDEVICE_OBJECT device) {
    auto* ext = static_cast<PdoExtension*>(device->DeviceExtension);
    return static_cast<ModemPdo*>(ext->State);
}

USBD_PIPE_HANDLE ModemPdo::BulkInPipe() const {
    return static_cast<PdoExtension*>(device_->DeviceExtension)->BulkInPipe;
}

USBD_PIPE_HANDLE ModemPdo::BulkOutPipe() const {
    return static_cast<PdoExtension*>(device_->DeviceExtension)->BulkOutPipe;
}

USBD_PIPE_HANDLE ModemPdo::InterruptInPipe() const {
    return static_cast<PdoExtension*>(device_->DeviceExtension)->InterruptInPipe;
}

USBD_PIPE_HANDLE ModemPdo::PipeHandle(UsbPipe pipe) const {
    switch (pipe) {
    case UsbPipe::BulkIn:
        return BulkInPipe();
    case UsbPipe::BulkOut:
        return BulkOutPipe();
    case UsbPipe::InterruptIn:
        return InterruptInPipe();
    default:
        return nullptr;
    }
}

USHORT ModemPdo::MaxPacketSize(UsbPipe pipe) const {
    switch (PipeTransferType(pipe)) {
    case UsbTransferType::Interrupt:
        return options_.interruptMaxPacket;
    default:
        // The default pipe's bMaxPacketSize0 is the bulk size on a full-speed device.
        return options_.bulkMaxPacket;
    }
}

void ModemPdo::ScriptNext(const Response& response) {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    script_.push_back(response);
}

std::vector<RecordedIrp> ModemPdo::Records() const {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    return {records_.begin(), records_.end()};
}

size_t ModemPdo::PendingCount() const {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    return pended_.size();
}

void ModemPdo::CompletePending(NTSTATUS status, ULONG_PTR information) {
    PIRP irp;
    {
        std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
        if (pended_.empty())
            return;
        irp = pended_.front();
        pended_.pop_front();
    }
    kx::QueueAtDispatch([this, irp, status, information] {
        if (IsPowerSetOrQuery(IoGetCurrentIrpStackLocation(irp)))
            FinishPower(irp, status, information);
        else
            CompleteWith(irp, status, information);
    });
}

void ModemPdo::WaitForPending(size_t count) const {
    std::unique_lock<kx::UnscheduledMutex> lock(mutex_);
    kx::BlockUntil(
        lock, changed_, [&] { return pended_.size() >= count; }, "requests pended by the bus");
}

DEVICE_POWER_STATE ModemPdo::DevicePower() const {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    return devicePower_;
}

SYSTEM_POWER_STATE ModemPdo::SystemPower() const {
    std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
    return systemPower_;
}

NTSTATUS ModemPdo::Dispatch(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    RecordedIrp record;
    record.major = stack->MajorFunction;
    record.minor = stack->MinorFunction;
    record.irql = KeGetCurrentIrql();
    record.statusOnEntry = irp->IoStatus.Status;
    record.informationOnEntry = irp->IoStatus.Information;
    if (record.major == IRP_MJ_PNP) {
        record.fileObject = stack->FileObject;
        switch (record.minor) {
        case IRP_MN_QUERY_ID:
            record.pnpType = stack->Parameters.QueryId.IdType;
            break;
        case IRP_MN_QUERY_DEVICE_TEXT:
            record.pnpType = stack->Parameters.QueryDeviceText.DeviceTextType;
            break;
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            record.pnpType = stack->Parameters.QueryDeviceRelations.Type;
            break;
        case IRP_MN_DEVICE_USAGE_NOTIFICATION:
            record.pnpType = stack->Parameters.UsageNotification.Type;
            break;
        default:
            break;
        }
    }
    if (IsPowerSetOrQuery(stack)) {
        record.powerType = stack->Parameters.Power.Type;
        record.powerState = stack->Parameters.Power.State;
        record.shutdownType = stack->Parameters.Power.ShutdownType;
        // A state below D0 is announced before the device leaves D0, on arrival:
        // the completion may come at DISPATCH_LEVEL, where only D0 may be announced
        // ("PoSetPowerState" (WDK)).
        if (record.minor == IRP_MN_SET_POWER && record.powerType == DevicePowerState &&
            record.powerState.DeviceState != PowerDeviceD0)
            PoSetPowerState(device_, DevicePowerState, record.powerState);
    } else if (record.major == IRP_MJ_POWER && record.minor == IRP_MN_WAIT_WAKE) {
        record.powerState.SystemState = stack->Parameters.WaitWake.PowerState;
    }
    if (record.major == IRP_MJ_DEVICE_CONTROL || record.major == IRP_MJ_INTERNAL_DEVICE_CONTROL)
        record.ioControlCode = stack->Parameters.DeviceIoControl.IoControlCode;
    if (record.major == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
        record.ioControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
        record.urbFunction = urb->UrbHeader.Function;
        if (record.urbFunction == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
            record.pipe = urb->UrbBulkOrInterruptTransfer.PipeHandle;
        else if (record.urbFunction == URB_FUNCTION_ABORT_PIPE ||
                 record.urbFunction == URB_FUNCTION_RESET_PIPE)
            record.pipe = urb->UrbPipeRequest.PipeHandle;
    }

    std::optional<Response> scripted;
    {
        std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
        record.sequence = ++sequence_;
        records_.push_back(record);
        if (records_.size() > options_.recordWindow)
            records_.pop_front();
        auto it = std::find_if(script_.begin(), script_.end(),
                               [&](const Response& r) { return r.Matches(record); });
        if (it != script_.end()) {
            scripted = *it;
            script_.erase(it);
        }
    }
    if (!scripted)
        return Serve(irp);
    if (scripted->kind == Response::Kind::Complete) {
        if (IsPowerSetOrQuery(stack))
            return FinishPower(irp, scripted->status, scripted->information);
        return CompleteWith(irp, scripted->status, scripted->information);
    }

    IoMarkIrpPending(irp);
    {
        std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
        pended_.push_back(irp);
        changed_.notify_all();
    }
    return STATUS_PENDING;
}

// The answers to IRP_MN_QUERY_ID and IRP_MN_QUERY_DEVICE_TEXT: zero-terminated
// strings from paged pool, a multi-string ending in an empty one for the ID lists;
// the requester frees them ("IRP_MN_QUERY_ID", WDK).
PWCHAR ModemPdo::PnpString(const std::vector<std::u16string>& parts, bool multi) const {
    size_t chars = multi ? 1 : 0;
    for (const std::u16string& part : parts)
        chars += part.size() + 1;
    auto* buffer = static_cast<char16_t*>(
        ExAllocatePoolWithTag(PagedPool, chars * sizeof(char16_t), PdoSignature));
    if (buffer == nullptr)
        return nullptr;
    char16_t* at = buffer;
    for (const std::u16string& part : parts) {
        at = std::copy(part.begin(), part.end(), at);
        *at++ = 0;
    }
    if (multi)
        *at = 0;
    return reinterpret_cast<PWCHAR>(buffer);
}

NTSTATUS ModemPdo::AnswerString(PIRP irp, const std::vector<std::u16string>& parts, bool multi) {
    PWCHAR text = PnpString(parts, multi);
    if (text == nullptr)
        return CompleteWith(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    return CompleteWith(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(text));
}

// The device ID and instance ID make up the instance path: <device ID>\<instance ID>.
NTSTATUS ModemPdo::ServeQueryId(PIRP irp) {
    std::u16string path = kx::DeviceInstancePath(device_);
    size_t split = path.rfind(u'\\');
    std::u16string deviceId = split == std::u16string::npos ? path : path.substr(0, split);
    std::u16string instanceId = split == std::u16string::npos ? u"0" : path.substr(split + 1);
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
        return AnswerString(irp, {deviceId}, false);
    case BusQueryInstanceID:
        return AnswerString(irp, {instanceId}, false);
    case BusQueryHardwareIDs:
        return AnswerString(irp,
                            options_.hardwareIds.empty() ? std::vector<std::u16string>{deviceId}
                                                         : options_.hardwareIds,
                            true);
    case BusQueryCompatibleIDs:
        return AnswerString(irp, options_.compatibleIds, true);
    default:
        return CompleteUnchanged(irp);
    }
}

// A bus driver's answers to Plug and Play for its child: it owns the device, so
// every state change succeeds; capabilities map S0 to D0 and the sleep states to
// the configured device state.
NTSTATUS ModemPdo::ServePnp(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ID:
        return ServeQueryId(irp);
    case IRP_MN_QUERY_DEVICE_TEXT:
        switch (stack->Parameters.QueryDeviceText.DeviceTextType) {
        case DeviceTextDescription:
            return AnswerString(irp, {options_.description}, false);
        case DeviceTextLocationInformation:
            return AnswerString(irp, {options_.location}, false);
        default:
            return CompleteUnchanged(irp);
        }
    case IRP_MN_QUERY_BUS_INFORMATION: {
        // GUID_BUS_TYPE_USB (wdmguid.h); "IRP_MN_QUERY_BUS_INFORMATION", WDK.
        static const GUID usbBus = {
            0x9D7DEBBC, 0xC85D, 0x11D1, {0x9E, 0xB4, 0x00, 0x60, 0x08, 0xC3, 0xA1, 0x9A}};
        auto* info = static_cast<PPNP_BUS_INFORMATION>(
            ExAllocatePoolWithTag(PagedPool, sizeof(PNP_BUS_INFORMATION), PdoSignature));
        if (info == nullptr)
            return CompleteWith(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        info->BusTypeGuid = usbBus;
        info->LegacyBusType = PNPBus;
        info->BusNumber = 0;
        return CompleteWith(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(info));
    }
    case IRP_MN_QUERY_RESOURCE_REQUIREMENTS:
    case IRP_MN_QUERY_RESOURCES:
        // A USB function has no hardware resources of its own: success, no list
        // ("IRP_MN_QUERY_RESOURCE_REQUIREMENTS", "IRP_MN_QUERY_RESOURCES", WDK).
        return CompleteWith(irp, STATUS_SUCCESS, 0);
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
        // A PDO answers only the target relation, with itself referenced; the
        // other relations are not a child's to answer ("IRP_MN_QUERY_DEVICE_
        // RELATIONS", WDK).
        if (stack->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation)
            return CompleteUnchanged(irp);
        auto* relations = static_cast<PDEVICE_RELATIONS>(
            ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), PdoSignature));
        if (relations == nullptr)
            return CompleteWith(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        relations->Count = 1;
        relations->Objects[0] = device_;
        ObReferenceObject(device_);
        return CompleteWith(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(relations));
    }
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
        // Nothing of a modem holds a paging, hibernation or dump file.
        return CompleteWith(irp, STATUS_UNSUCCESSFUL, 0);
    case IRP_MN_EJECT:
        return CompleteWith(irp, STATUS_SUCCESS, 0);
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        return CompleteWith(irp, STATUS_SUCCESS, 0);
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        for (int s = PowerSystemSleeping1; s <= PowerSystemShutdown; ++s)
            caps->DeviceState[s] = options_.sleepDeviceState;
        caps->SystemWake = PowerSystemUnspecified;
        caps->DeviceWake = PowerDeviceUnspecified;
        caps->Address = 1;
        caps->UINumber = 1;
        return CompleteWith(irp, STATUS_SUCCESS, 0);
    }
    default:
        return CompleteUnchanged(irp);
    }
}

NTSTATUS ModemPdo::ServePower(PIRP irp) {
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_SET_POWER:
    case IRP_MN_QUERY_POWER:
        return FinishPower(irp, STATUS_SUCCESS, 0);
    case IRP_MN_WAIT_WAKE:
        // The capabilities claim no wake from any state.
        return CompleteWith(irp, STATUS_INVALID_DEVICE_STATE, 0);
    default:
        return CompleteUnchanged(irp);
    }
}

NTSTATUS ModemPdo::FinishPower(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (NT_SUCCESS(status) && stack->MinorFunction == IRP_MN_SET_POWER) {
        POWER_STATE state = stack->Parameters.Power.State;
        if (stack->Parameters.Power.Type == DevicePowerState) {
            {
                std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
                bool resumes = devicePower_ != PowerDeviceD0 && state.DeviceState == PowerDeviceD0;
                devicePower_ = state.DeviceState;
                if (resumes)
                    ResumePort();
                changed_.notify_all();
            }
            if (state.DeviceState == PowerDeviceD0)
                PoSetPowerState(device_, DevicePowerState, state);
        } else {
            std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
            systemPower_ = state.SystemState;
            // The host controller loses power after the last of its children has
            // heard of the sleep: what is still outstanding is aborted.
            if (state.SystemState == PowerSystemSleeping3 ||
                state.SystemState == PowerSystemHibernate)
                FailOutstanding(STATUS_CANCELLED, USBD_STATUS_CANCELED);
            changed_.notify_all();
        }
    }
    PoStartNextPowerIrp(irp);
    return CompleteWith(irp, status, information);
}

NTSTATUS ModemPdo::Serve(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_PNP:
        if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
            // The function's configuration goes away with the removal: whatever is
            // still outstanding ends, as aborted while the device is present.
            std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
            removed_ = true;
            if (unplugged_)
                FailOutstanding(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
            else
                FailOutstanding(STATUS_CANCELLED, USBD_STATUS_CANCELED);
        } else if (stack->MinorFunction == IRP_MN_START_DEVICE) {
            std::lock_guard<kx::UnscheduledMutex> guard(mutex_);
            removed_ = false;
        }
        return ServePnp(irp);
    case IRP_MJ_POWER:
        return ServePower(irp);
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB)
            return SubmitUrb(irp);
        return CompleteWith(irp, STATUS_NOT_SUPPORTED, 0);
    case IRP_MJ_SYSTEM_CONTROL:
        return CompleteUnchanged(irp);
    default:
        return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

ParentBus::ParentBus() {
    NTSTATUS status;
    driver_ = kx::LoadDriver(BusEntry, u"KorvaxBus", &status);
}

ParentBus::~ParentBus() {
    while (!pdos_.empty())
        DeletePdo(*pdos_.back());
    kx::UnloadDriver(driver_);
}

ModemPdo& ParentBus::CreateModemPdo(const PdoOptions& options) {
    auto pdo = std::make_unique<ModemPdo>(options);
    PDEVICE_OBJECT device = nullptr;
    IoCreateDevice(driver_, sizeof(PdoExtension), nullptr, FILE_DEVICE_BUS_EXTENDER,
                   FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &device);
    auto* ext = static_cast<PdoExtension*>(device->DeviceExtension);
    ext->Signature = reinterpret_cast<PVOID>(static_cast<uintptr_t>(PdoSignature));
    ext->Self = device;
    ext->State = pdo.get();
    ext->BulkInPipe = &pdo->pipeObjects_[0];
    ext->BulkOutPipe = &pdo->pipeObjects_[1];
    ext->InterruptInPipe = &pdo->pipeObjects_[2];
    if (options.powerPagable)
        device->Flags |= DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    pdo->device_ = device;
    pdos_.push_back(std::move(pdo));
    return *pdos_.back();
}

void ParentBus::DeletePdo(ModemPdo& pdo) {
    pdo.Shutdown();
    IoDeleteDevice(pdo.device_);
    pdos_.erase(
        std::find_if(pdos_.begin(), pdos_.end(), [&](const auto& p) { return p.get() == &pdo; }));
}

} // namespace sim
