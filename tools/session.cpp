#include "session.h"

#include "port.h"

namespace korvaxsim {

using namespace win32;

SimulationOptions MakeSimulationOptions(const Options& options, std::FILE* debugOut) {
    SimulationOptions simulation;
    simulation.portName = options.plugAs;
    simulation.capturePath = options.capture;
    simulation.driverImage = options.driverImage;
    if (debugOut != nullptr) {
        simulation.debugLine = [debugOut](const std::string& line) {
            std::fprintf(debugOut, "kd> %s\n", line.c_str());
            std::fflush(debugOut);
        };
    }
    return simulation;
}

OtherApplication::OtherApplication(const Options& options, Simulation& sim) {
    if (!options.otherApplication)
        return;
    handle_ = CreateFileA(PortPath(sim.PortName()).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                          nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) {
        throw Failure("the other application could not open " + sim.PortName() + " either (" +
                      ErrorName(GetLastError()) + ")");
    }
}

OtherApplication::~OtherApplication() {
    Close();
}

void OtherApplication::Close() {
    if (handle_ != INVALID_HANDLE_VALUE)
        CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
}

} // namespace korvaxsim
