// The object namespace: symbolic links from one name to another, the DOS-device
// directory under its three names, and the walk from an application's name for a
// device (\\.\COM5) through the links to the device object it names.
#include "pnp_internal.h"

#include <algorithm>
#include <map>

#include <kx/namespace.h>

namespace kx {

namespace {

constexpr size_t MaximumLinkDepth = 32;

// The directories a link may be created in. \DosDevices and \?? are names of the
// global DOS-device directory, \GLOBAL??.
constexpr const char16_t* Directories[] = {
    u"",          u"\\GLOBAL??", u"\\DEVICE",        u"\\DRIVER", u"\\BASENAMEDOBJECTS",
    u"\\ARCNAME", u"\\CALLBACK", u"\\KERNELOBJECTS",
};
constexpr const char16_t* DosDeviceAliases[] = {u"\\DOSDEVICES\\", u"\\??\\", u"\\GLOBAL??\\"};

struct LinkEntry {
    SymbolicLink link;
    uint64_t order = 0;
};

std::mutex namespaceMutex;
// By canonical name.
std::map<std::u16string, LinkEntry> links;
uint64_t linkOrder = 0;

bool StartsWith(std::u16string_view text, std::u16string_view prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// Checks a link name: absolute, no empty component, in an existing directory.
NTSTATUS ValidateLinkName(const std::u16string& canonical) {
    if (canonical.size() < 2 || canonical[0] != u'\\' || canonical.back() == u'\\' ||
        canonical.find(u"\\\\") != std::u16string::npos)
        return STATUS_OBJECT_NAME_INVALID;
    std::u16string directory = canonical.substr(0, canonical.rfind(u'\\'));
    bool known = std::any_of(std::begin(Directories), std::end(Directories),
                             [&](const char16_t* d) { return directory == d; });
    return known ? STATUS_SUCCESS : STATUS_OBJECT_PATH_NOT_FOUND;
}

std::string Describe(const SymbolicLink& link) {
    return ToUtf8(link.name) + " -> " + ToUtf8(link.target);
}

NTSTATUS CreateLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName, bool unprotected,
                    const char* routine) {
    detail::RequireIrqlAtMost(PASSIVE_LEVEL, routine);
    if (SymbolicLinkName == nullptr || DeviceName == nullptr)
        return STATUS_INVALID_PARAMETER;
    std::u16string name = ToU16(*SymbolicLinkName);
    std::u16string target = ToU16(*DeviceName);
    NTSTATUS status;
    if (detail::ShouldFailObjectOperation(ObjectOperation::CreateLink, name, &status))
        return status;
    std::u16string canonical = detail::CanonicalLinkName(name);
    status = ValidateLinkName(canonical);
    if (!NT_SUCCESS(status))
        return status;
    // A device object by that name, or a directory, is a collision as much as a link.
    bool isDirectory = std::any_of(std::begin(Directories), std::end(Directories),
                                   [&](const char16_t* d) { return canonical == d; });
    if (isDirectory || LookupDevice(name) != nullptr)
        return STATUS_OBJECT_NAME_COLLISION;

    std::lock_guard<std::mutex> guard(namespaceMutex);
    if (links.count(canonical) != 0)
        return STATUS_OBJECT_NAME_COLLISION;
    LinkEntry entry;
    entry.link = {name, target, unprotected, detail::Self().currentDriver};
    entry.order = ++linkOrder;
    links.emplace(canonical, std::move(entry));
    return STATUS_SUCCESS;
}

} // namespace

std::u16string ObjectManagerName(std::u16string_view name) {
    if (StartsWith(name, u"\\\\.\\") || StartsWith(name, u"\\\\?\\"))
        return u"\\??\\" + std::u16string(name.substr(4));
    return std::u16string(name);
}

std::vector<SymbolicLink> SymbolicLinks() {
    std::vector<const LinkEntry*> ordered;
    std::lock_guard<std::mutex> guard(namespaceMutex);
    for (const auto& entry : links)
        ordered.push_back(&entry.second);
    std::sort(ordered.begin(), ordered.end(),
              [](const LinkEntry* a, const LinkEntry* b) { return a->order < b->order; });
    std::vector<SymbolicLink> result;
    for (const LinkEntry* entry : ordered)
        result.push_back(entry->link);
    return result;
}

std::optional<std::u16string> ResolveLink(std::u16string_view name) {
    std::u16string canonical = detail::CanonicalLinkName(ObjectManagerName(name));
    std::lock_guard<std::mutex> guard(namespaceMutex);
    auto it = links.find(canonical);
    if (it == links.end())
        return std::nullopt;
    return it->second.link.target;
}

PDEVICE_OBJECT OpenTarget(std::u16string_view name) {
    std::u16string current = ObjectManagerName(name);
    for (size_t depth = 0; depth <= MaximumLinkDepth; ++depth) {
        auto target = ResolveLink(current);
        if (!target)
            return LookupDevice(current);
        current = *target;
    }
    return nullptr;
}

namespace detail {

std::u16string CanonicalLinkName(std::u16string_view name) {
    std::u16string upper = UpperCase(name);
    for (const char16_t* alias : DosDeviceAliases) {
        if (StartsWith(upper, alias))
            return u"\\GLOBAL??\\" + upper.substr(std::char_traits<char16_t>::length(alias));
    }
    return upper;
}

void CheckLinkLeaks(PDRIVER_OBJECT driver) {
    std::vector<SymbolicLink> leaked;
    {
        std::lock_guard<std::mutex> guard(namespaceMutex);
        for (auto it = links.begin(); it != links.end();) {
            if (driver == nullptr || it->second.link.creator == driver) {
                leaked.push_back(it->second.link);
                it = links.erase(it);
            } else {
                ++it;
            }
        }
    }
    if (leaked.empty())
        return;
    std::string names;
    for (const auto& link : leaked)
        names += (names.empty() ? "" : ", ") + Describe(link);
    Report(Rule::SymbolicLinkLeak,
           (driver ? ToUtf8(ToU16(driver->DriverName)) + " unloaded leaving "
                   : std::string("shutdown with ")) +
               std::to_string(leaked.size()) + " symbolic link(s): " + names);
}

void ResetObjectNamespace() {
    std::lock_guard<std::mutex> guard(namespaceMutex);
    links.clear();
    linkOrder = 0;
}

} // namespace detail
} // namespace kx

using namespace kx;

extern "C" {

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    return CreateLink(SymbolicLinkName, DeviceName, false, "IoCreateSymbolicLink");
}

NTSTATUS NTAPI IoCreateUnprotectedSymbolicLink(PUNICODE_STRING SymbolicLinkName,
                                               PUNICODE_STRING DeviceName) {
    return CreateLink(SymbolicLinkName, DeviceName, true, "IoCreateUnprotectedSymbolicLink");
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    detail::RequireIrqlAtMost(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
    if (SymbolicLinkName == nullptr)
        return STATUS_INVALID_PARAMETER;
    std::u16string name = ToU16(*SymbolicLinkName);
    NTSTATUS status;
    if (detail::ShouldFailObjectOperation(ObjectOperation::DeleteLink, name, &status))
        return status;
    std::lock_guard<std::mutex> guard(namespaceMutex);
    return links.erase(detail::CanonicalLinkName(name)) != 0 ? STATUS_SUCCESS
                                                             : STATUS_OBJECT_NAME_NOT_FOUND;
}

} // extern "C"
