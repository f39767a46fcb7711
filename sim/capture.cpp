// Writing the PDO's URB records as a USBPcap capture, and reading one back.
#include "capture.h"

#include <kx/host.h>

#include <algorithm>
#include <fstream>
#include <initializer_list>
#include <istream>
#include <ostream>

namespace sim {

namespace {

// 100 ns units from 1601-01-01 to 1970-01-01.
constexpr LONGLONG UnixEpochAsSystemTime = 116444736000000000LL;

constexpr uint8_t DirectionIn = 0x80;
constexpr uint8_t GetDescriptor = 0x06;
constexpr uint8_t DeviceDescriptorType = 0x01;
constexpr uint8_t ConfigurationDescriptorType = 0x02;

// Little-endian fields into a byte buffer.
class Bytes {
  public:
    void U8(uint8_t value) { bytes_.push_back(value); }
    void U16(uint16_t value) {
        U8(static_cast<uint8_t>(value));
        U8(static_cast<uint8_t>(value >> 8));
    }
    void U32(uint32_t value) {
        U16(static_cast<uint16_t>(value));
        U16(static_cast<uint16_t>(value >> 16));
    }
    void U64(uint64_t value) {
        U32(static_cast<uint32_t>(value));
        U32(static_cast<uint32_t>(value >> 32));
    }
    void Raw(std::initializer_list<uint8_t> bytes) { bytes_.insert(bytes_.end(), bytes); }
    void Append(const uint8_t* data, size_t size) {
        bytes_.insert(bytes_.end(), data, data + size);
    }
    const std::vector<uint8_t>& Get() const { return bytes_; }
    std::vector<uint8_t>& Get() { return bytes_; }

  private:
    std::vector<uint8_t> bytes_;
};

// Little-endian fields out of a byte buffer; reads past the end fail.
class Reader {
  public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Has(size_t count) const { return size_ - offset_ >= count; }
    uint8_t U8() { return data_[offset_++]; }
    uint16_t U16() {
        uint16_t low = U8();
        return static_cast<uint16_t>(low | (U8() << 8));
    }
    uint32_t U32() {
        uint32_t low = U16();
        return low | (static_cast<uint32_t>(U16()) << 16);
    }
    uint64_t U64() {
        uint64_t low = U32();
        return low | (static_cast<uint64_t>(U32()) << 32);
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
};

void WriteBytes(std::ostream& out, const std::vector<uint8_t>& bytes) {
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

bool ReadBytes(std::istream& in, uint8_t* data, size_t size) {
    in.read(reinterpret_cast<char*>(data), static_cast<std::streamsize>(size));
    return static_cast<size_t>(in.gcount()) == size;
}

// How USBPcap files a URB: its transfer type and the endpoint address it names.
struct Addressing {
    uint8_t transfer = UsbPcapTransferIrpInfo;
    uint8_t endpoint = 0;
};

Addressing AddressOf(const UrbRecord& record) {
    Addressing addressing;
    if (record.pipe)
        addressing.endpoint = EndpointAddress(*record.pipe);
    if (record.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && record.pipe &&
        *record.pipe != UsbPipe::Control) {
        addressing.transfer = PipeTransferType(*record.pipe) == UsbTransferType::Interrupt
                                  ? UsbPcapTransferInterrupt
                                  : UsbPcapTransferBulk;
    } else if (record.setup) {
        // The default pipe carries both directions; the request's decides.
        addressing.transfer = UsbPcapTransferControl;
        addressing.endpoint = record.direction == UsbDirection::In ? DirectionIn : 0x00;
    }
    return addressing;
}

} // namespace

LONGLONG KernelSystemTimeAtBoot() {
    // System time is interrupt time plus the system time at boot; the two are read
    // one after the other, so take the reading with the least time between them.
    LONGLONG best = 0;
    LONGLONG narrowest = -1;
    for (int attempt = 0; attempt < 8; ++attempt) {
        LONGLONG before = kx::CurrentTime();
        LARGE_INTEGER system;
        KeQuerySystemTime(&system);
        LONGLONG after = kx::CurrentTime();
        if (narrowest < 0 || after - before < narrowest) {
            narrowest = after - before;
            best = system.QuadPart - before - narrowest / 2;
        }
        if (narrowest == 0)
            break;
    }
    return best;
}

std::vector<uint8_t> CaptureDeviceDescriptor(const CaptureOptions& options) {
    Bytes d;
    d.U8(18);
    d.U8(DeviceDescriptorType);
    d.U16(0x0200); // bcdUSB
    d.U8(0x02);    // communications device class
    d.U8(0x00);
    d.U8(0x00);
    d.U8(64); // bMaxPacketSize0
    d.U16(options.vendorId);
    d.U16(options.productId);
    d.U16(0x0100); // bcdDevice
    d.U8(0);       // no strings
    d.U8(0);
    d.U8(0);
    d.U8(1); // bNumConfigurations
    return d.Get();
}

std::vector<uint8_t> CaptureConfigurationDescriptor(const CaptureOptions& options) {
    auto endpoint = [](Bytes& d, UsbPipe pipe, USHORT maxPacket, uint8_t interval) {
        d.U8(7);
        d.U8(0x05);
        d.U8(EndpointAddress(pipe));
        d.U8(PipeTransferType(pipe) == UsbTransferType::Interrupt ? 0x03 : 0x02);
        d.U16(maxPacket);
        d.U8(interval);
    };
    Bytes d;
    d.U8(9);
    d.U8(ConfigurationDescriptorType);
    d.U16(0); // wTotalLength, filled in below
    d.U8(2);  // bNumInterfaces
    d.U8(1);  // bConfigurationValue
    d.U8(0);
    d.U8(0x80); // bus powered
    d.U8(250);  // 500 mA
    // Interface 0: communications class, abstract control model, AT commands.
    d.Raw({9, 0x04, 0, 0, 1, 0x02, 0x02, 0x01, 0});
    d.Raw({5, 0x24, 0x00, 0x10, 0x01}); // header: CDC 1.10
    d.Raw({5, 0x24, 0x01, 0x00, 1});    // call management: none, data interface 1
    d.Raw({4, 0x24, 0x02, 0x06});       // ACM: line coding, serial state, break
    d.Raw({5, 0x24, 0x06, 0, 1});       // union: interface 0 controls interface 1
    endpoint(d, UsbPipe::InterruptIn, options.interruptMaxPacket, 16);
    // Interface 1: CDC data.
    d.Raw({9, 0x04, 1, 0, 2, 0x0A, 0x00, 0x00, 0});
    endpoint(d, UsbPipe::BulkIn, options.bulkMaxPacket, 0);
    endpoint(d, UsbPipe::BulkOut, options.bulkMaxPacket, 0);
    std::vector<uint8_t>& bytes = d.Get();
    bytes[2] = static_cast<uint8_t>(bytes.size());
    bytes[3] = static_cast<uint8_t>(bytes.size() >> 8);
    return bytes;
}

// ---- CaptureWriter ------------------------------------------------------------------------

CaptureWriter::CaptureWriter(std::ostream& out, const CaptureOptions& options)
    : out_(out), options_(options) {
    WriteFileHeader();
}

CaptureWriter::CaptureWriter(std::unique_ptr<std::ostream> file, const CaptureOptions& options)
    : file_(std::move(file)), out_(*file_), options_(options) {
    WriteFileHeader();
}

std::unique_ptr<CaptureWriter> CaptureWriter::Open(const std::string& path,
                                                   const CaptureOptions& options) {
    auto file = std::make_unique<std::ofstream>(path, std::ios::binary | std::ios::trunc);
    if (!*file)
        return nullptr;
    return std::unique_ptr<CaptureWriter>(new CaptureWriter(std::move(file), options));
}

CaptureWriter::~CaptureWriter() {
    Flush();
}

void CaptureWriter::Flush() {
    out_.flush();
}

bool CaptureWriter::Ok() const {
    return out_.good();
}

void CaptureWriter::WriteFileHeader() {
    systemTimeAtBoot_ =
        options_.systemTimeAtBoot ? *options_.systemTimeAtBoot : KernelSystemTimeAtBoot();
    Bytes header;
    header.U32(PcapMagic);
    header.U16(PcapVersionMajor);
    header.U16(PcapVersionMinor);
    header.U32(0); // time zone: UTC
    header.U32(0); // time stamp accuracy
    header.U32(options_.snapLength);
    header.U32(PcapLinkTypeUsbPcap);
    WriteBytes(out_, header.Get());
    if (options_.injectDescriptors)
        WriteDescriptors();
}

void CaptureWriter::WriteDescriptors() {
    // What a GET_DESCRIPTOR request of the device and of its configuration would
    // show, irpId 0 as USBPcap gives injected packets.
    auto request = [this](uint8_t type, const std::vector<uint8_t>& descriptor) {
        SetupPacket setup;
        setup.bmRequestType = DirectionIn;
        setup.bRequest = GetDescriptor;
        setup.wValue = static_cast<USHORT>(type << 8);
        setup.wLength = static_cast<USHORT>(descriptor.size());
        std::array<uint8_t, 8> bytes = setup.Bytes();
        WritePacket(0, 0, USBD_STATUS_SUCCESS, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, 0,
                    DirectionIn, UsbPcapTransferControl, UsbPcapStageSetup, bytes.data(),
                    bytes.size());
        WritePacket(0, 0, USBD_STATUS_SUCCESS, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
                    UsbPcapInfoPdoToFdo, DirectionIn, UsbPcapTransferControl, UsbPcapStageData,
                    descriptor.data(), descriptor.size());
        WritePacket(0, 0, USBD_STATUS_SUCCESS, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
                    UsbPcapInfoPdoToFdo, DirectionIn, UsbPcapTransferControl, UsbPcapStageComplete,
                    nullptr, 0);
    };
    request(DeviceDescriptorType, CaptureDeviceDescriptor(options_));
    request(ConfigurationDescriptorType, CaptureConfigurationDescriptor(options_));
}

void CaptureWriter::Append(const std::vector<UrbRecord>& records) {
    struct Event {
        uint64_t sequence;
        const UrbRecord* record;
        bool completion;
    };
    std::vector<Event> events;
    for (const UrbRecord& record : records) {
        if (record.submitSequence > writtenThrough_)
            events.push_back({record.submitSequence, &record, false});
        if (record.Completed() && record.completeSequence > writtenThrough_)
            events.push_back({record.completeSequence, &record, true});
    }
    std::sort(events.begin(), events.end(),
              [](const Event& a, const Event& b) { return a.sequence < b.sequence; });
    for (const Event& event : events) {
        if (event.completion)
            WriteCompletion(*event.record);
        else
            WriteSubmission(*event.record);
        writtenThrough_ = event.sequence;
    }
}

void CaptureWriter::Add(const UrbRecord& record) {
    if (record.submitSequence > writtenThrough_) {
        WriteSubmission(record);
        writtenThrough_ = record.submitSequence;
    }
    if (record.Completed() && record.completeSequence > writtenThrough_) {
        WriteCompletion(record);
        writtenThrough_ = record.completeSequence;
    }
    out_.flush();
}

uint64_t CaptureWriter::IrpId(PIRP irp) {
    if (!options_.numberIrps)
        return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(irp));
    auto [it, added] = irpNumbers_.emplace(irp, irpNumbers_.size() + 1);
    (void)added;
    return it->second;
}

void CaptureWriter::WriteSubmission(const UrbRecord& record) {
    Addressing at = AddressOf(record);
    uint64_t irpId = IrpId(record.irp);
    const bool out = record.direction == UsbDirection::Out;
    switch (at.transfer) {
    case UsbPcapTransferControl: {
        std::array<uint8_t, 8> setup = record.setup->Bytes();
        WritePacket(record.submitTime, irpId, USBD_STATUS_SUCCESS, record.function, 0, at.endpoint,
                    at.transfer, UsbPcapStageSetup, setup.data(), setup.size());
        if (out && !record.data.empty())
            WritePacket(record.submitTime, irpId, USBD_STATUS_SUCCESS, record.function, 0,
                        at.endpoint, at.transfer, UsbPcapStageData, record.data.data(),
                        record.data.size());
        break;
    }
    case UsbPcapTransferBulk:
    case UsbPcapTransferInterrupt:
        WritePacket(record.submitTime, irpId, USBD_STATUS_SUCCESS, record.function, 0, at.endpoint,
                    at.transfer, std::nullopt, out ? record.data.data() : nullptr,
                    out ? record.data.size() : 0);
        break;
    default:
        WritePacket(record.submitTime, irpId, USBD_STATUS_SUCCESS, record.function, 0, at.endpoint,
                    at.transfer, std::nullopt, nullptr, 0);
        break;
    }
}

void CaptureWriter::WriteCompletion(const UrbRecord& record) {
    Addressing at = AddressOf(record);
    uint64_t irpId = IrpId(record.irp);
    const bool in = record.direction == UsbDirection::In;
    switch (at.transfer) {
    case UsbPcapTransferControl:
        if (in && !record.data.empty())
            WritePacket(record.completeTime, irpId, record.usbdStatus, record.function,
                        UsbPcapInfoPdoToFdo, at.endpoint, at.transfer, UsbPcapStageData,
                        record.data.data(), record.data.size());
        WritePacket(record.completeTime, irpId, record.usbdStatus, record.function,
                    UsbPcapInfoPdoToFdo, at.endpoint, at.transfer, UsbPcapStageComplete, nullptr,
                    0);
        break;
    case UsbPcapTransferBulk:
    case UsbPcapTransferInterrupt:
        WritePacket(record.completeTime, irpId, record.usbdStatus, record.function,
                    UsbPcapInfoPdoToFdo, at.endpoint, at.transfer, std::nullopt,
                    in ? record.data.data() : nullptr, in ? record.data.size() : 0);
        break;
    default:
        WritePacket(record.completeTime, irpId, record.usbdStatus, record.function,
                    UsbPcapInfoPdoToFdo, at.endpoint, at.transfer, std::nullopt, nullptr, 0);
        break;
    }
}

void CaptureWriter::WritePacket(LONGLONG time, uint64_t irpId, USBD_STATUS status, USHORT function,
                                uint8_t info, uint8_t endpoint, uint8_t transfer,
                                std::optional<uint8_t> stage, const uint8_t* data, size_t size) {
    const size_t headerLength = stage ? UsbPcapControlHeaderSize : UsbPcapHeaderSize;
    Bytes packet;
    packet.U16(static_cast<uint16_t>(headerLength));
    packet.U64(irpId);
    packet.U32(static_cast<uint32_t>(status));
    packet.U16(function);
    packet.U8(info);
    packet.U16(options_.bus);
    packet.U16(options_.device);
    packet.U8(endpoint);
    packet.U8(transfer);
    packet.U32(static_cast<uint32_t>(size));
    if (stage)
        packet.U8(*stage);
    if (size != 0)
        packet.Append(data, size);

    const std::vector<uint8_t>& bytes = packet.Get();
    const size_t captured = std::min<size_t>(bytes.size(), options_.snapLength);
    LONGLONG sinceEpoch = std::max<LONGLONG>(systemTimeAtBoot_ + time - UnixEpochAsSystemTime, 0);
    LONGLONG microseconds = sinceEpoch / 10;
    Bytes record;
    record.U32(static_cast<uint32_t>(microseconds / 1000000));
    record.U32(static_cast<uint32_t>(microseconds % 1000000));
    record.U32(static_cast<uint32_t>(captured));
    record.U32(static_cast<uint32_t>(bytes.size()));
    record.Append(bytes.data(), captured);
    WriteBytes(out_, record.Get());
    ++packets_;
}

bool WriteCapture(std::ostream& out, const std::vector<UrbRecord>& records,
                  const CaptureOptions& options) {
    CaptureWriter writer(out, options);
    writer.Append(records);
    writer.Flush();
    return writer.Ok();
}

bool WriteCapture(const std::string& path, const std::vector<UrbRecord>& records,
                  const CaptureOptions& options) {
    std::unique_ptr<CaptureWriter> writer = CaptureWriter::Open(path, options);
    if (!writer)
        return false;
    writer->Append(records);
    writer->Flush();
    return writer->Ok();
}

// ---- Reading ---------------------------------------------------------------------------

std::optional<CaptureFile> ReadCapture(std::istream& in) {
    uint8_t fileHeader[PcapFileHeaderSize];
    if (!ReadBytes(in, fileHeader, sizeof(fileHeader)))
        return std::nullopt;
    Reader header(fileHeader, sizeof(fileHeader));
    if (header.U32() != PcapMagic)
        return std::nullopt;
    CaptureFile file;
    file.versionMajor = header.U16();
    file.versionMinor = header.U16();
    header.U32(); // time zone
    header.U32(); // accuracy
    file.snapLength = header.U32();
    file.linkType = header.U32();
    if (file.linkType != PcapLinkTypeUsbPcap)
        return std::nullopt;

    for (;;) {
        uint8_t recordHeader[PcapRecordHeaderSize];
        in.read(reinterpret_cast<char*>(recordHeader), sizeof(recordHeader));
        if (in.gcount() == 0 && in.eof())
            break;
        if (static_cast<size_t>(in.gcount()) != sizeof(recordHeader))
            return std::nullopt;
        Reader record(recordHeader, sizeof(recordHeader));
        CapturedPacket packet;
        packet.seconds = record.U32();
        packet.microseconds = record.U32();
        uint32_t captured = record.U32();
        packet.originalLength = record.U32();
        packet.bytes.resize(captured);
        if (!ReadBytes(in, packet.bytes.data(), captured))
            return std::nullopt;

        Reader fields(packet.bytes.data(), packet.bytes.size());
        if (!fields.Has(UsbPcapHeaderSize))
            return std::nullopt;
        packet.headerLength = fields.U16();
        packet.irpId = fields.U64();
        packet.status = fields.U32();
        packet.function = fields.U16();
        packet.info = fields.U8();
        packet.bus = fields.U16();
        packet.device = fields.U16();
        packet.endpoint = fields.U8();
        packet.transfer = fields.U8();
        packet.dataLength = fields.U32();
        if (packet.headerLength < UsbPcapHeaderSize || packet.headerLength > captured)
            return std::nullopt;
        if (packet.transfer == UsbPcapTransferControl) {
            if (packet.headerLength < UsbPcapControlHeaderSize)
                return std::nullopt;
            packet.stage = fields.U8();
        }
        size_t available = captured - packet.headerLength;
        auto begin = packet.bytes.begin() + packet.headerLength;
        packet.data.assign(begin, begin + std::min<size_t>(available, packet.dataLength));
        file.packets.push_back(std::move(packet));
    }
    return file;
}

std::optional<CaptureFile> ReadCapture(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    return ReadCapture(in);
}

} // namespace sim
