// The I/O manager: driver and device objects, IRPs, calling drivers and completing
// requests, with the verifier's checks on every step.
#include "image.h"
#include "io_internal.h"
#include "pnp_internal.h"
#include "special_pool.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <unordered_map>

namespace kx {

namespace {

struct DriverBlock {
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    std::u16string name;
    // The mapped image of a driver loaded from its file; null for a linked-in one.
    std::unique_ptr<detail::DriverImage> image;
    // Its devices deleted while still referenced, and an unload that waits for
    // their last references, run then by a system worker.
    std::set<PDEVICE_OBJECT> dying;
    bool unloadPending = false;
    WORK_QUEUE_ITEM unloadItem{};
};

std::map<PDRIVER_OBJECT, std::unique_ptr<DriverBlock>> drivers;
std::map<std::u16string, PDEVICE_OBJECT> deviceNames;
std::set<PDEVICE_OBJECT> devices;
std::unordered_map<PIRP, IrpRecord> irps;
UCHAR wdmMajor = 1;
UCHAR wdmMinor = 0x20;
KSPIN_LOCK cancelSpinLock;

std::string DeviceText(PDEVICE_OBJECT device) {
    std::string text = "device " + detail::Hex(device);
    if (device && device->DeviceObjectExtension && !device->DeviceObjectExtension->name.empty())
        text += " (" + ToUtf8(device->DeviceObjectExtension->name) + ")";
    return text;
}

std::string IrpText(PIRP irp) {
    return "IRP " + detail::Hex(irp);
}

// The device object and its extension are one block, the extension after the
// object rounded up to 16 bytes.
size_t DeviceHeadSize() {
    return (sizeof(DEVICE_OBJECT) + 15) & ~size_t(15);
}

// A deleted device's memory goes with its last reference (its own, a file
// object's, ObReferenceObject's): freed for real, so that a touch afterwards is a
// use after free. Requests in it hold no reference, as on the platform; the
// verifier's record of them forgets the device.
void NTAPI RunDeferredUnload(PVOID Parameter);

void DereferenceDeviceLocked(PDEVICE_OBJECT device) {
    auto* ext = device->DeviceObjectExtension;
    if (--ext->references == 0 && ext->deleted) {
        auto driver = drivers.find(device->DriverObject);
        if (driver != drivers.end() && driver->second->dying.erase(device) != 0 &&
            driver->second->dying.empty() && driver->second->unloadPending) {
            DriverBlock& block = *driver->second;
            detail::DriverScope scope(nullptr);
            ExInitializeWorkItem(&block.unloadItem, RunDeferredUnload, &block.object);
            ExQueueWorkItem(&block.unloadItem, DelayedWorkQueue);
        }
        detail::ForgetQueuedObjectsIn(device, DeviceHeadSize() + ext->extensionSize,
                                      [device] { return DeviceText(device) + " freed"; });
        for (auto& entry : irps) {
            for (auto& level : entry.second.levels) {
                if (level.device == device) {
                    level.goneDevice = DeviceText(device) + ", deleted";
                    level.device = nullptr;
                }
            }
        }
        delete ext;
        std::free(device);
    }
}

void ReleaseLevelLocked(PIRP irp, LevelTrack& level) {
    if (level.device == nullptr)
        return;
    auto* ext = level.device->DeviceObjectExtension;
    auto it = ext->activeIrps.find(irp);
    if (it != ext->activeIrps.end())
        ext->activeIrps.erase(it);
    level.device = nullptr;
}

// The pending rule, checked once both the dispatch routine has returned and the
// completion has passed its stack location (so the mark is final).
void CheckPendingRule(PIRP irp, bool returnedPending, bool marked,
                      std::vector<std::pair<Rule, std::string>>& findings) {
    if (returnedPending && !marked)
        findings.push_back({Rule::PendingNotMarked, IrpText(irp)});
    else if (!returnedPending && marked)
        findings.push_back({Rule::MarkedNotPending, IrpText(irp)});
}

void ReportAll(const std::vector<std::pair<Rule, std::string>>& findings) {
    for (const auto& f : findings)
        detail::Report(f.first, f.second);
}

// IRPs come from special pool, as with I/O Verification (Driver Verifier, WDK):
// an IRP given back with IoFreeIrp is inaccessible at once and its address is
// quarantined, so that a stale pointer to it faults and can never reach a newer
// IRP. The verifier's record of a freed IRP goes when no call of the I/O manager
// still has it in hand.
void ForgetFreedIrpLocked(PIRP irp) {
    irps.erase(irp);
}

void DropCallReference(PIRP irp) {
    std::lock_guard<std::mutex> guard(IoMutex());
    auto it = irps.find(irp);
    if (it != irps.end() && --it->second.callRefs == 0 && it->second.freed)
        ForgetFreedIrpLocked(irp);
}

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    (void)DeviceObject;
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

} // namespace

std::mutex& IoMutex() {
    static std::mutex mutex;
    return mutex;
}

// System buffers come from special pool too: a driver that writes past the
// buffer it was given faults there, as it would corrupt pool on the platform.
void* NewSystemBuffer(size_t size, const void* input, size_t inputLength) {
    auto* buffer =
        static_cast<char*>(detail::SpecialAllocate(size, detail::SpecialKind::SystemBuffer, 0));
    if (buffer == nullptr) {
        std::fprintf(stderr, "hosted kernel: out of address space for a system buffer\n");
        std::abort();
    }
    std::memset(buffer, detail::FreshPoolPattern, size);
    if (input != nullptr && inputLength != 0)
        std::memcpy(buffer, input, inputLength);
    return buffer;
}

void FreeSystemBuffer(void* buffer) {
    detail::SpecialFree(buffer);
}

void SetThreadedCompletion(PIRP irp, size_t outputLength) {
    {
        std::lock_guard<std::mutex> guard(IoMutex());
        irps.at(irp).threaded = true;
    }
    auto caller = detail::CurrentApcQueue();
    SetIrpTopCompletion(irp, [caller, outputLength](PIRP completed) {
        detail::QueueApc(caller, [completed, outputLength] {
            PIRP done = completed;
            auto* buffer = static_cast<char*>(done->AssociatedIrp.SystemBuffer);
            if ((done->Flags & IRP_INPUT_OPERATION) && done->UserBuffer && buffer &&
                !NT_ERROR(done->IoStatus.Status)) {
                std::memcpy(done->UserBuffer, buffer, CheckedOutputLength(done, outputLength));
            }
            if (done->Flags & IRP_DEALLOCATE_BUFFER)
                FreeSystemBuffer(buffer);
            // A request that failed without pending returned its status to the
            // caller from IoCallDriver, and the I/O manager writes neither the
            // status block nor signals the event: a caller that waits for the event
            // after an error waits for ever ("IoBuildDeviceIoControlRequest" and
            // "IoCallDriver" (WDK): wait only when STATUS_PENDING comes back).
            bool report = !NT_ERROR(done->IoStatus.Status) || done->PendingReturned;
            if (report && done->UserIosb)
                *done->UserIosb = done->IoStatus;
            // The IRP is gone before the waiter runs: a driver that unloads right
            // after its wait must not find it still counted against it.
            PKEVENT event = report ? done->UserEvent : nullptr;
            IoFreeIrp(done);
            if (event)
                KeSetEvent(event, IO_NO_INCREMENT, FALSE);
        });
    });
}

size_t CheckedOutputLength(PIRP irp, size_t outputLength) {
    size_t information = irp->IoStatus.Information;
    if (information <= outputLength)
        return information;
    detail::Report(Rule::OutputOverrun,
                   IrpText(irp) + " completed with Information " + std::to_string(information) +
                       " for an output buffer of " + std::to_string(outputLength) + " bytes");
    return outputLength;
}

size_t OutstandingIrps() {
    std::lock_guard<std::mutex> guard(IoMutex());
    return static_cast<size_t>(
        std::count_if(irps.begin(), irps.end(), [](const auto& e) { return !e.second.freed; }));
}

void SetIrpTopCompletion(PIRP irp, std::function<void(PIRP)> onTop) {
    std::lock_guard<std::mutex> guard(IoMutex());
    irps.at(irp).onTopCompletion = std::move(onTop);
}

PDEVICE_OBJECT LookupDevice(std::u16string_view name) {
    std::lock_guard<std::mutex> guard(IoMutex());
    auto it = deviceNames.find(std::u16string(name));
    return it == deviceNames.end() ? nullptr : it->second;
}

std::u16string DeviceName(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(IoMutex());
    return device->DeviceObjectExtension->name;
}

PDEVICE_OBJECT AttachedTo(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(IoMutex());
    return device->DeviceObjectExtension->attachedTo;
}

bool DeviceExists(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(IoMutex());
    return devices.count(device) != 0;
}

void SetWdmVersion(UCHAR major, UCHAR minor) {
    wdmMajor = major;
    wdmMinor = minor;
}

namespace {

PDRIVER_OBJECT StartDriver(PDRIVER_INITIALIZE entry, std::u16string_view name, NTSTATUS* status,
                           std::unique_ptr<detail::DriverImage> image) {
    auto block = std::make_unique<DriverBlock>();
    detail::DriverImage* mapped = image.get();
    block->image = std::move(image);
    block->name = u"\\Driver\\" + std::u16string(name);
    PDRIVER_OBJECT driver = &block->object;
    driver->Type = IO_TYPE_DRIVER;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = &block->extension;
    block->extension.DriverObject = driver;
    driver->DriverName.Buffer = reinterpret_cast<PWSTR>(block->name.data());
    driver->DriverName.Length = static_cast<USHORT>(block->name.size() * 2);
    driver->DriverName.MaximumLength = driver->DriverName.Length;
    driver->DriverInit = entry;
    // Where the image lies, as the I/O manager records it for a loaded driver
    // ("DRIVER_OBJECT structure", WDK); a driver linked into the host has none.
    if (mapped != nullptr) {
        driver->DriverStart = const_cast<void*>(mapped->Base());
        driver->DriverSize = ULONG(mapped->Size());
    }
    for (auto& slot : driver->MajorFunction)
        slot = InvalidDeviceRequest;

    std::u16string registryPath =
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + std::u16string(name);
    UNICODE_STRING path{static_cast<USHORT>(registryPath.size() * 2),
                        static_cast<USHORT>(registryPath.size() * 2),
                        reinterpret_cast<PWSTR>(registryPath.data())};
    {
        std::lock_guard<std::mutex> guard(IoMutex());
        drivers[driver] = std::move(block);
    }
    NTSTATUS result;
    {
        detail::DriverScope scope(driver);
        result = entry(driver, &path);
    }
    if (status)
        *status = result;
    if (NT_SUCCESS(result) && mapped != nullptr)
        mapped->DiscardInitSections();
    if (!NT_SUCCESS(result)) {
        detail::CheckPoolLeaks(driver);
        detail::ForgetDriverPool(driver);
        std::lock_guard<std::mutex> guard(IoMutex());
        drivers.erase(driver);
        return nullptr;
    }
    return driver;
}

} // namespace

PDRIVER_OBJECT LoadDriver(PDRIVER_INITIALIZE entry, std::u16string_view name, NTSTATUS* status) {
    detail::RequireIrqlAtMost(PASSIVE_LEVEL, "LoadDriver");
    return StartDriver(entry, name, status, nullptr);
}

PDRIVER_OBJECT LoadDriverImage(const std::string& path, std::u16string_view name, NTSTATUS* status,
                               std::string* error) {
    detail::RequireIrqlAtMost(PASSIVE_LEVEL, "LoadDriverImage");
    std::string why;
    std::unique_ptr<detail::DriverImage> image = detail::DriverImage::Load(path, &why);
    if (!image) {
        // The system's loader refuses an image with an entry point it cannot
        // resolve with STATUS_PROCEDURE_NOT_FOUND and logs the name.
        bool missing = why.find("does not export") != std::string::npos;
        if (status)
            *status = missing ? STATUS_PROCEDURE_NOT_FOUND : STATUS_INVALID_IMAGE_FORMAT;
        if (error)
            *error = why;
        DbgPrint("%s\n", why.c_str());
        return nullptr;
    }
    PDRIVER_INITIALIZE entry = image->Entry();
    return StartDriver(entry, name, status, std::move(image));
}

namespace {

// Image code still on a stack once the unload routine has returned would run in
// unmapped memory. A DPC runs at DISPATCH_LEVEL, where Windows never preempts it:
// one that gave back its last hold as its last act has returned long before the
// unload gets here, so the processors are given a moment for that. A work item
// runs in a thread that may be preempted anywhere: "ExQueueWorkItem routine" (WDK)
// asks device drivers to use IoQueueWorkItem, whose reference to the device object
// keeps the driver loaded until the routine has returned.
void CheckNoImageCodeRunning(PDRIVER_OBJECT driver) {
    detail::AwaitDpcRoutinesOf(driver, std::chrono::seconds(2));
    std::vector<std::string> routines = detail::DpcRoutinesRunning(driver);
    for (std::string& routine : detail::WorkRoutinesRunning(driver))
        routines.push_back(std::move(routine));
    for (const std::string& routine : routines) {
        detail::Report(Rule::ImageCodeRunningAtUnload, ToUtf8(ToU16(driver->DriverName)) +
                                                           " unloaded while " + routine +
                                                           " of it is still running");
    }
}

void FinishUnload(PDRIVER_OBJECT driver) {
    if (driver->DriverUnload != nullptr) {
        detail::DriverScope scope(driver);
        driver->DriverUnload(driver);
    }
    CheckNoImageCodeRunning(driver);
    detail::CheckPoolLeaks(driver);
    detail::CheckIrpLeaks(driver);
    detail::CheckDriverObjects(driver);
    detail::ForgetDriverPool(driver);
    std::unique_ptr<DriverBlock> block;
    {
        std::lock_guard<std::mutex> guard(IoMutex());
        for (auto& entry : irps) {
            if (entry.second.allocator == driver)
                entry.second.allocator = nullptr;
        }
        block = std::move(drivers[driver]);
        drivers.erase(driver);
    }
    // Nothing may run in the image once it is unmapped.
    if (block && block->image) {
        const detail::DriverImage& image = *block->image;
        detail::ForgetQueuedObjectsIn(
            image.Base(), image.Size(), [&image] { return image.FileName() + " unloaded"; },
            Rule::ImageUnloadedWithWorkQueued);
    }
}

void NTAPI RunDeferredUnload(PVOID Parameter) {
    FinishUnload(static_cast<PDRIVER_OBJECT>(Parameter));
}

} // namespace

// The system unloads a driver once its last device object is gone: a device
// deleted while something still references it (an IoQueueWorkItem item, an open
// handle) puts the unload off until the last reference goes.
void UnloadDriver(PDRIVER_OBJECT driver) {
    detail::RequireIrqlAtMost(PASSIVE_LEVEL, "UnloadDriver");
    {
        // A driver already unloaded (a test's own unload before its world's).
        std::lock_guard<std::mutex> guard(IoMutex());
        auto block = drivers.find(driver);
        if (block == drivers.end() || block->second->unloadPending)
            return;
    }
    if (driver->DeviceObject != nullptr) {
        detail::Report(Rule::DriverUnloadedWithDevices, ToUtf8(ToU16(driver->DriverName)) +
                                                            " still has " +
                                                            DeviceText(driver->DeviceObject));
    }
    {
        std::lock_guard<std::mutex> guard(IoMutex());
        auto block = drivers.find(driver);
        if (block != drivers.end() && !block->second->dying.empty()) {
            block->second->unloadPending = true;
            return;
        }
    }
    FinishUnload(driver);
}

// Irp->Cancel is the one IRP field that the platform writes and drivers read with
// no lock in common: IoCancelIrp sets it under the cancel spin lock, and a driver
// reads it right after its interlocked exchange of CancelRoutine, whichever way
// that race goes (the exchange decides who owns the request). On Windows the
// exchange is a full barrier; ThreadSanitizer cannot see that the plain byte read
// is ordered by it, so under TSan exactly this byte of every IRP is declared a
// benign race.
#if defined(__SANITIZE_THREAD__)
#define KX_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KX_TSAN 1
#endif
#endif
#if defined(KX_TSAN)
extern "C" void AnnotateBenignRaceSized(const char* file, int line, const volatile void* memory,
                                        unsigned long size, const char* description);
void AnnotateCancelFlag(PIRP irp) {
    AnnotateBenignRaceSized(__FILE__, __LINE__, &irp->Cancel, sizeof irp->Cancel,
                            "Irp->Cancel: set by IoCancelIrp, read by drivers");
}
#else
void AnnotateCancelFlag(PIRP) {}
#endif

PIRP AllocateIrpAt(CCHAR StackSize, uintptr_t site) {
    detail::RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp");
    if (detail::ShouldFail(AllocationKind::Irp, 0, site))
        return nullptr;
    USHORT size = IoSizeOfIrp(StackSize);
    constexpr ULONG IrpTag = 0x20707249; // "Irp ", as the platform tags IRPs
    auto* irp = static_cast<PIRP>(detail::SpecialAllocate(size, detail::SpecialKind::Irp, IrpTag));
    if (irp == nullptr)
        return nullptr;
    IoInitializeIrp(irp, size, StackSize);
    std::lock_guard<std::mutex> guard(IoMutex());
    IrpRecord& record = irps[irp];
    record = IrpRecord{};
    record.allocator = detail::Self().currentDriver;
    record.size = size;
    record.levels.resize(static_cast<size_t>(StackSize) + 2);
    return irp;
}

namespace detail {

void CheckIrpLeaks(PDRIVER_OBJECT driver) {
    size_t leaked = 0;
    {
        std::lock_guard<std::mutex> guard(IoMutex());
        for (const auto& entry : irps) {
            if (!entry.second.freed && (driver == nullptr || entry.second.allocator == driver))
                ++leaked;
        }
    }
    if (leaked != 0) {
        Report(Rule::IrpLeak, std::to_string(leaked) + " IRP(s) never freed" +
                                  (driver ? " by " + ToUtf8(ToU16(driver->DriverName)) : ""));
    }
}

void ShutdownIo() {
    CheckIrpLeaks(nullptr);
    std::vector<std::string> remaining;
    {
        std::lock_guard<std::mutex> guard(IoMutex());
        for (PDEVICE_OBJECT device : devices)
            remaining.push_back(DeviceText(device));
    }
    for (const auto& text : remaining)
        Report(Rule::DriverUnloadedWithDevices, "shutdown with " + text + " remaining");
}

void ResetIo() {
    std::lock_guard<std::mutex> guard(IoMutex());
    // The IRPs' memory goes with the rest of special pool (ResetPool).
    irps.clear();
    for (PDEVICE_OBJECT device : devices) {
        delete device->DeviceObjectExtension;
        std::free(device);
    }
    devices.clear();
    deviceNames.clear();
    drivers.clear();
    wdmMajor = 1;
    wdmMinor = 0x20;
    cancelSpinLock = 0;
}

} // namespace detail
} // namespace kx

using namespace kx;
using namespace kx::detail;

extern "C" {

BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
    return MajorVersion < wdmMajor || (MajorVersion == wdmMajor && MinorVersion <= wdmMinor);
}

// ---- Devices -------------------------------------------------------------------------------

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateDevice");
    *DeviceObject = nullptr;
    // The device object comes from pool on the platform, so it can fail as pool does.
    constexpr ULONG DeviceTag = 0x69766544; // "Devi"
    if (ShouldFail(AllocationKind::Pool, DeviceTag,
                   reinterpret_cast<uintptr_t>(__builtin_return_address(0))))
        return STATUS_INSUFFICIENT_RESOURCES;
    std::u16string name = DeviceName ? ToU16(*DeviceName) : std::u16string();

    std::lock_guard<std::mutex> guard(IoMutex());
    if (!name.empty() && deviceNames.count(name) != 0)
        return STATUS_OBJECT_NAME_COLLISION;
    size_t head = DeviceHeadSize();
    auto* device = static_cast<PDEVICE_OBJECT>(std::calloc(1, head + DeviceExtensionSize));
    if (device == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    auto* ext = new _DEVOBJ_EXTENSION;
    ext->device = device;
    ext->name = name;
    ext->extensionSize = DeviceExtensionSize;
    device->Type = IO_TYPE_DEVICE;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT));
    device->DriverObject = DriverObject;
    device->DeviceExtension =
        DeviceExtensionSize ? reinterpret_cast<char*>(device) + head : nullptr;
    device->DeviceType = DeviceType;
    device->Characteristics = DeviceCharacteristics;
    device->StackSize = 1;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    device->DeviceObjectExtension = ext;
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    devices.insert(device);
    if (!name.empty())
        deviceNames[name] = device;
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

void NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoDeleteDevice");
    auto* ext = DeviceObject->DeviceObjectExtension;
    std::vector<std::pair<Rule, std::string>> findings;
    {
        std::lock_guard<std::mutex> guard(IoMutex());
        // The request whose dispatch deletes the device (IRP_MN_REMOVE_DEVICE) is
        // legitimately still in it. A request handed to a system worker is not: it
        // holds no reference, and the worker would find the device gone.
        std::set<PIRP> inDispatch;
        for (const auto& frame : Self().dispatchFrames) {
            if (frame.first == DeviceObject)
                inDispatch.insert(frame.second);
        }
        size_t busy = 0;
        for (PIRP irp : ext->activeIrps) {
            if (inDispatch.count(irp) == 0)
                ++busy;
        }
        if (busy != 0) {
            findings.push_back({Rule::DeviceDeletedBusy, DeviceText(DeviceObject) + " has " +
                                                             std::to_string(busy) +
                                                             " request(s) outstanding"});
        }
        if (ext->attachedTo != nullptr) {
            findings.push_back({Rule::DeviceStillAttached, DeviceText(DeviceObject) +
                                                               " is still attached to " +
                                                               DeviceText(ext->attachedTo)});
        }
    }
    ReportAll(findings);
    ForgetDeviceInterfacesOf(DeviceObject);
    if (DeviceObject->DeviceExtension != nullptr) {
        CheckRemoveLocksIn(DeviceObject->DeviceExtension, ext->extensionSize,
                           DeviceText(DeviceObject));
        ForgetRemoveLocksIn(DeviceObject->DeviceExtension, ext->extensionSize);
        ForgetLocksIn(DeviceObject->DeviceExtension, ext->extensionSize);
    }

    std::lock_guard<std::mutex> guard(IoMutex());
    if (!ext->name.empty())
        deviceNames.erase(ext->name);
    PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
    while (*link != nullptr && *link != DeviceObject)
        link = &(*link)->NextDevice;
    if (*link == DeviceObject)
        *link = DeviceObject->NextDevice;
    devices.erase(DeviceObject);
    ext->deleted = true;
    if (ext->references > 1) {
        auto driver = drivers.find(DeviceObject->DriverObject);
        if (driver != drivers.end())
            driver->second->dying.insert(DeviceObject);
    }
    DereferenceDeviceLocked(DeviceObject);
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                 PDEVICE_OBJECT TargetDevice) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoAttachDeviceToDeviceStack");
    std::lock_guard<std::mutex> guard(IoMutex());
    PDEVICE_OBJECT top = TargetDevice;
    while (top->AttachedDevice != nullptr)
        top = top->AttachedDevice;
    if (top->DeviceObjectExtension->deleted)
        return nullptr;
    top->AttachedDevice = SourceDevice;
    SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    SourceDevice->DeviceObjectExtension->attachedTo = top;
    return top;
}

void NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoDetachDevice");
    std::lock_guard<std::mutex> guard(IoMutex());
    PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
    if (above != nullptr)
        above->DeviceObjectExtension->attachedTo = nullptr;
    TargetDevice->AttachedDevice = nullptr;
}

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    std::lock_guard<std::mutex> guard(IoMutex());
    PDEVICE_OBJECT top = DeviceObject;
    while (top->AttachedDevice != nullptr)
        top = top->AttachedDevice;
    top->DeviceObjectExtension->references++;
    return top;
}

void NTAPI ObReferenceObject(PVOID Object) {
    auto* device = static_cast<PDEVICE_OBJECT>(Object);
    if (device->Type != IO_TYPE_DEVICE)
        return;
    std::lock_guard<std::mutex> guard(IoMutex());
    device->DeviceObjectExtension->references++;
}

void NTAPI ObDereferenceObject(PVOID Object) {
    auto* device = static_cast<PDEVICE_OBJECT>(Object);
    if (device->Type != IO_TYPE_DEVICE)
        return;
    std::lock_guard<std::mutex> guard(IoMutex());
    DereferenceDeviceLocked(device);
}

// ---- IRPs ----------------------------------------------------------------------------------

void NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    std::memset(Irp, 0, PacketSize);
    kx::AnnotateCancelFlag(Irp);
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
    InitializeListHead(&Irp->ThreadListEntry);
    Irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;
}

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    (void)ChargeQuota;
    return AllocateIrpAt(StackSize, reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
}

void NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Status) {
    UCHAR allocationFlags = Irp->AllocationFlags;
    IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = allocationFlags;
    Irp->IoStatus.Status = Status;
    std::lock_guard<std::mutex> guard(IoMutex());
    auto it = irps.find(Irp);
    if (it != irps.end()) {
        it->second.state = IrpState::Owned;
        for (auto& level : it->second.levels)
            level = LevelTrack{};
    }
}

void NTAPI IoFreeIrp(PIRP Irp) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeIrp");
    std::vector<std::pair<Rule, std::string>> findings;
    bool freeMemory = false;
    {
        std::lock_guard<std::mutex> guard(IoMutex());
        auto it = irps.find(Irp);
        if (it == irps.end() || it->second.freed) {
            findings.push_back({Rule::IrpNotLive, "IoFreeIrp of " + IrpText(Irp) +
                                                      " (freed twice or never allocated)"});
        } else {
            IrpRecord& record = it->second;
            // Only the I/O manager frees a threaded IRP, after its completion has
            // reached the top ("IoBuildDeviceIoControlRequest" and
            // "IoBuildSynchronousFsdRequest" (WDK): the caller must not call
            // IoFreeIrp; the I/O manager frees the IRP after IoCompleteRequest).
            if (record.threaded && record.state != IrpState::Completed) {
                findings.push_back(
                    {Rule::ThreadedIrpFreed, "IoFreeIrp of " + IrpText(Irp) +
                                                 ", built by the I/O manager for a thread and not "
                                                 "completed"});
            }
            for (size_t location = 1; location < record.levels.size(); ++location) {
                LevelTrack& level = record.levels[location];
                if ((level.device != nullptr || !level.goneDevice.empty()) && !level.completed) {
                    findings.push_back(
                        {Rule::IrpFreedWhileInUse,
                         IrpText(Irp) + " is still in " +
                             (level.device ? DeviceText(level.device) : level.goneDevice)});
                }
                // Completion stopped below this location for good: the mark is final.
                bool marked = location <= static_cast<size_t>(Irp->StackCount) &&
                              (reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1)[location - 1].Control &
                               SL_PENDING_RETURNED) != 0;
                for (const auto& check : level.waitingChecks)
                    CheckPendingRule(Irp, check.second, marked, findings);
                level.waitingChecks.clear();
                ReleaseLevelLocked(Irp, level);
            }
            record.freed = true;
            if (record.callRefs == 0)
                ForgetFreedIrpLocked(Irp);
            freeMemory = true;
        }
    }
    if (freeMemory)
        detail::SpecialFree(Irp);
    ReportAll(findings);
}

} // extern "C"

namespace {

// IofCallDriver. When checkReturn is false the dispatch routine's return goes to
// nobody (a power IRP the power manager held back: its sender has already seen
// STATUS_PENDING and the stack location carries the pending mark), so the pending
// rule does not apply to it, nor to the dispatch routines that a driver passing the
// request on with the same stack location (IoSkipCurrentIrpStackLocation) calls
// from it: their returns end there too.
void CompleteRequest(PIRP Irp, CCHAR PriorityBoost);

// How deep IofCallDriver may nest on one thread. An x86 kernel thread has 12 KB of
// stack, of which the system service entry and the I/O manager above the driver's
// dispatch routine use some 3 KB, and an interrupt taken on top of the deepest
// frame needs its own. A request sent down again from its own completion routine
// adds per turn the driver's completion routine and the routine that sends the next
// piece (64 + 48 bytes in the x86 build's -fstack-usage for the write path, more
// with the calls' arguments and return addresses), plus the platform's frames of
// IofCallDriver, IofCompleteRequest and the USB hub and port drivers' dispatch and
// completion: some 0.6 KB a turn, so about 15 turns exhaust what is left. A
// legitimate stack nests a handful of calls (the port, the hub, the host
// controller, a completion that sends once more); 8 leaves half the budget free,
// and a recursion whose depth grows with the data is caught at its 9th level.
constexpr unsigned MaxCallDriverNesting = 8;

// A dispatch routine in progress on this thread, with what the calls it made to
// pass the same IRP down returned.
struct CallFrame {
    PIRP irp;
    std::vector<NTSTATUS> lowerReturns;
};
thread_local std::vector<CallFrame> callFrames;

// A dispatch routine that returns anything but STATUS_PENDING has completed the
// IRP, or passed it down and the lower driver has, and returns the status it
// completed with or what IoCallDriver returned for it ("Enhanced I/O Verification"
// and the CompleteRequestStatusCheck rule (WDK): the status returned matches the
// IRP's I/O status). A driver that keeps the IRP and returns a status anyway lets
// its caller free or reuse a request still in use.
void CheckReturnedStatus(PIRP irp, PDEVICE_OBJECT device, const LevelTrack& level, unsigned call,
                         NTSTATUS returned, const std::vector<NTSTATUS>& lowerReturns,
                         std::vector<std::pair<Rule, std::string>>& findings) {
    if (level.statuses.size() <= call) {
        findings.push_back({Rule::DispatchReturnedWithIrpOutstanding,
                            "dispatch of " + IrpText(irp) + " by " + DeviceText(device) +
                                " returned " + Hex(static_cast<ULONG>(returned)) +
                                " while the IRP is neither completed nor passed down"});
        return;
    }
    NTSTATUS completed = level.statuses[call];
    if (returned == completed || completed == STATUS_PENDING ||
        std::find(lowerReturns.begin(), lowerReturns.end(), returned) != lowerReturns.end())
        return;
    findings.push_back({Rule::DispatchStatusMismatch,
                        "dispatch of " + IrpText(irp) + " by " + DeviceText(device) + " returned " +
                            Hex(static_cast<ULONG>(returned)) + " for an IRP completed with " +
                            Hex(static_cast<ULONG>(completed))});
}

NTSTATUS CallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp, bool checkReturn) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "IofCallDriver");
    sched::Point("IoCallDriver");
    size_t location;
    bool checked;
    unsigned call;
    {
        std::unique_lock<std::mutex> guard(IoMutex());
        auto it = irps.find(Irp);
        if (it == irps.end() || it->second.freed) {
            guard.unlock();
            Report(Rule::IrpNotLive, "IofCallDriver with " + IrpText(Irp));
            return STATUS_INVALID_PARAMETER;
        }
        if (Irp->CurrentLocation <= 1) {
            guard.unlock();
            Report(Rule::NoMoreStackLocations, IrpText(Irp) + " sent to " +
                                                   DeviceText(DeviceObject) +
                                                   " with no location left");
            return STATUS_INVALID_PARAMETER;
        }
        IoSetNextIrpStackLocation(Irp);
        location = static_cast<size_t>(Irp->CurrentLocation);
        IrpRecord& record = it->second;
        LevelTrack& level = record.levels[location];
        if (level.outstandingDispatches == 0) {
            ReleaseLevelLocked(Irp, level);
            level = LevelTrack{};
        }
        if (level.device == nullptr) {
            level.device = DeviceObject;
            DeviceObject->DeviceObjectExtension->activeIrps.insert(Irp);
        }
        if (!checkReturn)
            level.heldBack = true;
        checked = !level.heldBack;
        call = static_cast<unsigned>(level.marks.size());
        level.outstandingDispatches++;
        record.callRefs++;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    stack->DeviceObject = DeviceObject;
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];

    ThreadState& self = Self();
    KIRQL irql = self.irql;
    if (++self.callDepth == MaxCallDriverNesting + 1) {
        Report(Rule::CallDriverTooDeep,
               "IofCallDriver of " + IrpText(Irp) + " to " + DeviceText(DeviceObject) + " nested " +
                   std::to_string(self.callDepth) + " deep on one thread (at most " +
                   std::to_string(MaxCallDriverNesting) +
                   "): a request is sent down again from its completion routine, recursively");
    }
    self.dispatchFrames.push_back({DeviceObject, Irp});
    callFrames.push_back({Irp, {}});
    NTSTATUS status;
    {
        DriverScope scope(DeviceObject->DriverObject);
        status = dispatch(DeviceObject, Irp);
    }
    CallFrame frame = std::move(callFrames.back());
    callFrames.pop_back();
    if (!callFrames.empty() && callFrames.back().irp == Irp)
        callFrames.back().lowerReturns.push_back(status);
    self.dispatchFrames.pop_back();
    self.callDepth--;
    if (self.irql != irql) {
        Report(Rule::IrqlNotRestored, "dispatch of " + IrpText(Irp) + " by " +
                                          DeviceText(DeviceObject) + " returned at IRQL " +
                                          std::to_string(self.irql) + ", entered at " +
                                          std::to_string(irql));
    }

    std::vector<std::pair<Rule, std::string>> findings;
    {
        std::lock_guard<std::mutex> guard(IoMutex());
        IrpRecord& record = irps.at(Irp);
        LevelTrack& level = record.levels[location];
        level.outstandingDispatches--;
        if (checked && level.marks.size() > call)
            CheckPendingRule(Irp, status == STATUS_PENDING, level.marks[call], findings);
        else if (checked)
            level.waitingChecks.push_back({call, status == STATUS_PENDING});
        if (checked && status != STATUS_PENDING)
            CheckReturnedStatus(Irp, DeviceObject, level, call, status, frame.lowerReturns,
                                findings);
    }
    ReportAll(findings);
    DropCallReference(Irp);
    return status;
}

} // namespace

namespace kx {

NTSTATUS CallDriverHeldBack(PDEVICE_OBJECT device, PIRP irp) {
    return CallDriver(device, irp, false);
}

NTSTATUS CallPowerDriver(PDEVICE_OBJECT device, PIRP irp) {
    return CallDriver(device, irp, true);
}

} // namespace kx

extern "C" {

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (IoGetNextIrpStackLocation(Irp)->MajorFunction == IRP_MJ_POWER) {
        PDRIVER_OBJECT caller = Self().currentDriver;
        Report(Rule::PowerIrpWithoutPoCallDriver,
               IrpText(Irp) + " sent to " + DeviceText(DeviceObject) +
                   (caller ? " by " + ToUtf8(ToU16(caller->DriverName)) : std::string()));
    }
    return CallDriver(DeviceObject, Irp, true);
}

void FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    CompleteRequest(Irp, PriorityBoost);
    // A completion queued to this very thread at PASSIVE_LEVEL runs at once, as
    // the APC interrupt it requests is taken on the spot.
    DeliverApcs();
}

} // extern "C"

namespace {

void CompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    (void)PriorityBoost;
    RequireIrqlAtMost(DISPATCH_LEVEL, "IofCompleteRequest");
    sched::Point("IoCompleteRequest");
    unsigned cycle;
    {
        std::unique_lock<std::mutex> guard(IoMutex());
        auto it = irps.find(Irp);
        if (it == irps.end() || it->second.freed) {
            guard.unlock();
            Report(Rule::IrpCompletedTwice,
                   IrpText(Irp) + " no longer exists: it was completed before");
            return;
        }
        if (it->second.state != IrpState::Owned && it->second.state != IrpState::InRoutine) {
            guard.unlock();
            Report(Rule::IrpCompletedTwice, IrpText(Irp) + " is already completed");
            return;
        }
        it->second.state = IrpState::Completing;
        cycle = ++it->second.completionCycle;
        it->second.callRefs++;
    }
    if (Irp->IoStatus.Status == STATUS_PENDING)
        Report(Rule::IrpCompletedPending, IrpText(Irp));
    // IoCancelIrp may exchange the routine on another processor at any time.
    if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST) != nullptr)
        Report(Rule::IrpCompletedWithCancelRoutine, IrpText(Irp));

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    for (Irp->CurrentLocation++, Irp->Tail.Overlay.CurrentStackLocation++;
         Irp->CurrentLocation <= Irp->StackCount + 1;
         stack++, Irp->CurrentLocation++, Irp->Tail.Overlay.CurrentStackLocation++) {
        size_t location = static_cast<size_t>(Irp->CurrentLocation - 1);
        UCHAR control = stack->Control;
        Irp->PendingReturned = (control & SL_PENDING_RETURNED) != 0;
        std::vector<std::pair<Rule, std::string>> findings;
        {
            std::lock_guard<std::mutex> guard(IoMutex());
            IrpRecord& record = irps.at(Irp);
            LevelTrack& level = record.levels[location];
            level.completed = true;
            level.marks.push_back(Irp->PendingReturned);
            level.statuses.push_back(Irp->IoStatus.Status);
            const unsigned completion = static_cast<unsigned>(level.marks.size() - 1);
            auto& waiting = level.waitingChecks;
            for (auto check = waiting.begin(); check != waiting.end();) {
                if (check->first == completion) {
                    CheckPendingRule(Irp, check->second, Irp->PendingReturned, findings);
                    check = waiting.erase(check);
                } else {
                    ++check;
                }
            }
            if (level.outstandingDispatches == 0)
                ReleaseLevelLocked(Irp, level);
        }
        ReportAll(findings);

        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke = (NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                      (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                      (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL));
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        // Cleared as the platform clears each location completion passes: a
        // completion routine that reads its parameters back finds zeros.
        stack->MinorFunction = 0;
        stack->Flags = 0;
        stack->Control = 0;
        stack->Parameters.Others.Argument1 = nullptr;
        stack->Parameters.Others.Argument2 = nullptr;
        stack->Parameters.Others.Argument3 = nullptr;
        stack->Parameters.Others.Argument4 = nullptr;
        stack->FileObject = nullptr;

        if (routine != nullptr && invoke) {
            bool top = Irp->CurrentLocation == Irp->StackCount + 1;
            PDEVICE_OBJECT device = top ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            PDRIVER_OBJECT driver;
            {
                std::lock_guard<std::mutex> guard(IoMutex());
                driver = device ? device->DriverObject : irps.at(Irp).allocator;
            }
            {
                std::lock_guard<std::mutex> guard(IoMutex());
                irps.at(Irp).state = IrpState::InRoutine;
            }
            KIRQL irql = Self().irql;
            NTSTATUS result;
            {
                DriverScope scope(driver);
                result = routine(device, Irp, context);
            }
            if (Self().irql != irql) {
                Report(Rule::IrqlNotRestored, "completion routine of " + IrpText(Irp) +
                                                  " returned at IRQL " +
                                                  std::to_string(Self().irql));
            }
            bool completedAgain;
            {
                std::lock_guard<std::mutex> guard(IoMutex());
                IrpRecord& record = irps.at(Irp);
                completedAgain = record.completionCycle != cycle;
                if (!completedAgain)
                    record.state = result == STATUS_MORE_PROCESSING_REQUIRED ? IrpState::Owned
                                                                             : IrpState::Completing;
            }
            if (result == STATUS_MORE_PROCESSING_REQUIRED) {
                DropCallReference(Irp);
                return;
            }
            if (completedAgain) {
                // The IRP was completed again while this routine ran, yet the
                // routine let this completion go on.
                Report(Rule::IrpCompletedTwice,
                       IrpText(Irp) + " was completed again while its completion routine ran");
                DropCallReference(Irp);
                return;
            }
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
    }

    std::function<void(PIRP)> onTop;
    {
        std::lock_guard<std::mutex> guard(IoMutex());
        IrpRecord& record = irps.at(Irp);
        record.state = IrpState::Completed;
        onTop = record.onTopCompletion;
    }
    if (onTop) {
        onTop(Irp);
    } else {
        Report(Rule::DriverIrpCompletedToTop,
               IrpText(Irp) + ": its completion routine must free it and return "
                              "STATUS_MORE_PROCESSING_REQUIRED");
    }
    DropCallReference(Irp);
}

} // namespace

extern "C" {

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                         PVOID InputBuffer, ULONG InputBufferLength,
                                         PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
    PIRP irp = AllocateIrpAt(DeviceObject->StackSize,
                             reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
    if (irp == nullptr)
        return nullptr;
    irp->RequestorMode = KernelMode;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction =
        InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;

    if (METHOD_FROM_CTL_CODE(IoControlCode) == METHOD_NEITHER) {
        next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    } else {
        ULONG size = std::max(InputBufferLength, OutputBufferLength);
        if (size != 0) {
            irp->AssociatedIrp.SystemBuffer = NewSystemBuffer(size, InputBuffer, InputBufferLength);
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER |
                         (OutputBufferLength ? IRP_INPUT_OPERATION : 0);
        }
    }
    irp->UserBuffer = OutputBuffer;

    SetThreadedCompletion(irp, OutputBufferLength);
    return irp;
}

// ---- Cancellation ---------------------------------------------------------------------------

void NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoAcquireCancelSpinLock");
    KeRaiseIrql(DISPATCH_LEVEL, Irql);
    AcquireSpinLockRaw(&cancelSpinLock, "cancel spin lock");
}

void NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
    if (Self().irql != DISPATCH_LEVEL) {
        Report(Rule::SpinLockWrongIrql,
               "IoReleaseCancelSpinLock at IRQL " + std::to_string(Self().irql));
    }
    if (ReleaseSpinLockRaw(&cancelSpinLock, "cancel spin lock"))
        KeLowerIrql(Irql);
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoCancelIrp");
    sched::Point("IoCancelIrp");
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
    {
        DriverScope scope(device ? device->DriverObject : nullptr);
        // The cancel routine releases the cancel spin lock.
        routine(device, Irp);
    }
    const auto& held = Self().heldLocks;
    bool stillHeld = std::find(held.begin(), held.end(), &cancelSpinLock) != held.end();
    if (stillHeld || Self().irql != irql) {
        Report(Rule::CancelRoutineReturn,
               "cancel routine " + Hex(reinterpret_cast<const void*>(routine)) + " of " +
                   IrpText(Irp) + (stillHeld ? " still holds the cancel spin lock" : "") +
                   " returned at IRQL " + std::to_string(Self().irql) + ", called from " +
                   std::to_string(irql));
        if (stillHeld)
            IoReleaseCancelSpinLock(irql);
    }
    return TRUE;
}

} // extern "C"
