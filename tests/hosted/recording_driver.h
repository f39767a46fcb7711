// A small function driver for the PnP manager, registry and object-namespace tests:
// AddDevice creates a named FDO over the PDO; the PnP dispatch records every request
// it receives (minor code, IRQL, the status it arrived with, the IRP's stack count)
// and behaves as its options say: refuse queries, fail the start, publish a port
// name (a \DosDevices link from the PortName hardware value, and a SERIALCOMM
// device-map value) or break the PnP contract on purpose.
#pragma once

#include <kx/host.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace test {

struct RecordingOptions {
    bool failAddDevice = false;
    bool leaveInitializing = false;  // AddDevice leaves DO_DEVICE_INITIALIZING set
    int refuseQueryRemove = 0;       // refuse this many IRP_MN_QUERY_REMOVE_DEVICE
    int refuseQueryStop = 0;         // refuse this many IRP_MN_QUERY_STOP_DEVICE
    int failStart = 0;               // fail this many IRP_MN_START_DEVICE (after the bus started)
    bool failRemove = false;         // complete IRP_MN_REMOVE_DEVICE with an error
    bool keepDeviceOnRemove = false; // neither detach nor delete at removal
    bool publishPort = false;        // create and take down the port's names
    bool leakKeyHandle = false;      // leave the hardware key open at start
    bool keepLinkAtRemoval = false;  // forget to delete the link
};

struct SeenIrp {
    UCHAR minor = 0;
    KIRQL irql = PASSIVE_LEVEL;
    NTSTATUS statusOnEntry = 0;
    CCHAR stackCount = 0;
    CCHAR deviceStackSize = 0;
};

struct PublishedPort {
    std::u16string portName;
    std::u16string linkName;
    NTSTATUS status = STATUS_PENDING; // of the last publication
};

class RecordingDriver {
  public:
    explicit RecordingDriver(RecordingOptions options = {});
    ~RecordingDriver();
    RecordingDriver(const RecordingDriver&) = delete;
    RecordingDriver& operator=(const RecordingDriver&) = delete;

    PDRIVER_OBJECT Driver() const { return driver_; }
    // The FDO the last AddDevice created (it may be deleted since).
    PDEVICE_OBJECT Fdo() const;
    std::u16string FdoName() const;
    std::vector<UCHAR> Minors() const;
    std::vector<SeenIrp> Seen() const;
    void ClearSeen();
    // IRP_MN_QUERY_CAPABILITIES as it arrived, and as the lower drivers returned it.
    DEVICE_CAPABILITIES CapabilitiesOnEntry() const;
    DEVICE_CAPABILITIES CapabilitiesReturned() const;
    PublishedPort Port() const;
    void SetOptions(const RecordingOptions& options);
    // Unloads now (the destructor then does nothing).
    void Unload();

    // Driver callbacks (the driver object's entry points forward here).
    NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
    NTSTATUS DispatchPnp(PDEVICE_OBJECT fdo, PIRP irp);

  private:
    NTSTATUS Publish(PDEVICE_OBJECT fdo);
    void Unpublish();

    PDRIVER_OBJECT driver_ = nullptr;
    mutable std::mutex mutex_;
    RecordingOptions options_;
    std::vector<SeenIrp> seen_;
    DEVICE_CAPABILITIES capsOnEntry_{};
    DEVICE_CAPABILITIES capsReturned_{};
    PDEVICE_OBJECT fdo_ = nullptr;
    std::u16string fdoName_;
    PublishedPort port_;
    bool linkCreated_ = false;
    unsigned instances_ = 0;
};

} // namespace test
