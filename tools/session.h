// What the three modes share around their session: the simulation made from the
// command line, and the other application of --other-app.
#pragma once

#include "options.h"
#include "simulation.h"

#include <sim/serial_api.h>

#include <cstdio>

namespace korvaxsim {

// The simulation for the command line: the modem under the plug name; the
// driver's debug lines go to `debugOut` ("kd> ..."), or nowhere when it is null.
SimulationOptions MakeSimulationOptions(const Options& options, std::FILE* debugOut);

// Another application that has the port open before the mode's own application
// opens it (--other-app): the driver admits one handle at a time, so the mode's
// CreateFile fails as it would on Windows. Without --other-app it does nothing.
class OtherApplication {
  public:
    // Throws Failure when the port cannot be opened for it either.
    OtherApplication(const Options& options, Simulation& sim);
    ~OtherApplication();
    OtherApplication(const OtherApplication&) = delete;
    OtherApplication& operator=(const OtherApplication&) = delete;

    void Close();

  private:
    win32::HANDLE handle_ = win32::INVALID_HANDLE_VALUE;
};

} // namespace korvaxsim
