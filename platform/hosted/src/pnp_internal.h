// Internals shared by the registry, the object namespace, the PnP manager and the
// modules that boot, shut down and unload.
#pragma once

#include "internal.h"

#include <kx/registry.h>

namespace kx::detail {

// Registry.
// Is this PDO the bottom of a device node the PnP manager knows?
bool IsDeviceNodePdo(PDEVICE_OBJECT pdo);
// The instance path of a PDO, given one (ROOT\<BUS DRIVER>\<nnnn>) if its bus did not.
std::u16string EnsureInstancePath(PDEVICE_OBJECT pdo);
// True when this call must fail; *status receives the injected status.
bool ShouldFailObjectOperation(ObjectOperation operation, std::u16string_view name,
                               NTSTATUS* status);
// Canonical case for name comparisons.
std::u16string UpperCase(std::u16string_view text);

// Object namespace.
// The key a link name is known by: upper case, its DOS-device directory in one
// spelling (\GLOBAL??) whichever alias named it.
std::u16string CanonicalLinkName(std::u16string_view name);

// At driver unload: handles the driver's code left open and links it left behind
// are reported, then closed and deleted.
void CheckDriverObjects(PDRIVER_OBJECT driver);
void CheckHandleLeaks(PDRIVER_OBJECT driver);
void CheckLinkLeaks(PDRIVER_OBJECT driver);

// At shutdown: everything still open or present is reported, and the PnP manager
// lets go of its device nodes (and their references on the PDOs).
void ShutdownObjects();
void ShutdownPnp();

void ResetRegistry();
void ResetObjectNamespace();
void ResetPnp();

} // namespace kx::detail
