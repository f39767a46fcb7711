// Fuzz target: the PortName value of the device's hardware key, of any type and
// length. Input: bytes 0-3 the value type (little-endian), the rest its data (at
// most 512 bytes). Each input boots a world, plugs the modem with that value,
// opens the port if it got a name, and pulls the modem out; the world's teardown
// runs the verifier's leak checks (pool, handles, symbolic links).
#include <kx/registry.h>
#include <sim/serial_api.h>
#include <sim/world.h>

#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace win32;
    if (size < 4 || size > 4 + 512)
        return 0;
    ULONG type = 0;
    std::memcpy(&type, data, sizeof type);
    {
        sim::World world;
        sim::PluggedModem& modem = world.Connect();
        kx::SetHardwareValue(modem.Pdo().Device(), u"PortName", type,
                             std::vector<uint8_t>(data + 4, data + size));
        world.Arrive(modem);
        for (const auto& entry : kx::SerialCommMap()) {
            std::u16string path = u"\\\\.\\" + entry.second;
            HANDLE port =
                CreateFileW(reinterpret_cast<LPCWSTR>(path.c_str()), GENERIC_READ | GENERIC_WRITE,
                            0, nullptr, OPEN_EXISTING, 0, nullptr);
            if (port != INVALID_HANDLE_VALUE)
                CloseHandle(port);
        }
        world.Unplug(modem);
        world.Settle();
    }
    return 0;
}
