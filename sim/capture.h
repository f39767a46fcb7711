// The USB capture of the simulated world: the URBs the modem PDO recorded, written
// as a pcap file in the USBPcap link type, packet for packet as USBPcap records the
// traffic between a function driver and the USB stack on Windows, so that
// Wireshark and tshark decode the class requests and the data. Also a reader that
// parses such a file back, for tests.
#pragma once

#include "usb.h"

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// ---- The format ----------------------------------------------------------------------

inline constexpr uint32_t PcapMagic = 0xA1B2C3D4; // microsecond time stamps
inline constexpr uint16_t PcapVersionMajor = 2;
inline constexpr uint16_t PcapVersionMinor = 4;
inline constexpr uint32_t PcapLinkTypeUsbPcap = 249;
inline constexpr size_t PcapFileHeaderSize = 24;
inline constexpr size_t PcapRecordHeaderSize = 16;

// The packet header every USBPcap packet starts with (packed, little-endian), and
// the control header, which adds the stage byte.
inline constexpr size_t UsbPcapHeaderSize = 27;
inline constexpr size_t UsbPcapControlHeaderSize = 28;

// `info`: set on the way back up, when the PDO completes the IRP.
inline constexpr uint8_t UsbPcapInfoPdoToFdo = 0x01;

// `transfer`.
inline constexpr uint8_t UsbPcapTransferIsochronous = 0;
inline constexpr uint8_t UsbPcapTransferInterrupt = 1;
inline constexpr uint8_t UsbPcapTransferControl = 2;
inline constexpr uint8_t UsbPcapTransferBulk = 3;
// A URB that moves no data (abort, reset, a refused request): only the IRP is told.
inline constexpr uint8_t UsbPcapTransferIrpInfo = 0xFE;

// The stage byte of a control packet.
inline constexpr uint8_t UsbPcapStageSetup = 0;
inline constexpr uint8_t UsbPcapStageData = 1;
inline constexpr uint8_t UsbPcapStageStatus = 2;
inline constexpr uint8_t UsbPcapStageComplete = 3;

// ---- Writing ---------------------------------------------------------------------------

struct CaptureOptions {
    // Where the device appears: root hub number and device address.
    USHORT bus = 1;
    USHORT device = 2;
    // The system time at boot (100 ns units since 1601-01-01, as KeQuerySystemTime
    // counts) that the records' kernel times are added to. Unset: the running
    // kernel's, read when the writer is made (KernelSystemTimeAtBoot).
    std::optional<LONGLONG> systemTimeAtBoot;
    // Larger packets are cut to this many bytes (their original length is kept).
    uint32_t snapLength = 65535;
    // irpId is the IRP's address, as USBPcap writes it. Set, it is instead the
    // ordinal (1, 2, ...) of each distinct IRP address in the order of submission,
    // so that two runs of the same scenario give the same bytes.
    bool numberIrps = false;
    // Start the capture with the device's descriptors, as USBPcap does when it
    // injects the descriptors of a device already connected: GET_DESCRIPTOR of the
    // device and of the configuration, irpId 0, stamped at boot. Wireshark learns
    // from them that interface 0 is CDC communications (ACM) and interface 1 CDC
    // data, and so decodes the class requests and the notifications.
    bool injectDescriptors = true;
    USHORT vendorId = 0x1234;
    USHORT productId = 0x5678;
    // wMaxPacketSize of the endpoints in the injected descriptors.
    USHORT bulkMaxPacket = 64;
    USHORT interruptMaxPacket = 16;
};

// The system time at boot of the running hosted kernel, in 100 ns units since
// 1601-01-01 (exact on the manual clock, within a microsecond on the real one).
LONGLONG KernelSystemTimeAtBoot();

// The device and configuration descriptors written when descriptors are injected:
// a CDC ACM function with the endpoints of UsbPipe.
std::vector<uint8_t> CaptureDeviceDescriptor(const CaptureOptions& options);
std::vector<uint8_t> CaptureConfigurationDescriptor(const CaptureOptions& options);

// Writes one capture. The file header (and the injected descriptors) go out when
// the writer is made; Append then writes the packets of the submissions and
// completions in the records that are newer than any it has written, in the order
// of their sequence numbers. So a simulator can hand it ModemPdo::UrbRecords()
// again and again while it runs (an outstanding URB's submission is written at
// once, its completion with a later call), or once at the end. One writer serves
// one PDO: the sequence numbers start again with a new one.
//
// Per URB, as USBPcap writes it:
//   bulk and interrupt: at submission (info 0) the header and, for OUT, the data; at
//     completion (info 1) the header with the USBD status and, for IN, the data;
//   class and vendor requests (control header): at submission SETUP with the eight
//     setup bytes, then DATA with the data of a host-to-device data stage; at
//     completion DATA with the data a device-to-host request returned, if any, then
//     COMPLETE;
//   abort, reset and URBs the bus refused without knowing their pipe or setup
//     (IRP info header): the header alone, at submission and at completion.
class CaptureWriter {
  public:
    // Writes to `out`, which must outlive the writer.
    explicit CaptureWriter(std::ostream& out, const CaptureOptions& options = {});
    // Creates (or truncates) a file; null when it cannot be opened.
    static std::unique_ptr<CaptureWriter> Open(const std::string& path,
                                               const CaptureOptions& options = {});
    ~CaptureWriter();
    CaptureWriter(const CaptureWriter&) = delete;
    CaptureWriter& operator=(const CaptureWriter&) = delete;

    void Append(const std::vector<UrbRecord>& records);
    // One URB's record as it happens (PdoOptions::urbObserver): its submission the
    // first time, its completion once it has one (both for a URB refused at once),
    // each unless already written. Pushed to the file at once, so that a capture
    // of a session that is killed is readable up to the kill.
    void Add(const UrbRecord& record);
    // Pushes what was written to the stream or file.
    void Flush();
    // False once a write failed.
    bool Ok() const;
    size_t PacketsWritten() const { return packets_; }
    // The last sequence number whose packets have been written (0: none yet).
    uint64_t WrittenThrough() const { return writtenThrough_; }

  private:
    CaptureWriter(std::unique_ptr<std::ostream> file, const CaptureOptions& options);
    void WriteFileHeader();
    void WriteDescriptors();
    void WriteSubmission(const UrbRecord& record);
    void WriteCompletion(const UrbRecord& record);
    uint64_t IrpId(PIRP irp);
    // One packet: the USBPcap header (with the stage byte when stage is set) and data.
    void WritePacket(LONGLONG time, uint64_t irpId, USBD_STATUS status, USHORT function,
                     uint8_t info, uint8_t endpoint, uint8_t transfer, std::optional<uint8_t> stage,
                     const uint8_t* data, size_t size);

    std::unique_ptr<std::ostream> file_; // set when the writer opened a file
    std::ostream& out_;
    CaptureOptions options_;
    LONGLONG systemTimeAtBoot_ = 0;
    uint64_t writtenThrough_ = 0;
    size_t packets_ = 0;
    std::map<PIRP, uint64_t> irpNumbers_;
};

// Writes a whole capture at once; false when the file cannot be written.
bool WriteCapture(std::ostream& out, const std::vector<UrbRecord>& records,
                  const CaptureOptions& options = {});
bool WriteCapture(const std::string& path, const std::vector<UrbRecord>& records,
                  const CaptureOptions& options = {});

// ---- Reading ---------------------------------------------------------------------------

// One packet of a USBPcap capture, its header fields decoded.
struct CapturedPacket {
    uint32_t seconds = 0; // time stamp, since 1970-01-01 UTC
    uint32_t microseconds = 0;
    uint32_t originalLength = 0;
    std::vector<uint8_t> bytes; // the packet as captured, header included

    uint16_t headerLength = 0;
    uint64_t irpId = 0;
    uint32_t status = 0;
    uint16_t function = 0;
    uint8_t info = 0;
    uint16_t bus = 0;
    uint16_t device = 0;
    uint8_t endpoint = 0;
    uint8_t transfer = 0;
    uint32_t dataLength = 0;
    std::optional<uint8_t> stage; // control packets only
    std::vector<uint8_t> data;    // the captured part of the data

    bool FromDevice() const { return (info & UsbPcapInfoPdoToFdo) != 0; }
};

struct CaptureFile {
    uint16_t versionMajor = 0;
    uint16_t versionMinor = 0;
    uint32_t snapLength = 0;
    uint32_t linkType = 0;
    std::vector<CapturedPacket> packets;
};

// Parses a little-endian, microsecond pcap file of USBPcap packets; nullopt when
// it is not one or a packet is cut short.
std::optional<CaptureFile> ReadCapture(std::istream& in);
std::optional<CaptureFile> ReadCapture(const std::string& path);

} // namespace sim
