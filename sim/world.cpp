#include "world.h"

#include "serial_api.h"

#include <driver/frame/frame.h>
#include <kx/registry.h>

#include <cstdio>
#include <thread>

namespace sim {

std::string PluggedModem::Path() const {
    std::string path = "\\\\.\\";
    for (char16_t c : portName_)
        path.push_back(static_cast<char>(c));
    return path;
}

std::u16string PluggedModem::PathW() const {
    return u"\\\\.\\" + portName_;
}

PDEVICE_OBJECT PluggedModem::FunctionDevice() const {
    // Down from the top, under the I/O manager's lock at each step.
    PDEVICE_OBJECT pdo = pdo_->Device();
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    PDEVICE_OBJECT found = nullptr;
    for (PDEVICE_OBJECT device = top; device != nullptr && device != pdo;
         device = kx::AttachedTo(device)) {
        if (device->DriverObject == functionDriver_)
            found = device;
    }
    ObDereferenceObject(top);
    return found;
}

PDEVICE_OBJECT PluggedModem::TopDevice() const {
    PDEVICE_OBJECT pdo = pdo_->Device();
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    ObDereferenceObject(top);
    return top == pdo ? nullptr : top;
}

bool PluggedModem::Removed() const {
    return node_ && node_->State() == kx::DeviceNodeState::Removed;
}

namespace {
std::string& DefaultImage() {
    static std::string path;
    return path;
}
bool defaultFilters = false;
} // namespace

bool DefaultFilters() {
    return defaultFilters;
}

void SetDefaultFilters(bool filters) {
    defaultFilters = filters;
}

const std::string& DefaultDriverImage() {
    return DefaultImage();
}

void SetDefaultDriverImage(std::string path) {
    DefaultImage() = std::move(path);
}

PDRIVER_OBJECT LoadPortDriver(const std::string& imagePath, std::u16string_view name,
                              NTSTATUS* status, std::string* error) {
    if (imagePath.empty())
        return kx::LoadDriver(DriverEntry, name, status);
    return kx::LoadDriverImage(imagePath, name, status, error);
}

World::World(WorldOptions options) {
    if (options.bootKernel)
        kernel_.emplace(options.kernel);
    bus_.emplace();
    if (options.filters) {
        lowerFilter_.emplace(u"KorvaxLowerFilter");
        upperFilter_.emplace(u"KorvaxUpperFilter");
    }
    if (options.driverEntry != nullptr)
        driver_ = kx::LoadDriver(options.driverEntry, options.driverName, &loadStatus_);
    else
        driver_ =
            LoadPortDriver(options.driverImage, options.driverName, &loadStatus_, &loadError_);
}

World::~World() {
    TearDown();
}

PluggedModem& World::Plug(PlugOptions options) {
    PluggedModem& modem = Connect(std::move(options));
    Arrive(modem);
    return modem;
}

PluggedModem& World::Connect(PlugOptions options) {
    auto modem = std::make_unique<PluggedModem>();
    modem->pdo_ = &bus_->CreateModemPdo(options.pdo);
    modem->portName_ = options.portName;
    PDEVICE_OBJECT pdo = modem->pdo_->Device();
    if (!options.instancePath.empty())
        kx::SetDeviceInstancePath(pdo, options.instancePath);
    kx::SetHardwareString(pdo, u"PortName", options.portName);
    if (options.function) {
        modem->function_ = options.function;
        modem->pdo_->Attach(options.function);
    } else {
        modem->model_ = std::make_unique<Modem>(*modem->pdo_, options.modem);
    }
    modems_.push_back(std::move(modem));
    return *modems_.back();
}

NTSTATUS World::Arrive(PluggedModem& modem) {
    modem.functionDriver_ = driver_;
    kx::StackDrivers drivers;
    drivers.function = driver_;
    if (lowerFilter_)
        drivers.lowerFilters.push_back(lowerFilter_->Driver());
    if (upperFilter_)
        drivers.upperFilters.push_back(upperFilter_->Driver());
    modem.node_ = kx::ReportDevice(modem.pdo_->Device(), drivers);
    if (!modem.node_)
        return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS added = modem.node_->AddDeviceStatus();
    if (!NT_SUCCESS(added))
        return added;
    return modem.node_->LastStatus(IRP_MN_START_DEVICE);
}

NTSTATUS World::ArriveWithStartHeld(PluggedModem& modem, const std::function<void()>& whileHeld) {
    Response hold = Response::Pend();
    hold.major = IRP_MJ_PNP;
    hold.minor = IRP_MN_START_DEVICE;
    modem.pdo_->ScriptNext(hold);
    NTSTATUS status = STATUS_PENDING;
    kx::ControlledThread arrival("arrival", [&] { status = Arrive(modem); });
    // The start reaches the PDO once AddDevice has made the function device.
    modem.pdo_->WaitForPending(1);
    whileHeld();
    modem.pdo_->CompletePending(STATUS_SUCCESS);
    arrival.Join();
    return status;
}

NTSTATUS World::Unplug(PluggedModem& modem) {
    modem.pdo_->Unplug();
    if (!modem.node_ || modem.Removed())
        return STATUS_SUCCESS;
    return kx::SurpriseRemove(*modem.node_);
}

NTSTATUS World::Remove(PluggedModem& modem) {
    if (!modem.node_ || modem.Removed())
        return STATUS_SUCCESS;
    return kx::RemoveDevice(*modem.node_);
}

void World::Settle() {
    kx::DrainWorkItems();
    kx::DrainDispatchQueue();
    kx::DrainWorkItems();
}

void World::TearDown() {
    size_t left = CloseApplicationHandles();
    if (left != 0) {
        std::fprintf(stderr, "world: the application left %zu handle(s) open; closed them\n", left);
    }
    Settle();
    for (auto it = modems_.rbegin(); it != modems_.rend(); ++it) {
        PluggedModem& modem = **it;
        if (!modem.node_ || modem.Removed())
            continue;
        switch (modem.node_->State()) {
        case kx::DeviceNodeState::SurpriseRemoved:
            // Its removal waits for handles, and none is left.
            break;
        default:
            if (!NT_SUCCESS(kx::RemoveDevice(*modem.node_)))
                kx::SurpriseRemove(*modem.node_);
            break;
        }
    }
    Settle();
    for (auto& modem : modems_) {
        // The model goes before its PDO.
        modem->model_.reset();
        bus_->DeletePdo(*modem->pdo_);
        modem->pdo_ = nullptr;
    }
    if (driver_ != nullptr)
        kx::UnloadDriver(driver_);
    driver_ = nullptr;
    upperFilter_.reset();
    lowerFilter_.reset();
    bus_.reset();
    kernel_.reset();
}

} // namespace sim
