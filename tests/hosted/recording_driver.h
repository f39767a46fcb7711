// A small function driver for the PnP manager and registry tests: AddDevice creates
// a named FDO over the PDO; the PnP dispatch records every request it receives
// (minor code, IRQL, the status it arrived with, the IRP's stack count), passes it
// down, or refuses or fails it as the options say. Create, cleanup and close
// succeed, so that handles can be opened. The PnP manager sends its requests on the
// calling thread: nothing here is locked.
#pragma once

#include <kx/host.h>

#include <vector>

namespace test {

struct SeenIrp {
    UCHAR minor = 0;
    KIRQL irql = PASSIVE_LEVEL;
    NTSTATUS statusOnEntry = 0;
    CCHAR stackCount = 0;
    CCHAR deviceStackSize = 0;
};

struct RecordingDriver {
    RecordingDriver();
    ~RecordingDriver();
    std::vector<UCHAR> Minors() const;

    struct {
        int refuseQueryRemove = 0; // refuse this many IRP_MN_QUERY_REMOVE_DEVICE
        int refuseQueryStop = 0;   // refuse this many IRP_MN_QUERY_STOP_DEVICE
        int failStart = 0;         // fail this many IRP_MN_START_DEVICE
        bool failRemove = false;   // fail IRP_MN_REMOVE_DEVICE and keep the device
        bool failAddDevice = false;
        bool answerEverything = false; // succeed every request, the unknown ones too
    } options;
    PDRIVER_OBJECT driver = nullptr;
    std::vector<SeenIrp> seen;
    DEVICE_CAPABILITIES capsOnEntry{}; // IRP_MN_QUERY_CAPABILITIES as it arrived
    PDEVICE_OBJECT fdo = nullptr;      // the last AddDevice created (it may be deleted since)
    unsigned instances = 0;
};

} // namespace test
