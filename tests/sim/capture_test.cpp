// The USB capture: the pcap file header, the USBPcap packets written for each kind of
// URB byte for byte, their order, incremental writing, the injected descriptors,
// reading a capture back, and (when tshark is installed) Wireshark's decoding.
#include <kx/host.h>
#include <sim/bus.h>
#include <sim/capture.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

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

PIRP FakeIrp(uintptr_t address) {
    return reinterpret_cast<PIRP>(address);
}

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

Bytes ToBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

UrbRecord SetLineCoding() {
    UrbRecord r;
    r.irp = FakeIrp(0x0000123456789ABCull);
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
    r.irp = FakeIrp(irp);
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

// ---- The file header -------------------------------------------------------------------

TEST(Capture, FileHeaderIsMicrosecondPcapWithUsbPcapLinkType) {
    std::string bytes = Write({});
    const Bytes expected = {
        0xD4, 0xC3, 0xB2, 0xA1, // magic a1b2c3d4, little-endian
        0x02, 0x00, 0x04, 0x00, // version 2.4
        0x00, 0x00, 0x00, 0x00, // time zone
        0x00, 0x00, 0x00, 0x00, // accuracy
        0xFF, 0xFF, 0x00, 0x00, // snap length 65535
        0xF9, 0x00, 0x00, 0x00, // LINKTYPE_USBPCAP
    };
    EXPECT_EQ(ToBytes(bytes), expected);
    CaptureFile file = Read(bytes);
    EXPECT_EQ(file.linkType, 249u);
    EXPECT_EQ(file.versionMajor, 2);
    EXPECT_EQ(file.versionMinor, 4);
    EXPECT_TRUE(file.packets.empty());
}

// ---- Class requests ----------------------------------------------------------------------

TEST(Capture, SetLineCodingIsSetupDataAndComplete) {
    std::string bytes = Write({SetLineCoding()});

    const Bytes setup = {
        0x01, 0xE8, 0xD5, 0x41, 0x20, 0xA1, 0x07, 0x00, // 1104537601 s, 500000 us
        0x24, 0x00, 0x00, 0x00, 0x24, 0x00, 0x00, 0x00, // 36 bytes captured of 36
        0x1C, 0x00,                                     // headerLen 28
        0xBC, 0x9A, 0x78, 0x56, 0x34, 0x12, 0x00, 0x00, // irpId
        0x00, 0x00, 0x00, 0x00,                         // USBD_STATUS_SUCCESS
        0x1B, 0x00,                                     // URB_FUNCTION_CLASS_INTERFACE
        0x00,                                           // FDO -> PDO
        0x01, 0x00, 0x02, 0x00,                         // bus 1, device 2
        0x00, 0x02,                                     // endpoint 0 OUT, control
        0x08, 0x00, 0x00, 0x00,                         // 8 bytes of data
        0x00,                                           // stage SETUP
        0x21, 0x20, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00, // the setup packet
    };
    const Bytes data = {
        0x01, 0xE8, 0xD5, 0x41, 0x20, 0xA1, 0x07, 0x00, //
        0x23, 0x00, 0x00, 0x00, 0x23, 0x00, 0x00, 0x00, // 35 bytes
        0x1C, 0x00, 0xBC, 0x9A, 0x78, 0x56, 0x34, 0x12, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x1B, 0x00, 0x00, 0x01, 0x00, 0x02, 0x00, 0x00, 0x02, //
        0x07, 0x00, 0x00, 0x00,                                           // 7 bytes of data
        0x01,                                                             // stage DATA
        0x00, 0xC2, 0x01, 0x00, 0x00, 0x00, 0x08,                         // the line coding
    };
    const Bytes complete = {
        0x01, 0xE8, 0xD5, 0x41, 0x2C, 0xA1, 0x07, 0x00, // 500012 us
        0x1C, 0x00, 0x00, 0x00, 0x1C, 0x00, 0x00, 0x00, // 28 bytes
        0x1C, 0x00, 0xBC, 0x9A, 0x78, 0x56, 0x34, 0x12,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1B, 0x00, //
        0x01,                                           // PDO -> FDO
        0x01, 0x00, 0x02, 0x00, 0x00, 0x02,             //
        0x00, 0x00, 0x00, 0x00,                         // no data
        0x03,                                           // stage COMPLETE
    };
    EXPECT_EQ(ToBytes(bytes.substr(sim::PcapFileHeaderSize)), Concat({setup, data, complete}));

    CaptureFile file = Read(bytes);
    ASSERT_EQ(file.packets.size(), 3u);
    EXPECT_EQ(file.packets[0].stage, sim::UsbPcapStageSetup);
    EXPECT_EQ(file.packets[0].data, Bytes({0x21, 0x20, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00}));
    EXPECT_EQ(file.packets[1].stage, sim::UsbPcapStageData);
    EXPECT_EQ(file.packets[1].data, Bytes({0x00, 0xC2, 0x01, 0x00, 0x00, 0x00, 0x08}));
    EXPECT_EQ(file.packets[2].stage, sim::UsbPcapStageComplete);
    EXPECT_TRUE(file.packets[2].FromDevice());
}

TEST(Capture, DeviceToHostRequestReturnsItsDataAtCompletion) {
    UrbRecord r = SetLineCoding();
    r.direction = UsbDirection::In;
    r.setup = SetupPacket{0xA1, 0x21, 0, 0, 7}; // GET_LINE_CODING
    r.data = {0x80, 0x25, 0x00, 0x00, 0x00, 0x00, 0x08};

    CaptureFile file = Read(Write({r}));
    ASSERT_EQ(file.packets.size(), 3u);
    const CapturedPacket& setup = file.packets[0];
    EXPECT_EQ(setup.endpoint, 0x80);
    EXPECT_FALSE(setup.FromDevice());
    EXPECT_EQ(setup.data, Bytes({0xA1, 0x21, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00}));
    const CapturedPacket& data = file.packets[1];
    EXPECT_EQ(data.stage, sim::UsbPcapStageData);
    EXPECT_TRUE(data.FromDevice());
    EXPECT_EQ(data.endpoint, 0x80);
    EXPECT_EQ(data.data, r.data);
    EXPECT_EQ(file.packets[2].stage, sim::UsbPcapStageComplete);
    EXPECT_EQ(file.packets[2].dataLength, 0u);
}

TEST(Capture, StalledRequestCompletesWithItsUsbdStatus) {
    UrbRecord r = SetLineCoding();
    r.direction = UsbDirection::In;
    r.setup = SetupPacket{0xA1, 0x21, 0, 0, 7};
    r.data.clear();
    r.status = STATUS_UNSUCCESSFUL;
    r.usbdStatus = USBD_STATUS_STALL_PID;

    CaptureFile file = Read(Write({r}));
    ASSERT_EQ(file.packets.size(), 2u); // SETUP, COMPLETE: no data came back
    EXPECT_EQ(file.packets[0].status, 0u);
    EXPECT_EQ(file.packets[1].stage, sim::UsbPcapStageComplete);
    EXPECT_EQ(file.packets[1].status, 0xC0000004u);
}

TEST(Capture, RequestWithoutDataStageIsSetupAndComplete) {
    UrbRecord r = SetLineCoding();
    r.setup = SetupPacket{0x21, 0x22, 0x0003, 0, 0}; // SET_CONTROL_LINE_STATE DTR RTS
    r.data.clear();

    CaptureFile file = Read(Write({r}));
    ASSERT_EQ(file.packets.size(), 2u);
    EXPECT_EQ(file.packets[0].data, Bytes({0x21, 0x22, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(file.packets[1].stage, sim::UsbPcapStageComplete);
}

// ---- Bulk and interrupt ------------------------------------------------------------------

TEST(Capture, BulkInCarriesItsDataAtCompletionOnly) {
    UrbRecord r = Bulk(UsbPipe::BulkIn, 0x1000, 1, 2, {'O', 'K', '\r', '\n'});
    r.usbdStatus = USBD_STATUS_SUCCESS;
    std::string bytes = Write({r});

    const Bytes submission = {
        0x00, 0xE8, 0xD5, 0x41, 0x01, 0x00, 0x00, 0x00, // 1 us after boot
        0x1B, 0x00, 0x00, 0x00, 0x1B, 0x00, 0x00, 0x00, // 27 bytes
        0x1B, 0x00,                                     // headerLen 27
        0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // irpId 0x1000
        0x00, 0x00, 0x00, 0x00,                         //
        0x09, 0x00,                                     // BULK_OR_INTERRUPT_TRANSFER
        0x00,                                           // FDO -> PDO
        0x01, 0x00, 0x02, 0x00,                         //
        0x82, 0x03,                                     // endpoint 2 IN, bulk
        0x00, 0x00, 0x00, 0x00,                         // no data yet
    };
    const Bytes completion = {
        0x00, 0xE8, 0xD5, 0x41, 0x02, 0x00, 0x00, 0x00, //
        0x1F, 0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00, // 31 bytes
        0x1B, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x09, 0x00, //
        0x01,                                           // PDO -> FDO
        0x01, 0x00, 0x02, 0x00, 0x82, 0x03,             //
        0x04, 0x00, 0x00, 0x00,                         // 4 bytes
        'O',  'K',  '\r', '\n',
    };
    EXPECT_EQ(ToBytes(bytes.substr(sim::PcapFileHeaderSize)), Concat({submission, completion}));
}

TEST(Capture, BulkOutCarriesItsDataAtSubmissionOnly) {
    UrbRecord r = Bulk(UsbPipe::BulkOut, 0x2000, 1, 2, {'A', 'T', '\r'});
    CaptureFile file = Read(Write({r}));
    ASSERT_EQ(file.packets.size(), 2u);
    EXPECT_EQ(file.packets[0].endpoint, 0x02);
    EXPECT_EQ(file.packets[0].transfer, sim::UsbPcapTransferBulk);
    EXPECT_EQ(file.packets[0].headerLength, 27);
    EXPECT_EQ(file.packets[0].data, Bytes({'A', 'T', '\r'}));
    EXPECT_FALSE(file.packets[0].stage.has_value());
    EXPECT_TRUE(file.packets[1].FromDevice());
    EXPECT_EQ(file.packets[1].dataLength, 0u);
}

TEST(Capture, InterruptInIsAnInterruptTransferOnEndpoint81) {
    // SERIAL_STATE: DCD and DSR.
    Bytes notification = {0xA1, 0x20, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x03, 0x00};
    CaptureFile file = Read(Write({Bulk(UsbPipe::InterruptIn, 0x3000, 1, 2, notification)}));
    ASSERT_EQ(file.packets.size(), 2u);
    EXPECT_EQ(file.packets[1].transfer, sim::UsbPcapTransferInterrupt);
    EXPECT_EQ(file.packets[1].endpoint, 0x81);
    EXPECT_EQ(file.packets[1].data, notification);
}

// ---- Abort, reset and refused URBs ------------------------------------------------------

TEST(Capture, AbortPipeIsAnIrpInfoPacketForTheTargetEndpoint) {
    UrbRecord r;
    r.irp = FakeIrp(0x4000);
    r.function = URB_FUNCTION_ABORT_PIPE;
    r.pipe = UsbPipe::BulkIn;
    r.direction = UsbDirection::In;
    r.submitSequence = 1;
    r.completeSequence = 2;
    r.status = STATUS_SUCCESS;
    r.usbdStatus = USBD_STATUS_SUCCESS;
    std::string bytes = Write({r});

    const Bytes header = {
        0x1B, 0x00,                                     // headerLen 27
        0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // irpId
        0x00, 0x00, 0x00, 0x00,                         //
        0x02, 0x00,                                     // URB_FUNCTION_ABORT_PIPE
        0x00,                                           //
        0x01, 0x00, 0x02, 0x00,                         //
        0x82, 0xFE,                                     // endpoint 2 IN, IRP info
        0x00, 0x00, 0x00, 0x00,                         // no data
    };
    CaptureFile file = Read(bytes);
    ASSERT_EQ(file.packets.size(), 2u);
    EXPECT_EQ(file.packets[0].bytes, header);
    Bytes completion = header;
    completion[16] = 0x01;
    EXPECT_EQ(file.packets[1].bytes, completion);
}

TEST(Capture, ResetPipeKeepsItsFunctionCode) {
    UrbRecord r;
    r.irp = FakeIrp(0x5000);
    r.function = URB_FUNCTION_RESET_PIPE;
    r.pipe = UsbPipe::BulkOut;
    r.submitSequence = 1;
    r.completeSequence = 2;
    r.status = STATUS_SUCCESS;
    r.usbdStatus = USBD_STATUS_SUCCESS;
    CaptureFile file = Read(Write({r}));
    ASSERT_EQ(file.packets.size(), 2u);
    for (const CapturedPacket& packet : file.packets) {
        EXPECT_EQ(packet.function, 0x001E);
        EXPECT_EQ(packet.endpoint, 0x02);
        EXPECT_EQ(packet.transfer, sim::UsbPcapTransferIrpInfo);
        EXPECT_EQ(packet.dataLength, 0u);
    }
}

TEST(Capture, RefusedUrbWithoutPipeIsAnIrpInfoPacket) {
    UrbRecord r;
    r.irp = FakeIrp(0x6000);
    r.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER; // with a handle the bus does not know
    r.submitSequence = 1;
    r.completeSequence = 2;
    r.status = STATUS_INVALID_PARAMETER;
    r.usbdStatus = USBD_STATUS_INVALID_PIPE_HANDLE;
    CaptureFile file = Read(Write({r}));
    ASSERT_EQ(file.packets.size(), 2u);
    EXPECT_EQ(file.packets[0].transfer, sim::UsbPcapTransferIrpInfo);
    EXPECT_EQ(file.packets[0].endpoint, 0x00);
    EXPECT_EQ(file.packets[1].status, 0x80000600u);
}

// ---- Order and incremental writing ---------------------------------------------------------

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

TEST(Capture, AppendWritesOnlyWhatIsNew) {
    UrbRecord read = Bulk(UsbPipe::BulkIn, 0xA000, 1, 0);
    UrbRecord write = Bulk(UsbPipe::BulkOut, 0xB000, 2, 3, {'y'});
    std::vector<UrbRecord> first = {read, write};
    UrbRecord readDone = Bulk(UsbPipe::BulkIn, 0xA000, 1, 4, {'x'});
    std::vector<UrbRecord> second = {readDone, write, Bulk(UsbPipe::BulkIn, 0xC000, 5, 0)};

    std::ostringstream incremental;
    {
        sim::CaptureWriter writer(incremental, Plain());
        writer.Append(first);
        EXPECT_EQ(writer.PacketsWritten(), 3u);
        EXPECT_EQ(writer.WrittenThrough(), 3u);
        writer.Append(second);
        EXPECT_EQ(writer.PacketsWritten(), 5u);
        writer.Append(second);
        EXPECT_EQ(writer.PacketsWritten(), 5u);
        EXPECT_TRUE(writer.Ok());
    }
    EXPECT_EQ(incremental.str(), Write(second));
}

TEST(Capture, NumberedIrpsAreOrdinalsOfDistinctIrps) {
    CaptureOptions options = Plain();
    options.numberIrps = true;
    std::vector<UrbRecord> records = {
        Bulk(UsbPipe::BulkIn, 0xA000, 1, 2), Bulk(UsbPipe::BulkOut, 0xB000, 3, 4, {'y'}),
        Bulk(UsbPipe::BulkIn, 0xA000, 5, 6), // the same IRP, reused
    };
    CaptureFile file = Read(Write(records, options));
    std::vector<uint64_t> ids;
    for (const CapturedPacket& packet : file.packets)
        ids.push_back(packet.irpId);
    EXPECT_EQ(ids, std::vector<uint64_t>({1, 1, 2, 2, 1, 1}));
}

// ---- Descriptors ---------------------------------------------------------------------------

TEST(Capture, InjectedDescriptorsComeFirst) {
    CaptureOptions options = Plain();
    options.injectDescriptors = true;
    CaptureFile file = Read(Write({SetLineCoding()}, options));
    ASSERT_EQ(file.packets.size(), 9u);

    Bytes configuration = sim::CaptureConfigurationDescriptor(options);
    ASSERT_EQ(configuration.size(), 67u);
    EXPECT_EQ(configuration[2], 67);
    EXPECT_EQ(configuration[3], 0);

    EXPECT_EQ(file.packets[0].data, Bytes({0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00}));
    EXPECT_EQ(file.packets[1].data, sim::CaptureDeviceDescriptor(options));
    EXPECT_EQ(file.packets[2].stage, sim::UsbPcapStageComplete);
    EXPECT_EQ(file.packets[3].data, Bytes({0x80, 0x06, 0x00, 0x02, 0x00, 0x00, 0x43, 0x00}));
    EXPECT_EQ(file.packets[4].data, configuration);
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(file.packets[i].irpId, 0u);
        EXPECT_EQ(file.packets[i].function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
        EXPECT_EQ(file.packets[i].seconds, BootUnixSeconds);
    }
    EXPECT_EQ(file.packets[6].function, URB_FUNCTION_CLASS_INTERFACE);
}

TEST(Capture, DeviceDescriptorNamesTheVendorAndProduct) {
    CaptureOptions options;
    options.vendorId = 0xABCD;
    options.productId = 0x0102;
    const Bytes expected = {0x12, 0x01, 0x00, 0x02, 0x02, 0x00, 0x00, 0x40, 0xCD,
                            0xAB, 0x02, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01};
    EXPECT_EQ(sim::CaptureDeviceDescriptor(options), expected);
}

// ---- Limits, files and the kernel clock --------------------------------------------------

TEST(Capture, PacketsLongerThanTheSnapLengthAreCut) {
    CaptureOptions options = Plain();
    options.snapLength = 40;
    CaptureFile file =
        Read(Write({Bulk(UsbPipe::BulkOut, 0x1000, 1, 2, Bytes(100, 0x55))}, options));
    ASSERT_EQ(file.packets.size(), 2u);
    EXPECT_EQ(file.snapLength, 40u);
    EXPECT_EQ(file.packets[0].bytes.size(), 40u);
    EXPECT_EQ(file.packets[0].originalLength, 127u);
    EXPECT_EQ(file.packets[0].dataLength, 100u);
    EXPECT_EQ(file.packets[0].data, Bytes(13, 0x55));
}

TEST(Capture, ReaderRefusesWhatIsNotAUsbPcapCapture) {
    std::string good = Write({SetLineCoding()});
    std::string badMagic = good;
    badMagic[0] = 0x4D;
    std::string otherLinkType = good;
    otherLinkType[20] = 1;
    std::string cutShort = good.substr(0, good.size() - 1);
    for (const std::string& bytes : {badMagic, otherLinkType, cutShort}) {
        std::istringstream in(bytes);
        EXPECT_FALSE(sim::ReadCapture(in).has_value());
    }
}

class CaptureFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("korvax-capture-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string Path(const char* name) const { return (dir_ / name).string(); }

    std::filesystem::path dir_;
};

TEST_F(CaptureFileTest, WritesAndReadsAFile) {
    std::string path = Path("modem.pcap");
    ASSERT_TRUE(sim::WriteCapture(path, {SetLineCoding()}, Plain()));
    std::optional<CaptureFile> file = sim::ReadCapture(path);
    ASSERT_TRUE(file.has_value());
    EXPECT_EQ(file->packets.size(), 3u);

    std::ifstream in(path, std::ios::binary);
    std::string onDisk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(onDisk, Write({SetLineCoding()}));
}

TEST_F(CaptureFileTest, OpeningADirectoryFails) {
    EXPECT_EQ(sim::CaptureWriter::Open(dir_.string(), Plain()), nullptr);
    EXPECT_FALSE(sim::WriteCapture(dir_.string(), {}, Plain()));
    EXPECT_FALSE(sim::ReadCapture(Path("missing.pcap")).has_value());
}

TEST(Capture, TimeStampsComeFromTheKernelClock) {
    kx::Kernel kernel; // manual clock
    EXPECT_EQ(sim::KernelSystemTimeAtBoot(), Boot);
    kx::AdvanceTime(25000000); // 2.5 s
    UrbRecord r = Bulk(UsbPipe::BulkIn, 0x1000, 1, 2, {'x'});
    r.submitTime = kx::CurrentTime();
    r.completeTime = r.submitTime + 7;

    CaptureOptions options; // the boot time from the kernel, descriptors injected
    std::ostringstream out;
    ASSERT_TRUE(sim::WriteCapture(out, {r}, options));
    CaptureFile file = Read(out.str());
    ASSERT_EQ(file.packets.size(), 8u);
    EXPECT_EQ(file.packets[0].seconds, BootUnixSeconds);
    EXPECT_EQ(file.packets[0].microseconds, 0u);
    EXPECT_EQ(file.packets[6].seconds, BootUnixSeconds + 2);
    EXPECT_EQ(file.packets[6].microseconds, 500000u);
    EXPECT_EQ(file.packets[7].microseconds, 500000u); // 700 ns later
}

// ---- Records of the modem PDO ----------------------------------------------------------

// One URB sent to the PDO on an IRP of the test's own, waited for.
class UrbCall {
  public:
    UrbCall(PDEVICE_OBJECT device, const URB& urb, Bytes buffer)
        : urb_(urb), buffer_(std::move(buffer)) {
        KeInitializeEvent(&done_, NotificationEvent, FALSE);
        PVOID data = buffer_.empty() ? nullptr : buffer_.data();
        if (urb_.UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
            urb_.UrbBulkOrInterruptTransfer.TransferBuffer = data;
        else
            urb_.UrbControlVendorClassRequest.TransferBuffer = data;
        irp_ = IoAllocateIrp(device->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = &urb_;
        IoSetCompletionRoutine(irp_, OnComplete, &done_, TRUE, TRUE, TRUE);
        IoCallDriver(device, irp_);
    }
    ~UrbCall() {
        Wait();
        IoFreeIrp(irp_);
    }
    UrbCall(const UrbCall&) = delete;
    UrbCall& operator=(const UrbCall&) = delete;

    void Wait() { KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, nullptr); }
    PIRP Irp() const { return irp_; }

  private:
    static NTSTATUS NTAPI OnComplete(PDEVICE_OBJECT, PIRP, PVOID context) {
        KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    URB urb_;
    Bytes buffer_;
    KEVENT done_;
    PIRP irp_ = nullptr;
};

TEST(Capture, RecordsOfTheModemPdoBecomeTheirPackets) {
    kx::Kernel kernel;
    sim::ParentBus bus;
    sim::ModemPdo& pdo = bus.CreateModemPdo();

    URB lineCoding{};
    lineCoding.UrbHeader.Length = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    lineCoding.UrbHeader.Function = URB_FUNCTION_CLASS_INTERFACE;
    lineCoding.UrbControlVendorClassRequest.TransferFlags = USBD_TRANSFER_DIRECTION_OUT;
    lineCoding.UrbControlVendorClassRequest.TransferBufferLength = 7;
    lineCoding.UrbControlVendorClassRequest.Request = 0x20;
    URB read{};
    read.UrbHeader.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    read.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    read.UrbBulkOrInterruptTransfer.PipeHandle = pdo.BulkInPipe();
    read.UrbBulkOrInterruptTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
    read.UrbBulkOrInterruptTransfer.TransferBufferLength = 64;

    kx::AdvanceTime(10000); // 1 ms
    PIRP controlIrp;
    {
        UrbCall control(pdo.Device(), lineCoding, {0x00, 0xC2, 0x01, 0x00, 0x00, 0x00, 0x08});
        control.Wait();
        controlIrp = control.Irp();
    }
    PIRP readIrp;
    {
        UrbCall in(pdo.Device(), read, Bytes(64));
        kx::AdvanceTime(20000); // 2 ms
        pdo.SendBulkIn({'O', 'K'});
        in.Wait();
        readIrp = in.Irp();
    }

    CaptureOptions options;
    options.injectDescriptors = false;
    std::ostringstream out;
    ASSERT_TRUE(sim::WriteCapture(out, pdo.UrbRecords(), options));
    CaptureFile file = Read(out.str());
    ASSERT_EQ(file.packets.size(), 5u);
    const CapturedPacket& setup = file.packets[0];
    EXPECT_EQ(setup.irpId, reinterpret_cast<uintptr_t>(controlIrp));
    EXPECT_EQ(setup.data, Bytes({0x21, 0x20, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00}));
    EXPECT_EQ(setup.microseconds, 1000u);
    EXPECT_EQ(file.packets[1].data, Bytes({0x00, 0xC2, 0x01, 0x00, 0x00, 0x00, 0x08}));
    EXPECT_EQ(file.packets[2].stage, sim::UsbPcapStageComplete);
    EXPECT_EQ(file.packets[3].irpId, reinterpret_cast<uintptr_t>(readIrp));
    EXPECT_EQ(file.packets[3].endpoint, 0x82);
    EXPECT_TRUE(file.packets[3].data.empty());
    EXPECT_EQ(file.packets[4].data, Bytes({'O', 'K'}));
    EXPECT_EQ(file.packets[4].microseconds, 3000u);
    EXPECT_EQ(file.packets[4].seconds, BootUnixSeconds);
}

// ---- Wireshark -----------------------------------------------------------------------------

bool HaveTshark() {
    return std::system("command -v tshark >/dev/null 2>&1") == 0;
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

TEST_F(CaptureFileTest, TsharkDecodesTheClassRequestsAndTheData) {
    if (!HaveTshark())
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
    std::string path = Path("tshark.pcap");
    ASSERT_TRUE(sim::WriteCapture(path, {control, write, read}, options));

    const std::string tshark = "tshark -r '" + path + "' ";
    std::string summary = Shell(tshark + "2>/dev/null");
    EXPECT_NE(summary.find("GET DESCRIPTOR Response CONFIGURATION"), std::string::npos) << summary;
    EXPECT_NE(summary.find("SET LINE CODING Request"), std::string::npos) << summary;
    std::string lineCoding = Shell(tshark + "-Y 'usbcom.control.request_code == 0x20' -T fields "
                                            "-e usb.irp_id -e usbcom.control.payload 2>/dev/null");
    EXPECT_EQ(lineCoding, "0x0000123456789abc\t00c20100000008\n");
    // The AT dissector would claim the bytes sent; without it they stay raw data.
    std::string data = Shell(tshark + "--disable-protocol at "
                                      "-Y 'usb.transfer_type == 0x03 && usb.data_len > 0' "
                                      "-T fields -e usb.endpoint_address -e usb.irp_info.direction "
                                      "-e usb.capdata 2>/dev/null");
    EXPECT_EQ(data, "0x02\t0x00\t41540d\n0x82\t0x01\t4f4b0d0a\n");
}

} // namespace
