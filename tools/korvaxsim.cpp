// korvaxsim: the driver on the hosted kernel with a simulated modem.
#include <driver/frame/frame.h>
#include <kx/host.h>
#include <sim/bus.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

int Usage() {
    std::fprintf(stderr, "usage: korvaxsim demo [--quiet]\n");
    return 2;
}

// Boots the hosted kernel, loads the driver as the system would (its banners appear
// as the kernel debugger shows them), plugs in the parent bus with one modem
// function, then takes everything down and reports what the verifier saw.
int Demo(bool quiet) {
    kx::Kernel kernel;
    if (!quiet)
        kx::SetDebugSink([](const std::string& line) { std::printf("kd> %s\n", line.c_str()); });

    NTSTATUS status = STATUS_SUCCESS;
    PDRIVER_OBJECT driver = kx::LoadDriver(DriverEntry, u"korvaxser", &status);
    if (driver == nullptr) {
        std::fprintf(stderr, "korvaxsim: the driver refused to load (status 0x%08X)\n",
                     static_cast<unsigned>(status));
        return 1;
    }
    {
        sim::ParentBus bus;
        sim::ModemPdo& pdo = bus.CreateModemPdo();
        if (!quiet) {
            std::printf("bus: modem function PDO %p, pipes bulk-in %p bulk-out %p interrupt-in %p\n",
                        static_cast<void*>(pdo.Device()), pdo.BulkInPipe(), pdo.BulkOutPipe(),
                        pdo.InterruptInPipe());
        }
        bus.DeletePdo(pdo);
    }
    kx::UnloadDriver(driver);

    size_t findings = kx::TotalFindings();
    kx::PoolUsage pool = kx::OutstandingPool();
    std::printf("summary: verifier findings %zu, pool still allocated %zu bytes in %zu block(s)\n",
                findings, pool.bytes, pool.allocations);
    return findings == 0 && pool.allocations == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return Usage();
    std::string command = argv[1];
    bool quiet = false;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quiet") == 0)
            quiet = true;
        else
            return Usage();
    }
    if (command == "demo")
        return Demo(quiet);
    return Usage();
}
