// The hosted kernel's object namespace as tests and the simulator see it: the
// symbolic links drivers created and the way an application's name for a device
// reaches the device object.
//
// \DosDevices, \?? and \GLOBAL?? name one directory (the global DOS-device
// directory of Windows XP); the application form \\.\COM5 (and \\?\COM5) is
// \??\COM5 to the object manager. Names compare case-insensitively.
#pragma once

#include <kx/host.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kx {

struct SymbolicLink {
    std::u16string name;   // as created, e.g. \DosDevices\COM5
    std::u16string target; // e.g. \Device\KORVAXSER0
    bool unprotected = false;
    PDRIVER_OBJECT creator = nullptr; // the driver whose code created it, if any
};

// The links that exist, in creation order.
std::vector<SymbolicLink> SymbolicLinks();
// The target of the link with this name (any of the directory aliases, or the
// application form), one level only; nothing when no such link exists.
std::optional<std::u16string> ResolveLink(std::u16string_view name);
// The device object an application opening this name would reach: the name in
// application or object-manager form, links followed (at most 32 of them) until a
// device name results. Null when the name leads to no existing device. This is
// the named device, not the top of its stack: the I/O manager sends the create to
// the device attached highest above it.
PDEVICE_OBJECT OpenTarget(std::u16string_view name);
// The object-manager form of an application's name: \\.\COM5 becomes \??\COM5;
// other names are returned unchanged.
std::u16string ObjectManagerName(std::u16string_view name);

} // namespace kx
