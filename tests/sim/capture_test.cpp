// The USB capture: the pcap file header and the USBPcap packets of a class request
// byte for byte, the packets' order, and (when tshark is installed) Wireshark's
// decoding of a whole capture.
#include <sim/capture.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <unistd.h>

namespace sim_test {
namespace {

using Bytes = std::vector<uint8_t>;
using sim::CapturedPacket;
using sim::CaptureFile;
using sim::CaptureOptions;
using sim::SetupPacket;
using sim::UrbRecord;
using sim::UsbDirection;
using sim::UsbPipe;

// 2005-01-01 00:00 UTC in 100 ns units since 1601, the manual clock's boot.
constexpr LONGLONG Boot = 127490112000000000LL;
constexpr uint32_t BootUnixSeconds = 1104537600; // 0x41D5E800

CaptureOptions Plain() {
    CaptureOptions options;
    options.systemTimeAtBoot = Boot;
    options.injectDescriptors = false;
    return options;
}

std::string Write(const std::vector<UrbRecord>& records, const CaptureOptions& options = Plain()) {
    std::ostringstream out;
    EXPECT_TRUE(sim::WriteCapture(out, records, options));
    return out.str();
}

CaptureFile Read(const std::string& bytes) {
    std::istringstream in(bytes);
    std::optional<CaptureFile> file = sim::ReadCapture(in);
    EXPECT_TRUE(file.has_value());
    return file.value_or(CaptureFile{});
}

UrbRecord SetLineCoding() {
    UrbRecord r;
    r.irp = reinterpret_cast<PIRP>(0x89ABCDEFu);
    r.function = URB_FUNCTION_CLASS_INTERFACE;
    r.pipe = UsbPipe::Control;
    r.direction = UsbDirection::Out;
    r.setup = SetupPacket{0x21, 0x20, 0, 0, 7};
    r.requestedLength = 7;
    r.data = {0x00, 0xC2, 0x01, 0x00, 0x00, 0x00, 0x08}; // 115200 8N1
    r.submitSequence = 1;
    r.completeSequence = 2;
    r.submitTime = 15000000;   // 1.5 s after boot
    r.completeTime = 15000123; // 12.3 us later
    r.status = STATUS_SUCCESS;
    r.usbdStatus = USBD_STATUS_SUCCESS;
    return r;
}

UrbRecord Bulk(UsbPipe pipe, uintptr_t irp, uint64_t submit, uint64_t complete, Bytes data = {}) {
    UrbRecord r;
    r.irp = reinterpret_cast<PIRP>(irp);
    r.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    r.pipe = pipe;
    r.direction = sim::PipeDirection(pipe);
    r.requestedLength = 64;
    r.data = std::move(data);
    r.submitSequence = submit;
    r.completeSequence = complete;
    r.submitTime = static_cast<LONGLONG>(submit) * 10;
    r.completeTime = static_cast<LONGLONG>(complete) * 10;
    if (complete != 0) {
        r.status = STATUS_SUCCESS;
        r.usbdStatus = USBD_STATUS_SUCCESS;
    }
    return r;
}

// The microsecond pcap file header with the USBPcap link type, then a class request
// with a data stage as its SETUP, DATA and COMPLETE packets.
TEST(Capture, SetLineCodingIsSetupDataAndCompleteAfterTheUsbPcapFileHeader) {
    std::string bytes = Write({SetLineCoding()});
    const Bytes header = {
        0xD4, 0xC3, 0xB2, 0xA1, // magic a1b2c3d4, little-endian
        0x02, 0x00, 0x04, 0x00, // version 2.4
        0x00, 0x00, 0x00, 0x00, // time zone
        0x00, 0x00, 0x00, 0x00, // accuracy
        0xFF, 0xFF, 0x00, 0x00, // snap length 65535
        0xF9, 0x00, 0x00, 0x00, // LINKTYPE_USBPCAP
    };
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + sim::PcapFileHeaderSize), header);
    const Bytes expected = {
        // The SETUP packet.
        0x01, 0xE8, 0xD5, 0x41, 0x20, 0xA1, 0x07, 0x00, // 1104537601 s, 500000 us
        0x24, 0x00, 0x00, 0x00, 0x24, 0x00, 0x00, 0x00, // 36 bytes captured of 36
        0x1C, 0x00,                                     // headerLen 28
        0xEF, 0xCD, 0xAB, 0x89, 0x00, 0x00, 0x00, 0x00, // irpId
        0x00, 0x00, 0x00, 0x00,                         // USBD_STATUS_SUCCESS
        0x1B, 0x00,                                     // URB_FUNCTION_CLASS_INTERFACE
        0x00,                                           // FDO -> PDO
        0x01, 0x00, 0x02, 0x00,                         // bus 1, device 2
        0x00, 0x02,                                     // endpoint 0 OUT, control
        0x08, 0x00, 0x00, 0x00,                         // 8 bytes of data
        0x00,                                           // stage SETUP
        0x21, 0x20, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00, // the setup packet
        // The DATA packet.
        0x01, 0xE8, 0xD5, 0x41, 0x20, 0xA1, 0x07, 0x00, // the same time
        0x23, 0x00, 0x00, 0x00, 0x23, 0x00, 0x00, 0x00, // 35 bytes
        0x1C, 0x00, 0xEF, 0xCD, 0xAB, 0x89, 0x00, 0x00, // headerLen, irpId
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1B, 0x00, //
        0x00, 0x01, 0x00, 0x02, 0x00, 0x00, 0x02,       // FDO -> PDO
        0x07, 0x00, 0x00, 0x00,                         // 7 bytes of data
        0x01,                                           // stage DATA
        0x00, 0xC2, 0x01, 0x00, 0x00, 0x00, 0x08,       // the line coding
        // The COMPLETE packet.
        0x01, 0xE8, 0xD5, 0x41, 0x2C, 0xA1, 0x07, 0x00, // 500012 us
        0x1C, 0x00, 0x00, 0x00, 0x1C, 0x00, 0x00, 0x00, // 28 bytes
        0x1C, 0x00, 0xEF, 0xCD, 0xAB, 0x89, 0x00, 0x00, //
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1B, 0x00, //
        0x01, 0x01, 0x00, 0x02, 0x00, 0x00, 0x02,       // PDO -> FDO
        0x00, 0x00, 0x00, 0x00,                         // no data
        0x03,                                           // stage COMPLETE
    };
    EXPECT_EQ(Bytes(bytes.begin() + sim::PcapFileHeaderSize, bytes.end()), expected);

    CaptureFile file = Read(bytes);
    EXPECT_EQ(file.linkType, 249u);
    EXPECT_EQ(file.versionMajor, 2);
    EXPECT_EQ(file.versionMinor, 4);
    ASSERT_EQ(file.packets.size(), 3u);
    EXPECT_EQ(file.packets[0].stage, sim::UsbPcapStageSetup);
    EXPECT_EQ(file.packets[0].data, Bytes({0x21, 0x20, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00}));
    EXPECT_EQ(file.packets[1].stage, sim::UsbPcapStageData);
    EXPECT_EQ(file.packets[1].data, Bytes({0x00, 0xC2, 0x01, 0x00, 0x00, 0x00, 0x08}));
    EXPECT_EQ(file.packets[2].stage, sim::UsbPcapStageComplete);
    EXPECT_TRUE(file.packets[2].FromDevice());
}

TEST(Capture, PacketsFollowTheSequenceNumbers) {
    // A read waits while a write goes out and completes; a second read is still
    // outstanding at the end. The records come in submission order, not event order.
    std::vector<UrbRecord> records = {
        Bulk(UsbPipe::BulkIn, 0xA000, 1, 5, {'x'}),
        Bulk(UsbPipe::BulkOut, 0xB000, 2, 3, {'y'}),
        Bulk(UsbPipe::BulkIn, 0xC000, 4, 0),
    };
    CaptureFile file = Read(Write(records));
    std::vector<std::pair<uint64_t, bool>> order;
    for (const CapturedPacket& packet : file.packets)
        order.emplace_back(packet.irpId, packet.FromDevice());
    std::vector<std::pair<uint64_t, bool>> expected = {
        {0xA000, false}, {0xB000, false}, {0xB000, true}, {0xC000, false}, {0xA000, true}};
    EXPECT_EQ(order, expected);
    // Time stamps follow the kernel clock of each event.
    EXPECT_EQ(file.packets[4].seconds, BootUnixSeconds);
    EXPECT_EQ(file.packets[4].microseconds, 5u);
}

std::string Shell(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return output;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0)
        output.append(buffer, n);
    ::pclose(pipe);
    return output;
}

TEST(Capture, TsharkDecodesTheClassRequestsAndTheData) {
    if (std::system("command -v tshark >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "tshark is not installed";
    UrbRecord control = SetLineCoding();
    UrbRecord write = Bulk(UsbPipe::BulkOut, 0xB000, 3, 4, {'A', 'T', '\r'});
    write.submitTime = control.completeTime + 10;
    write.completeTime = write.submitTime + 10;
    UrbRecord read = Bulk(UsbPipe::BulkIn, 0xA000, 5, 6, {'O', 'K', '\r', '\n'});
    read.submitTime = write.completeTime + 10;
    read.completeTime = read.submitTime + 10;
    CaptureOptions options = Plain();
    options.injectDescriptors = true;
    std::string path = (std::filesystem::temp_directory_path() /
                        ("korvax-capture-" + std::to_string(::getpid()) + ".pcap"))
                           .string();
    ASSERT_TRUE(sim::WriteCapture(path, {control, write, read}, options));

    const std::string tshark = "tshark -r '" + path + "' ";
    std::string summary = Shell(tshark + "2>/dev/null");
    EXPECT_NE(summary.find("GET DESCRIPTOR Response CONFIGURATION"), std::string::npos) << summary;
    EXPECT_NE(summary.find("SET LINE CODING Request"), std::string::npos) << summary;
    std::string lineCoding = Shell(tshark + "-Y 'usbcom.control.request_code == 0x20' -T fields "
                                            "-e usb.irp_id -e usbcom.control.payload 2>/dev/null");
    EXPECT_EQ(lineCoding, "0x0000000089abcdef\t00c20100000008\n");
    // The AT dissector would claim the bytes sent; without it they stay raw data.
    std::string data = Shell(tshark + "--disable-protocol at "
                                      "-Y 'usb.transfer_type == 0x03 && usb.data_len > 0' "
                                      "-T fields -e usb.endpoint_address -e usb.irp_info.direction "
                                      "-e usb.capdata 2>/dev/null");
    EXPECT_EQ(data, "0x02\t0x00\t41540d\n0x82\t0x01\t4f4b0d0a\n");
    std::filesystem::remove(path);
}

} // namespace
} // namespace sim_test
