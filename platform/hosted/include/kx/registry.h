// The hosted kernel's registry as tests and the simulator see it: device nodes'
// hardware keys, the serial-port device map as applications enumerate it, any key
// by its full path, and fault injection for the registry and object-namespace
// routines that drivers call.
//
// The registry lives in memory for one boot. Keys and value names compare
// case-insensitively and keep the case they were created with; values keep their
// creation order (the order an enumeration returns them in). Key paths are full
// object-manager paths such as \Registry\Machine\HARDWARE\DEVICEMAP\SERIALCOMM.
#pragma once

#include <kx/host.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kx {

struct RegistryValue {
    std::u16string name;
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

// Value data helpers: a string with its terminating zero character (REG_SZ), a list
// of strings each terminated plus a final zero character (REG_MULTI_SZ), a
// little-endian 32-bit number (REG_DWORD).
std::vector<uint8_t> RegistryString(std::u16string_view text);
std::vector<uint8_t> RegistryMultiString(const std::vector<std::u16string>& strings);
std::vector<uint8_t> RegistryDword(ULONG value);
// The characters of string data up to the first zero character (or the end).
std::u16string RegistryText(const std::vector<uint8_t>& data);

// ---- Any key ------------------------------------------------------------------------------

// Writes a value, creating every missing key on the path. STATUS_OBJECT_NAME_INVALID
// for a path outside \Registry.
NTSTATUS SetRegistryValue(std::u16string_view keyPath, std::u16string_view name, ULONG type,
                          std::vector<uint8_t> data);
std::optional<RegistryValue> GetRegistryValue(std::u16string_view keyPath,
                                              std::u16string_view name);
// False when the key or the value does not exist.
bool DeleteRegistryValue(std::u16string_view keyPath, std::u16string_view name);
// The key's values in creation order; empty for a missing key.
std::vector<RegistryValue> RegistryValues(std::u16string_view keyPath);
bool RegistryKeyExists(std::u16string_view keyPath);

// ---- Device nodes -------------------------------------------------------------------------

// The hardware key of a physical device object: ...\Enum\<instance path>\Device
// Parameters, the key IoOpenDeviceRegistryKey(PLUGPLAY_REGKEY_DEVICE) opens. A PDO
// whose bus gave it no instance path (SetDeviceInstancePath) is given
// ROOT\<BUS DRIVER>\<nnnn> here. The key belongs to the instance path, so it
// outlives the device object: a device plugged in again under the same path finds
// its values again.
std::u16string HardwareKeyPath(PDEVICE_OBJECT pdo);
// What an installer writes into the hardware key before the device starts (for
// this port: PortName). Works whether or not the PnP manager knows the device yet.
void SetHardwareValue(PDEVICE_OBJECT pdo, std::u16string_view name, ULONG type,
                      std::vector<uint8_t> data);
// REG_SZ with its terminating zero character.
void SetHardwareString(PDEVICE_OBJECT pdo, std::u16string_view name, std::u16string_view text);
std::optional<RegistryValue> GetHardwareValue(PDEVICE_OBJECT pdo, std::u16string_view name);
bool DeleteHardwareValue(PDEVICE_OBJECT pdo, std::u16string_view name);

// ---- Serial-port device map -----------------------------------------------------------------

// HARDWARE\DEVICEMAP\SERIALCOMM as an application enumerates the COM ports: one
// (value name, port name) pair per value, in creation order, the port name being
// the value's characters up to the first zero character. Empty while the key does
// not exist.
std::vector<std::pair<std::u16string, std::u16string>> SerialCommMap();

// ---- Handles ------------------------------------------------------------------------------

// Kernel handles currently open (registry keys), by anyone.
size_t OpenKernelHandles();
// Those opened by one driver's code.
size_t OpenKernelHandles(PDRIVER_OBJECT driver);

// ---- Fault injection ------------------------------------------------------------------------

enum class ObjectOperation {
    OpenDeviceKey, // IoOpenDeviceRegistryKey
    QueryValue,    // ZwQueryValueKey, ZwEnumerateValueKey
    WriteValue,    // RtlWriteRegistryValue, ZwSetValueKey
    DeleteValue,   // RtlDeleteRegistryValue, ZwDeleteValueKey
    CreateLink,    // IoCreateSymbolicLink, IoCreateUnprotectedSymbolicLink
    DeleteLink,    // IoDeleteSymbolicLink
};

// Fails the Nth (1-based) call of an operation, counted from when the rule is
// armed, with the given status and without doing anything. With a name, only calls
// naming that value (or, for links, that link name; aliases of \DosDevices count
// as one directory) are counted; names compare case-insensitively.
struct ObjectFault {
    ObjectOperation operation = ObjectOperation::WriteValue;
    uint64_t nth = 1;
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    std::u16string name;
};

void ArmObjectFault(const ObjectFault& fault);
void DisarmObjectFaults();

} // namespace kx
