// The registry: an in-memory tree of keys and values for one boot, the kernel
// handles drivers open on keys, the device-node keys of the PnP manager, and the
// run-time library's registry helpers. Value information is laid out exactly as
// the platform lays it out, with the platform's status codes for buffers too small.
#include "pnp_internal.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace kx {

namespace {

constexpr char16_t MachineSystem[] = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet";
// Where the hardware-profile-specific keys of the current profile live.
constexpr char16_t CurrentProfile[] =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current"
    u"\\System\\CurrentControlSet";
// The setup class of COM and LPT ports, under which a port's software key lives.
constexpr char16_t PortsClass[] = u"{4d36e978-e325-11ce-bfc1-08002be10318}";
constexpr char16_t SerialCommKey[] = u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

// Kernel handles look like the platform's: multiples of four with the top bit set.
constexpr uintptr_t KernelHandleBase = static_cast<uintptr_t>(0xFFFFFFFF80000000ull);

struct Key {
    std::u16string name;
    // By upper-case name.
    std::map<std::u16string, std::unique_ptr<Key>> subkeys;
    std::vector<RegistryValue> values;
    std::u16string path; // full path, for messages

    RegistryValue* FindValue(std::u16string_view valueName) {
        std::u16string wanted = detail::UpperCase(valueName);
        auto it = std::find_if(values.begin(), values.end(), [&](const RegistryValue& v) {
            return detail::UpperCase(v.name) == wanted;
        });
        return it == values.end() ? nullptr : &*it;
    }

    void SetValue(std::u16string_view valueName, ULONG type, std::vector<uint8_t> data) {
        if (RegistryValue* existing = FindValue(valueName)) {
            existing->type = type;
            existing->data = std::move(data);
        } else {
            values.push_back({std::u16string(valueName), type, std::move(data)});
        }
    }

    bool DeleteValue(std::u16string_view valueName) {
        RegistryValue* value = FindValue(valueName);
        if (value == nullptr)
            return false;
        values.erase(values.begin() + (value - values.data()));
        return true;
    }
};

struct KernelHandle {
    Key* key = nullptr;
    PDRIVER_OBJECT owner = nullptr;
    ACCESS_MASK access = 0;
};

struct ArmedObjectFault {
    ObjectFault fault;
    uint64_t seen = 0;
};

std::mutex registryMutex;
std::unique_ptr<Key> root;
std::map<uintptr_t, KernelHandle> handles;
uintptr_t handleCount = 0;

std::mutex faultsMutex;
std::vector<ArmedObjectFault> objectFaults;

// Held while a PDO is given an instance path, so that it gets exactly one.
std::mutex instancePathMutex;
std::map<std::u16string, unsigned> rootInstances;

std::string DriverText(PDRIVER_OBJECT driver) {
    return driver ? ToUtf8(ToU16(driver->DriverName)) : std::string("the kernel's caller");
}

// Components of an absolute path; nothing for a relative path or an empty component.
std::optional<std::vector<std::u16string>> SplitPath(std::u16string_view path) {
    if (path.empty() || path[0] != u'\\')
        return std::nullopt;
    std::vector<std::u16string> parts;
    size_t start = 1;
    while (start <= path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string_view::npos)
            end = path.size();
        if (end == start) {
            // A trailing backslash is tolerated; an empty inner component is not.
            if (end == path.size() && !parts.empty())
                break;
            return std::nullopt;
        }
        parts.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

enum class Create { None, Last, All };

// Opens the key at path. Create::Last creates the final key only (as ZwCreateKey
// does); Create::All every missing key.
NTSTATUS OpenKeyLocked(std::u16string_view path, Create create, Key** out) {
    auto parts = SplitPath(path);
    if (!parts || parts->empty() || detail::UpperCase((*parts)[0]) != u"REGISTRY")
        return STATUS_OBJECT_NAME_INVALID;
    Key* key = root.get();
    for (size_t i = 0; i < parts->size(); ++i) {
        const std::u16string& part = (*parts)[i];
        std::u16string upper = detail::UpperCase(part);
        auto it = key->subkeys.find(upper);
        if (it == key->subkeys.end()) {
            bool last = i + 1 == parts->size();
            if (create == Create::None || (create == Create::Last && !last))
                return STATUS_OBJECT_NAME_NOT_FOUND;
            auto child = std::make_unique<Key>();
            child->name = part;
            child->path = key->path + u"\\" + part;
            it = key->subkeys.emplace(upper, std::move(child)).first;
        }
        key = it->second.get();
    }
    *out = key;
    return STATUS_SUCCESS;
}

Key* FindKeyLocked(std::u16string_view path) {
    Key* key = nullptr;
    return NT_SUCCESS(OpenKeyLocked(path, Create::None, &key)) ? key : nullptr;
}

Key* CreateKeyLocked(std::u16string_view path) {
    Key* key = nullptr;
    return NT_SUCCESS(OpenKeyLocked(path, Create::All, &key)) ? key : nullptr;
}

HANDLE NewHandleLocked(Key* key, ACCESS_MASK access) {
    uintptr_t value = KernelHandleBase + 4 * ++handleCount;
    handles[value] = {key, detail::Self().currentDriver, access};
    return reinterpret_cast<HANDLE>(value);
}

Key* HandleKeyLocked(HANDLE handle) {
    auto it = handles.find(reinterpret_cast<uintptr_t>(handle));
    return it == handles.end() ? nullptr : it->second.key;
}

// Looks up the key of a handle; reports a handle that does not exist, as the
// platform bug-checks on an invalid kernel handle.
Key* KeyFromHandleLocked(HANDLE handle, const char* routine, std::unique_lock<std::mutex>& lock) {
    Key* key = HandleKeyLocked(handle);
    if (key == nullptr) {
        lock.unlock();
        detail::Report(Rule::InvalidHandle, std::string(routine) + " with handle " +
                                                detail::Hex(reinterpret_cast<uintptr_t>(handle)) +
                                                ", which is not open");
        lock.lock();
    }
    return key;
}

std::u16string Text(PCWSTR text) {
    if (text == nullptr)
        return {};
    auto* p = reinterpret_cast<const char16_t*>(text);
    return std::u16string(p);
}

std::u16string Text(PUNICODE_STRING text) {
    return text ? ToU16(*text) : std::u16string();
}

ULONG AlignUp(ULONG value, ULONG alignment) {
    return (value + alignment - 1) & ~(alignment - 1);
}

// Fills one value's information as the configuration manager does: *ResultLength
// always receives the size the whole answer needs; below the fixed part nothing is
// written (STATUS_BUFFER_TOO_SMALL); otherwise the fixed part is, and as much of the
// name and data as fits (STATUS_BUFFER_OVERFLOW when not all of it did).
NTSTATUS FillValueInformation(const RegistryValue& value, KEY_VALUE_INFORMATION_CLASS infoClass,
                              PVOID buffer, ULONG length, PULONG resultLength) {
    auto* out = static_cast<UCHAR*>(buffer);
    const ULONG nameBytes = static_cast<ULONG>(value.name.size() * sizeof(WCHAR));
    const ULONG dataBytes = static_cast<ULONG>(value.data.size());
    NTSTATUS status = STATUS_SUCCESS;

    auto copyPart = [&](ULONG offset, const void* source, ULONG bytes) {
        ULONG room = length > offset ? length - offset : 0;
        if (room < bytes) {
            bytes = room;
            status = STATUS_BUFFER_OVERFLOW;
        }
        if (bytes != 0)
            std::memcpy(out + offset, source, bytes);
    };

    switch (infoClass) {
    case KeyValueBasicInformation: {
        const ULONG fixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
        *resultLength = fixed + nameBytes;
        if (length < fixed)
            return STATUS_BUFFER_TOO_SMALL;
        auto* info = static_cast<PKEY_VALUE_BASIC_INFORMATION>(buffer);
        info->TitleIndex = 0;
        info->Type = value.type;
        info->NameLength = nameBytes;
        copyPart(fixed, value.name.data(), nameBytes);
        return status;
    }
    case KeyValueFullInformation:
    case KeyValueFullInformationAlign64: {
        const ULONG fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
        const ULONG alignment = infoClass == KeyValueFullInformation ? 4 : 8;
        // The data starts at the next aligned offset after the name; a value without
        // data has no data offset (all ones).
        const ULONG dataOffset = dataBytes ? AlignUp(fixed + nameBytes, alignment) : 0xFFFFFFFFu;
        *resultLength = dataBytes ? dataOffset + dataBytes : fixed + nameBytes;
        if (length < fixed)
            return STATUS_BUFFER_TOO_SMALL;
        auto* info = static_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);
        info->TitleIndex = 0;
        info->Type = value.type;
        info->DataOffset = dataOffset;
        info->DataLength = dataBytes;
        info->NameLength = nameBytes;
        copyPart(fixed, value.name.data(), nameBytes);
        if (dataBytes)
            copyPart(dataOffset, value.data.data(), dataBytes);
        return status;
    }
    case KeyValuePartialInformation: {
        const ULONG fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
        *resultLength = fixed + dataBytes;
        if (length < fixed)
            return STATUS_BUFFER_TOO_SMALL;
        auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
        info->TitleIndex = 0;
        info->Type = value.type;
        info->DataLength = dataBytes;
        copyPart(fixed, value.data.data(), dataBytes);
        return status;
    }
    case KeyValuePartialInformationAlign64: {
        const ULONG fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION_ALIGN64, Data);
        *resultLength = fixed + dataBytes;
        if (length < fixed)
            return STATUS_BUFFER_TOO_SMALL;
        auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION_ALIGN64>(buffer);
        info->Type = value.type;
        info->DataLength = dataBytes;
        copyPart(fixed, value.data.data(), dataBytes);
        return status;
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

// The key a relative path of RtlWriteRegistryValue and its siblings starts from.
std::optional<std::u16string> RelativeBase(ULONG relativeTo) {
    switch (relativeTo) {
    case RTL_REGISTRY_ABSOLUTE:
        return std::u16string();
    case RTL_REGISTRY_SERVICES:
        return std::u16string(MachineSystem) + u"\\Services";
    case RTL_REGISTRY_CONTROL:
        return std::u16string(MachineSystem) + u"\\Control";
    case RTL_REGISTRY_WINDOWS_NT:
        return std::u16string(
            u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion");
    case RTL_REGISTRY_DEVICEMAP:
        return std::u16string(u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP");
    case RTL_REGISTRY_USER:
        // System threads have no user of their own: the default user's hive.
        return std::u16string(u"\\REGISTRY\\USER\\.DEFAULT");
    default:
        return std::nullopt;
    }
}

// Resolves (RelativeTo, Path) to a key as the run-time library does: a handle, an
// absolute path, or a path below one of the well-known keys. With create, the last
// component is created when missing (its parent must exist).
NTSTATUS RtlKeyLocked(ULONG relativeTo, PCWSTR path, bool create, const char* routine,
                      std::unique_lock<std::mutex>& lock, Key** out) {
    relativeTo &= ~static_cast<ULONG>(RTL_REGISTRY_OPTIONAL);
    if (relativeTo & RTL_REGISTRY_HANDLE) {
        Key* key = KeyFromHandleLocked(const_cast<PWSTR>(path), routine, lock);
        if (key == nullptr)
            return STATUS_INVALID_HANDLE;
        *out = key;
        return STATUS_SUCCESS;
    }
    auto base = RelativeBase(relativeTo);
    if (!base)
        return STATUS_INVALID_PARAMETER;
    std::u16string relative = Text(path);
    std::u16string full;
    if (base->empty()) {
        full = relative;
    } else {
        full = *base;
        if (!relative.empty())
            full += (relative[0] == u'\\' ? u"" : u"\\") + relative;
    }
    return OpenKeyLocked(full, create ? Create::Last : Create::None, out);
}

void BuildSkeletonLocked() {
    root = std::make_unique<Key>();
    for (const char16_t* path : {
             u"\\REGISTRY\\MACHINE\\HARDWARE\\DEVICEMAP",
             u"\\REGISTRY\\MACHINE\\HARDWARE\\DESCRIPTION\\System",
             u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class",
             u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum",
             u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services",
             u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current\\System"
             u"\\CurrentControlSet\\Enum",
             u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current\\System"
             u"\\CurrentControlSet\\Control\\Class",
             u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
             u"\\REGISTRY\\USER\\.DEFAULT",
         }) {
        CreateKeyLocked(path);
    }
}

std::u16string EnumKeyPath(const std::u16string& instancePath) {
    return std::u16string(MachineSystem) + u"\\Enum\\" + instancePath;
}

// The device's software key under the ports class, numbered on first use and
// remembered in the Driver value of its instance key, as setup records it.
std::u16string DriverKeyPathLocked(const std::u16string& instancePath) {
    Key* instance = CreateKeyLocked(EnumKeyPath(instancePath));
    if (RegistryValue* driver = instance->FindValue(u"Driver"))
        return RegistryText(driver->data);
    Key* classKey =
        CreateKeyLocked(std::u16string(MachineSystem) + u"\\Control\\Class\\" + PortsClass);
    unsigned number = 0;
    char digits[8];
    for (;; ++number) {
        std::snprintf(digits, sizeof digits, "%04u", number);
        if (classKey->subkeys.count(ToU16(digits)) == 0)
            break;
    }
    std::u16string driverKey = std::u16string(PortsClass) + u"\\" + ToU16(digits);
    instance->SetValue(u"Driver", REG_SZ, RegistryString(driverKey));
    return driverKey;
}

} // namespace

// ---- Value data helpers ---------------------------------------------------------------------

std::vector<uint8_t> RegistryString(std::u16string_view text) {
    std::vector<uint8_t> data((text.size() + 1) * sizeof(char16_t), 0);
    std::memcpy(data.data(), text.data(), text.size() * sizeof(char16_t));
    return data;
}

std::vector<uint8_t> RegistryMultiString(const std::vector<std::u16string>& strings) {
    std::vector<uint8_t> data;
    for (const auto& s : strings) {
        auto one = RegistryString(s);
        data.insert(data.end(), one.begin(), one.end());
    }
    data.push_back(0);
    data.push_back(0);
    return data;
}

std::vector<uint8_t> RegistryDword(ULONG value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
}

std::u16string RegistryText(const std::vector<uint8_t>& data) {
    std::u16string text;
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
        auto c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (c == 0)
            break;
        text += c;
    }
    return text;
}

// ---- Any key --------------------------------------------------------------------------------

NTSTATUS SetRegistryValue(std::u16string_view keyPath, std::u16string_view name, ULONG type,
                          std::vector<uint8_t> data) {
    std::lock_guard<std::mutex> guard(registryMutex);
    Key* key = nullptr;
    NTSTATUS status = OpenKeyLocked(keyPath, Create::All, &key);
    if (NT_SUCCESS(status))
        key->SetValue(name, type, std::move(data));
    return status;
}

std::optional<RegistryValue> GetRegistryValue(std::u16string_view keyPath,
                                              std::u16string_view name) {
    std::lock_guard<std::mutex> guard(registryMutex);
    Key* key = FindKeyLocked(keyPath);
    RegistryValue* value = key ? key->FindValue(name) : nullptr;
    if (value == nullptr)
        return std::nullopt;
    return *value;
}

bool DeleteRegistryValue(std::u16string_view keyPath, std::u16string_view name) {
    std::lock_guard<std::mutex> guard(registryMutex);
    Key* key = FindKeyLocked(keyPath);
    return key != nullptr && key->DeleteValue(name);
}

std::vector<RegistryValue> RegistryValues(std::u16string_view keyPath) {
    std::lock_guard<std::mutex> guard(registryMutex);
    Key* key = FindKeyLocked(keyPath);
    return key ? key->values : std::vector<RegistryValue>();
}

bool RegistryKeyExists(std::u16string_view keyPath) {
    std::lock_guard<std::mutex> guard(registryMutex);
    return FindKeyLocked(keyPath) != nullptr;
}

// ---- Device nodes -----------------------------------------------------------------------------

std::u16string HardwareKeyPath(PDEVICE_OBJECT pdo) {
    return EnumKeyPath(detail::EnsureInstancePath(pdo)) + u"\\Device Parameters";
}

void SetHardwareValue(PDEVICE_OBJECT pdo, std::u16string_view name, ULONG type,
                      std::vector<uint8_t> data) {
    SetRegistryValue(HardwareKeyPath(pdo), name, type, std::move(data));
}

void SetHardwareString(PDEVICE_OBJECT pdo, std::u16string_view name, std::u16string_view text) {
    SetHardwareValue(pdo, name, REG_SZ, RegistryString(text));
}

std::optional<RegistryValue> GetHardwareValue(PDEVICE_OBJECT pdo, std::u16string_view name) {
    return GetRegistryValue(HardwareKeyPath(pdo), name);
}

bool DeleteHardwareValue(PDEVICE_OBJECT pdo, std::u16string_view name) {
    return DeleteRegistryValue(HardwareKeyPath(pdo), name);
}

std::vector<std::pair<std::u16string, std::u16string>> SerialCommMap() {
    std::vector<std::pair<std::u16string, std::u16string>> ports;
    for (const RegistryValue& value : RegistryValues(SerialCommKey))
        ports.emplace_back(value.name, RegistryText(value.data));
    return ports;
}

// ---- Handles and faults ---------------------------------------------------------------------

size_t OpenKernelHandles() {
    std::lock_guard<std::mutex> guard(registryMutex);
    return handles.size();
}

size_t OpenKernelHandles(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> guard(registryMutex);
    return static_cast<size_t>(std::count_if(
        handles.begin(), handles.end(), [&](const auto& h) { return h.second.owner == driver; }));
}

void ArmObjectFault(const ObjectFault& fault) {
    std::lock_guard<std::mutex> guard(faultsMutex);
    objectFaults.push_back({fault, 0});
}

void DisarmObjectFaults() {
    std::lock_guard<std::mutex> guard(faultsMutex);
    objectFaults.clear();
}

namespace detail {

std::u16string UpperCase(std::u16string_view text) {
    std::u16string upper(text);
    for (char16_t& c : upper) {
        if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7))
            c = static_cast<char16_t>(c - 0x20);
    }
    return upper;
}

bool ShouldFailObjectOperation(ObjectOperation operation, std::u16string_view name,
                               NTSTATUS* status) {
    bool link =
        operation == ObjectOperation::CreateLink || operation == ObjectOperation::DeleteLink;
    std::u16string wanted = link ? CanonicalLinkName(name) : UpperCase(name);
    std::lock_guard<std::mutex> guard(faultsMutex);
    for (auto it = objectFaults.begin(); it != objectFaults.end(); ++it) {
        const ObjectFault& fault = it->fault;
        if (fault.operation != operation)
            continue;
        if (!fault.name.empty() &&
            (link ? CanonicalLinkName(fault.name) : UpperCase(fault.name)) != wanted)
            continue;
        if (++it->seen == fault.nth) {
            *status = fault.status;
            objectFaults.erase(it);
            return true;
        }
    }
    return false;
}

std::u16string EnsureInstancePath(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> instanceGuard(instancePathMutex);
    std::u16string path = DeviceInstancePath(pdo);
    if (!path.empty())
        return path;
    // A device its bus gave no identity: named as a root-enumerated device of the
    // bus driver, with an instance number no other device uses.
    std::u16string driver = ToU16(pdo->DriverObject->DriverName);
    driver = UpperCase(driver.substr(driver.rfind(u'\\') + 1));
    std::vector<std::u16string> interfaceNames;
    for (const DeviceInterface& i : DeviceInterfaces())
        interfaceNames.push_back(UpperCase(i.symbolicName));
    std::lock_guard<std::mutex> guard(registryMutex);
    for (unsigned& number = rootInstances[driver];; ++number) {
        char digits[8];
        std::snprintf(digits, sizeof digits, "%04u", number);
        std::u16string candidate = u"ROOT\\" + driver + u"\\" + ToU16(digits);
        std::u16string munged = u"\\??\\" + candidate + u"#";
        std::replace(munged.begin() + 4, munged.end(), u'\\', u'#');
        munged = UpperCase(munged);
        bool used = FindKeyLocked(EnumKeyPath(candidate)) != nullptr ||
                    std::any_of(interfaceNames.begin(), interfaceNames.end(),
                                [&](const std::u16string& n) { return n.rfind(munged, 0) == 0; });
        if (!used) {
            ++number;
            CreateKeyLocked(EnumKeyPath(candidate));
            SetDeviceInstancePath(pdo, candidate);
            return candidate;
        }
    }
}

void CheckHandleLeaks(PDRIVER_OBJECT driver) {
    std::vector<std::u16string> leaked;
    {
        std::lock_guard<std::mutex> guard(registryMutex);
        for (auto it = handles.begin(); it != handles.end();) {
            if (driver == nullptr || it->second.owner == driver) {
                leaked.push_back(it->second.key->path);
                it = handles.erase(it);
            } else {
                ++it;
            }
        }
    }
    if (leaked.empty())
        return;
    std::string keys;
    for (const auto& path : leaked)
        keys += (keys.empty() ? "" : ", ") + ToUtf8(path);
    Report(Rule::HandleLeak,
           (driver ? DriverText(driver) + " left " : std::string("shutdown with ")) +
               std::to_string(leaked.size()) + " registry key handle(s) open: " + keys);
}

void CheckDriverObjects(PDRIVER_OBJECT driver) {
    CheckHandleLeaks(driver);
    CheckLinkLeaks(driver);
}

void ShutdownObjects() {
    CheckHandleLeaks(nullptr);
    CheckLinkLeaks(nullptr);
}

void ResetRegistry() {
    {
        std::lock_guard<std::mutex> guard(registryMutex);
        handles.clear();
        handleCount = 0;
        BuildSkeletonLocked();
    }
    {
        std::lock_guard<std::mutex> guard(instancePathMutex);
        rootInstances.clear();
    }
    DisarmObjectFaults();
}

} // namespace detail
} // namespace kx

using namespace kx;
using namespace kx::detail;

extern "C" {

NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                       ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoOpenDeviceRegistryKey");
    if (DevInstRegKey == nullptr)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS injected;
    if (ShouldFailObjectOperation(ObjectOperation::OpenDeviceKey, u"", &injected))
        return injected;
    // Only the physical device object of a device node has these keys.
    if (DeviceObject == nullptr || !IsDeviceNodePdo(DeviceObject))
        return STATUS_INVALID_DEVICE_REQUEST;
    const ULONG kind = DevInstKeyType & (PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_DRIVER);
    if ((DevInstKeyType & ~static_cast<ULONG>(PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_DRIVER |
                                              PLUGPLAY_REGKEY_CURRENT_HWPROFILE)) != 0 ||
        (kind != PLUGPLAY_REGKEY_DEVICE && kind != PLUGPLAY_REGKEY_DRIVER))
        return STATUS_INVALID_PARAMETER;
    const bool profile = (DevInstKeyType & PLUGPLAY_REGKEY_CURRENT_HWPROFILE) != 0;

    std::u16string instance = EnsureInstancePath(DeviceObject);
    std::lock_guard<std::mutex> guard(registryMutex);
    std::u16string path;
    if (kind == PLUGPLAY_REGKEY_DEVICE) {
        path = profile ? std::u16string(CurrentProfile) + u"\\Enum\\" + instance
                       : EnumKeyPath(instance) + u"\\Device Parameters";
    } else {
        path = std::u16string(profile ? CurrentProfile : MachineSystem) + u"\\Control\\Class\\" +
               DriverKeyPathLocked(instance);
    }
    Key* key = CreateKeyLocked(path);
    *DevInstRegKey = NewHandleLocked(key, DesiredAccess);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                               PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "ZwQueryValueKey");
    std::u16string name = Text(ValueName);
    if (ResultLength == nullptr || (KeyValueInformation == nullptr && Length != 0)) {
        Report(Rule::KernelBugCheck, "ZwQueryValueKey with a null output pointer");
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS injected;
    if (ShouldFailObjectOperation(ObjectOperation::QueryValue, name, &injected))
        return injected;
    std::unique_lock<std::mutex> lock(registryMutex);
    Key* key = KeyFromHandleLocked(KeyHandle, "ZwQueryValueKey", lock);
    if (key == nullptr)
        return STATUS_INVALID_HANDLE;
    if (KeyValueInformationClass < KeyValueBasicInformation ||
        KeyValueInformationClass >= MaxKeyValueInfoClass)
        return STATUS_INVALID_PARAMETER;
    RegistryValue* value = key->FindValue(name);
    if (value == nullptr)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    return FillValueInformation(*value, KeyValueInformationClass, KeyValueInformation, Length,
                                ResultLength);
}

NTSTATUS NTAPI ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                                   KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                   PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "ZwEnumerateValueKey");
    if (ResultLength == nullptr || (KeyValueInformation == nullptr && Length != 0)) {
        Report(Rule::KernelBugCheck, "ZwEnumerateValueKey with a null output pointer");
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS injected;
    if (ShouldFailObjectOperation(ObjectOperation::QueryValue, u"", &injected))
        return injected;
    std::unique_lock<std::mutex> lock(registryMutex);
    Key* key = KeyFromHandleLocked(KeyHandle, "ZwEnumerateValueKey", lock);
    if (key == nullptr)
        return STATUS_INVALID_HANDLE;
    if (KeyValueInformationClass < KeyValueBasicInformation ||
        KeyValueInformationClass >= MaxKeyValueInfoClass)
        return STATUS_INVALID_PARAMETER;
    if (Index >= key->values.size())
        return STATUS_NO_MORE_ENTRIES;
    return FillValueInformation(key->values[Index], KeyValueInformationClass, KeyValueInformation,
                                Length, ResultLength);
}

NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex,
                             ULONG Type, PVOID Data, ULONG DataSize) {
    (void)TitleIndex;
    RequireIrqlAtMost(PASSIVE_LEVEL, "ZwSetValueKey");
    std::u16string name = Text(ValueName);
    NTSTATUS injected;
    if (ShouldFailObjectOperation(ObjectOperation::WriteValue, name, &injected))
        return injected;
    std::unique_lock<std::mutex> lock(registryMutex);
    Key* key = KeyFromHandleLocked(KeyHandle, "ZwSetValueKey", lock);
    if (key == nullptr)
        return STATUS_INVALID_HANDLE;
    auto* bytes = static_cast<const uint8_t*>(Data);
    key->SetValue(name, Type, std::vector<uint8_t>(bytes, bytes + (bytes ? DataSize : 0)));
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "ZwDeleteValueKey");
    std::u16string name = Text(ValueName);
    NTSTATUS injected;
    if (ShouldFailObjectOperation(ObjectOperation::DeleteValue, name, &injected))
        return injected;
    std::unique_lock<std::mutex> lock(registryMutex);
    Key* key = KeyFromHandleLocked(KeyHandle, "ZwDeleteValueKey", lock);
    if (key == nullptr)
        return STATUS_INVALID_HANDLE;
    return key->DeleteValue(name) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
    std::unique_lock<std::mutex> lock(registryMutex);
    if (KeyFromHandleLocked(Handle, "ZwClose", lock) == nullptr)
        return STATUS_INVALID_HANDLE;
    handles.erase(reinterpret_cast<uintptr_t>(Handle));
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                                     ULONG ValueType, PVOID ValueData, ULONG ValueLength) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "RtlWriteRegistryValue");
    std::u16string name = Text(ValueName);
    NTSTATUS status;
    if (ShouldFailObjectOperation(ObjectOperation::WriteValue, name, &status))
        return status;
    std::unique_lock<std::mutex> lock(registryMutex);
    Key* key = nullptr;
    status = RtlKeyLocked(RelativeTo, Path, true, "RtlWriteRegistryValue", lock, &key);
    if (!NT_SUCCESS(status))
        return status;
    auto* bytes = static_cast<const uint8_t*>(ValueData);
    key->SetValue(name, ValueType, std::vector<uint8_t>(bytes, bytes + (bytes ? ValueLength : 0)));
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "RtlDeleteRegistryValue");
    std::u16string name = Text(ValueName);
    NTSTATUS status;
    if (ShouldFailObjectOperation(ObjectOperation::DeleteValue, name, &status))
        return status;
    std::unique_lock<std::mutex> lock(registryMutex);
    Key* key = nullptr;
    status = RtlKeyLocked(RelativeTo, Path, false, "RtlDeleteRegistryValue", lock, &key);
    if (!NT_SUCCESS(status))
        return status;
    return key->DeleteValue(name) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS NTAPI RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "RtlCheckRegistryKey");
    std::unique_lock<std::mutex> lock(registryMutex);
    Key* key = nullptr;
    return RtlKeyLocked(RelativeTo, Path, false, "RtlCheckRegistryKey", lock, &key);
}

} // extern "C"
