// The routines a driver image may import, by module and name, as x86 Windows
// exports them from ntoskrnl.exe and HAL.dll. Each entry also records the calling
// convention and argument bytes of the hosted routine, which on a 32-bit host
// must be what the DDK declares (a stdcall routine pops its arguments, a cdecl one
// does not; a mismatch corrupts the caller's stack).
#include "image.h"

#include <cstring>

namespace kx {
namespace {

// The bytes a routine's arguments take on the x86 stack: each rounded up to 4.
template <typename... A> constexpr ULONG ArgumentBytes() {
    return ((ULONG(sizeof(A) + 3) & ~3u) + ... + 0u);
}

#if defined(__i386__)
template <typename R, typename... A>
constexpr ImportBinding Bind(R(__attribute__((stdcall)) * f)(A...)) {
    return {reinterpret_cast<void*>(f), CallingConvention::Stdcall, ArgumentBytes<A...>()};
}
template <typename R, typename... A>
constexpr ImportBinding Bind(R(__attribute__((fastcall)) * f)(A...)) {
    return {reinterpret_cast<void*>(f), CallingConvention::Fastcall, ArgumentBytes<A...>()};
}
#endif
template <typename R, typename... A> constexpr ImportBinding Bind(R (*f)(A...)) {
    return {reinterpret_cast<void*>(f), CallingConvention::Cdecl, ArgumentBytes<A...>()};
}
template <typename R, typename... A> constexpr ImportBinding Bind(R (*f)(A..., ...)) {
    return {reinterpret_cast<void*>(f), CallingConvention::Cdecl, ArgumentBytes<A...>()};
}

// The C library routines the kernel exports with the C library's contract.
extern "C" void* KxMemcpy(void* destination, const void* source, size_t count) {
    return std::memcpy(destination, source, count);
}
extern "C" void* KxMemset(void* destination, int value, size_t count) {
    return std::memset(destination, value, count);
}

// A routine that returns a small structure returns it in EAX on x86 Windows, but
// through a hidden pointer argument in the Linux i386 convention; an image gets a
// version that returns the structure's bits as a scalar.
extern "C" ULONG NTAPI KxPoSetPowerStateForImage(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                                 POWER_STATE State) {
    static_assert(sizeof(POWER_STATE) == sizeof(ULONG), "POWER_STATE is returned in EAX");
    POWER_STATE previous = PoSetPowerState(DeviceObject, Type, State);
    ULONG bits;
    std::memcpy(&bits, &previous, sizeof bits);
    return bits;
}

struct Export {
    const char* module;
    const char* name;
    ImportBinding binding;
};

#define NTOS(routine)                                                                              \
    { "ntoskrnl.exe", #routine, Bind(&routine) }
#define HAL(routine)                                                                               \
    { "hal.dll", #routine, Bind(&routine) }

const Export exports[] = {
    HAL(ExAcquireFastMutex),
    HAL(ExReleaseFastMutex),
    HAL(KeGetCurrentIrql),
    HAL(KeRaiseIrqlToDpcLevel),
    HAL(KfAcquireSpinLock),
    HAL(KfReleaseSpinLock),
    {"ntoskrnl.exe", "DbgPrint", Bind(&DbgPrint)},
    NTOS(ExAllocatePoolWithTag),
    NTOS(ExFreePool),
    NTOS(ExFreePoolWithTag),
    NTOS(ExQueueWorkItem),
    NTOS(InterlockedCompareExchange),
    NTOS(InterlockedDecrement),
    NTOS(InterlockedExchange),
    NTOS(InterlockedExchangeAdd),
    NTOS(InterlockedIncrement),
    NTOS(IoAcquireCancelSpinLock),
    NTOS(IoAcquireRemoveLockEx),
    NTOS(IoAllocateIrp),
    NTOS(IoAllocateWorkItem),
    NTOS(IoAttachDeviceToDeviceStack),
    NTOS(IoBuildDeviceIoControlRequest),
    NTOS(IoCancelIrp),
    NTOS(IoCreateDevice),
    NTOS(IoCreateUnprotectedSymbolicLink),
    NTOS(IoDeleteDevice),
    NTOS(IoDeleteSymbolicLink),
    NTOS(IoDetachDevice),
    NTOS(IofCallDriver),
    NTOS(IofCompleteRequest),
    NTOS(IoFreeIrp),
    NTOS(IoFreeWorkItem),
    NTOS(IoInitializeRemoveLockEx),
    NTOS(IoIsWdmVersionAvailable),
    NTOS(IoOpenDeviceRegistryKey),
    NTOS(IoQueueWorkItem),
    NTOS(IoRegisterDeviceInterface),
    NTOS(IoReleaseCancelSpinLock),
    NTOS(IoReleaseRemoveLockAndWaitEx),
    NTOS(IoReleaseRemoveLockEx),
    NTOS(IoSetDeviceInterfaceState),
    NTOS(KeCancelTimer),
    NTOS(KeClearEvent),
    NTOS(KeDelayExecutionThread),
    NTOS(KeInitializeDpc),
    NTOS(KeInitializeEvent),
    NTOS(KeInitializeSpinLock),
    NTOS(KeInitializeTimer),
    NTOS(KeInitializeTimerEx),
    NTOS(KeInsertQueueDpc),
    NTOS(KeReadStateTimer),
    NTOS(KeRemoveQueueDpc),
    NTOS(KeResetEvent),
    NTOS(KeSetEvent),
    NTOS(KeSetTimer),
    NTOS(KeSetTimerEx),
    NTOS(KeWaitForMultipleObjects),
    NTOS(KeWaitForSingleObject),
    NTOS(PoCallDriver),
    NTOS(PoRequestPowerIrp),
    {"ntoskrnl.exe", "PoSetPowerState", Bind(&KxPoSetPowerStateForImage)},
    NTOS(PoStartNextPowerIrp),
    NTOS(RtlAppendUnicodeStringToString),
    NTOS(RtlAppendUnicodeToString),
    NTOS(RtlCopyUnicodeString),
    NTOS(RtlDeleteRegistryValue),
    NTOS(RtlFreeUnicodeString),
    NTOS(RtlInitUnicodeString),
    NTOS(RtlIntegerToUnicodeString),
    NTOS(RtlWriteRegistryValue),
    NTOS(ZwClose),
    NTOS(ZwQueryValueKey),
    {"ntoskrnl.exe", "memcpy", Bind(&KxMemcpy)},
    {"ntoskrnl.exe", "memset", Bind(&KxMemset)},
    {"ntoskrnl.exe", "swprintf", Bind(&KxSwprintf)},
    {"ntoskrnl.exe", "wcslen", Bind(&KxWcslen)},
};

#undef NTOS
#undef HAL

bool SameModule(const char* a, const std::string& b) {
    return strcasecmp(a, b.c_str()) == 0;
}

} // namespace

std::optional<ImportBinding> KernelExport(const std::string& module, const std::string& name) {
    for (const Export& entry : exports) {
        if (SameModule(entry.module, module) && name == entry.name)
            return entry.binding;
    }
    return std::nullopt;
}

} // namespace kx
