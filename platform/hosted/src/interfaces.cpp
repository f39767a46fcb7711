// Device interfaces: instances of an interface class registered on a physical
// device object, named after the device's instance path and the class GUID, and
// enabled or disabled by the function driver. The name handed back is the
// caller's to free, from pool charged to the calling driver.
#include "io_internal.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace kx {

namespace {

// Pool tag of the symbolic-name buffers the I/O manager hands to drivers.
constexpr ULONG InterfaceNameTag = 0x66496F49; // "IoIf"

struct Registration {
    GUID classGuid;
    PDEVICE_OBJECT pdo;
    std::u16string name;
    bool enabled = false;
};

std::mutex interfacesMutex;
std::vector<Registration> registrations;
std::map<PDEVICE_OBJECT, std::u16string> instancePaths;
// Instance numbers of ROOT\<driver>\<nnnn> paths, per driver name.
std::map<std::u16string, unsigned> rootInstances;

char16_t Upper(char16_t c) {
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
}

bool SameName(std::u16string_view a, std::u16string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](char16_t x, char16_t y) { return Upper(x) == Upper(y); });
}

// A PDO the bus driver gave no identity is named as the platform names a device
// without a bus: ROOT\<driver name>\<four-digit instance>.
std::u16string InstancePathLocked(PDEVICE_OBJECT pdo) {
    auto it = instancePaths.find(pdo);
    if (it != instancePaths.end())
        return it->second;
    std::u16string driver = ToU16(pdo->DriverObject->DriverName);
    driver = driver.substr(driver.rfind(u'\\') + 1);
    std::transform(driver.begin(), driver.end(), driver.begin(), Upper);
    char digits[8];
    std::snprintf(digits, sizeof digits, "%04u", rootInstances[driver]++);
    std::u16string path = u"ROOT\\" + driver + u"\\" + ToU16(digits);
    instancePaths[pdo] = path;
    return path;
}

std::u16string SymbolicName(const std::u16string& instancePath, const GUID& guid,
                            const std::u16string& reference) {
    std::u16string name = u"\\??\\" + instancePath;
    std::replace(name.begin() + 4, name.end(), u'\\', u'#');
    name += u"#" + GuidText(guid);
    if (!reference.empty())
        name += u"\\" + reference;
    return name;
}

} // namespace

std::u16string GuidText(const GUID& guid) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2],
                  guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return ToU16(text);
}

void SetDeviceInstancePath(PDEVICE_OBJECT pdo, std::u16string_view instancePath) {
    std::lock_guard<std::mutex> guard(interfacesMutex);
    instancePaths[pdo] = std::u16string(instancePath);
}

std::u16string DeviceInstancePath(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> guard(interfacesMutex);
    return InstancePathLocked(pdo);
}

std::vector<DeviceInterface> DeviceInterfaces() {
    std::lock_guard<std::mutex> guard(interfacesMutex);
    std::vector<DeviceInterface> list;
    for (const Registration& r : registrations)
        list.push_back({r.classGuid, r.pdo, r.name, r.enabled});
    return list;
}

bool DeviceInterfaceEnabled(std::u16string_view symbolicName) {
    std::lock_guard<std::mutex> guard(interfacesMutex);
    return std::any_of(registrations.begin(), registrations.end(), [&](const Registration& r) {
        return r.enabled && SameName(r.name, symbolicName);
    });
}

namespace detail {

// The device is gone: its interfaces go with it, as the PnP manager removes a
// device node's interfaces when the device is deleted.
void ForgetDeviceInterfacesOf(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> guard(interfacesMutex);
    registrations.erase(std::remove_if(registrations.begin(), registrations.end(),
                                       [pdo](const Registration& r) { return r.pdo == pdo; }),
                        registrations.end());
    instancePaths.erase(pdo);
}

void ResetDeviceInterfaces() {
    std::lock_guard<std::mutex> guard(interfacesMutex);
    registrations.clear();
    instancePaths.clear();
    rootInstances.clear();
}

} // namespace detail
} // namespace kx

using namespace kx;
using namespace kx::detail;

extern "C" {

NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                         const GUID* InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString,
                                         PUNICODE_STRING SymbolicLinkName) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoRegisterDeviceInterface");
    uintptr_t site = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
    // Only the bottom of a device stack is a physical device object.
    if (PhysicalDeviceObject == nullptr || !DeviceExists(PhysicalDeviceObject) ||
        AttachedTo(PhysicalDeviceObject) != nullptr)
        return STATUS_INVALID_DEVICE_REQUEST;
    std::u16string reference = ReferenceString ? ToU16(*ReferenceString) : std::u16string();
    if (reference.find_first_of(u"\\/") != std::u16string::npos)
        return STATUS_INVALID_DEVICE_REQUEST;

    std::u16string name;
    {
        std::lock_guard<std::mutex> guard(interfacesMutex);
        name =
            SymbolicName(InstancePathLocked(PhysicalDeviceObject), *InterfaceClassGuid, reference);
        auto it = std::find_if(registrations.begin(), registrations.end(),
                               [&](const Registration& r) { return r.name == name; });
        if (it == registrations.end())
            registrations.push_back({*InterfaceClassGuid, PhysicalDeviceObject, name, false});
    }

    // The caller frees the name with RtlFreeUnicodeString; a driver that forgets
    // is charged with the leak.
    size_t bytes = name.size() * sizeof(WCHAR);
    auto* buffer = static_cast<PWSTR>(
        AllocatePoolAt(PagedPool, bytes + sizeof(WCHAR), InterfaceNameTag, site));
    if (buffer == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(buffer, name.c_str(), bytes + sizeof(WCHAR));
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = static_cast<USHORT>(bytes);
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoSetDeviceInterfaceState");
    std::u16string name = ToU16(*SymbolicLinkName);
    std::lock_guard<std::mutex> guard(interfacesMutex);
    auto it = std::find_if(registrations.begin(), registrations.end(),
                           [&](const Registration& r) { return SameName(r.name, name); });
    if (it == registrations.end())
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (Enable) {
        if (it->enabled)
            return STATUS_OBJECT_NAME_EXISTS;
        it->enabled = true;
        return STATUS_SUCCESS;
    }
    // Disabling what is not enabled fails, as on the platform.
    if (!it->enabled)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    it->enabled = false;
    return STATUS_SUCCESS;
}

} // extern "C"
