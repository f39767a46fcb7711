// The USB side of the simulated world: the modem function's pipes as its
// descriptors declare them, the interface through which a device model answers
// the host, and what the bus records of every URB (tests and the capture writer
// read it).
#pragma once

#include <kx/wdm.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace sim {

// The pipes of the modem function. Control is the default pipe, which carries the
// class and vendor requests; the function driver gets handles to the other three.
enum class UsbPipe { Control, BulkIn, BulkOut, InterruptIn };
inline constexpr size_t UsbPipeCount = 4;

enum class UsbDirection { Out, In };
enum class UsbTransferType { Control, Bulk, Interrupt };

constexpr UsbDirection PipeDirection(UsbPipe pipe) {
    return pipe == UsbPipe::BulkIn || pipe == UsbPipe::InterruptIn ? UsbDirection::In
                                                                   : UsbDirection::Out;
}

constexpr UsbTransferType PipeTransferType(UsbPipe pipe) {
    switch (pipe) {
    case UsbPipe::Control:
        return UsbTransferType::Control;
    case UsbPipe::InterruptIn:
        return UsbTransferType::Interrupt;
    default:
        return UsbTransferType::Bulk;
    }
}

// bEndpointAddress of each pipe in the function's descriptors.
constexpr UCHAR EndpointAddress(UsbPipe pipe) {
    switch (pipe) {
    case UsbPipe::InterruptIn:
        return 0x81;
    case UsbPipe::BulkIn:
        return 0x82;
    case UsbPipe::BulkOut:
        return 0x02;
    default:
        return 0x00;
    }
}

// The setup stage of a control transfer as it goes over the wire.
struct SetupPacket {
    UCHAR bmRequestType = 0;
    UCHAR bRequest = 0;
    USHORT wValue = 0;
    USHORT wIndex = 0;
    USHORT wLength = 0;

    // The eight bytes of the packet, 16-bit fields little-endian.
    std::array<uint8_t, 8> Bytes() const;
    bool operator==(const SetupPacket& other) const { return Bytes() == other.Bytes(); }
};

// How a device ends a control transfer: it accepts it, or it stalls (the request
// is not supported or its data is wrong).
enum class Handshake { Ack, Stall };

// The device behind the bus: a model of the modem function implements this and is
// attached to its PDO. The bus calls it from the thread that completes the transfer
// (a DPC thread at DISPATCH_LEVEL, or the submitter's thread when the PDO completes
// synchronously), with no bus lock held, in the order the transfers reach the
// device on each pipe. The device answers by calling ModemPdo::SendBulkIn and
// SendInterrupt, from any thread, also from inside these calls.
class UsbFunction {
  public:
    virtual ~UsbFunction() = default;
    // A class or vendor request. For a host-to-device request `data` holds the data
    // stage; for a device-to-host one the device fills it (the bus returns at most
    // wLength bytes).
    virtual Handshake OnControlRequest(const SetupPacket& setup, std::vector<uint8_t>& data) = 0;
    // The bytes of one bulk-out transfer, as the host sent them.
    virtual void OnBulkOut(const std::vector<uint8_t>& data) = 0;
};

// What the bus saw of one URB, from submission to completion.
struct UrbRecord {
    PIRP irp = nullptr;
    USHORT function = 0;
    USHORT length = 0; // Hdr.Length as submitted
    // The pipe the URB addressed (the default pipe for class and vendor requests,
    // the target pipe for abort and reset); none when the handle is unknown or the
    // function is not served.
    std::optional<UsbPipe> pipe;
    UsbDirection direction = UsbDirection::Out;
    ULONG transferFlags = 0;
    ULONG requestedLength = 0; // TransferBufferLength as submitted
    // Class and vendor requests: the setup packet on the wire (bmRequestType built
    // from the function and the direction, as the USB stack builds it) and the
    // URB's RequestTypeReservedBits as the driver filled it.
    std::optional<SetupPacket> setup;
    UCHAR requestTypeReservedBits = 0;
    // OUT data as submitted; IN data as delivered at completion.
    std::vector<uint8_t> data;
    KIRQL submitIrql = PASSIVE_LEVEL;
    // One counter orders every submission and completion of the PDO; the times are
    // the kernel clock's (kx::CurrentTime, 100 ns units since boot).
    uint64_t submitSequence = 0;
    uint64_t completeSequence = 0; // 0 while the URB is outstanding
    LONGLONG submitTime = 0;
    LONGLONG completeTime = 0;
    NTSTATUS status = STATUS_PENDING;
    USBD_STATUS usbdStatus = USBD_STATUS_PENDING;

    bool Completed() const { return completeSequence != 0; }
};

// Which URBs a fault applies to; an empty field matches anything.
struct UrbMatch {
    std::optional<USHORT> function;
    std::optional<UsbPipe> pipe;
};

// A one-shot fault for the next URB that matches, armed with ModemPdo::InjectFault.
struct UrbFault {
    enum class Kind {
        Fail,  // complete with the given statuses; nothing reaches the device
        Stall, // the device stalls: STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID; a bulk or
               // interrupt pipe then stays halted until RESET_PIPE (the default pipe
               // does not halt)
        Hold,  // the URB is stuck in the host controller until ReleaseHeld; later URBs
               // on its pipe wait behind it. An abort or reset acts at once and only
               // its completion waits.
    };
    Kind kind = Kind::Fail;
    UrbMatch match;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    USBD_STATUS usbdStatus = USBD_STATUS_DEV_NOT_RESPONDING;

    static UrbFault Fail(UrbMatch match, NTSTATUS status, USBD_STATUS usbdStatus) {
        return {Kind::Fail, match, status, usbdStatus};
    }
    static UrbFault Stall(UrbMatch match) {
        return {Kind::Stall, match, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
    }
    static UrbFault Hold(UrbMatch match) {
        return {Kind::Hold, match, STATUS_SUCCESS, USBD_STATUS_SUCCESS};
    }
};

} // namespace sim
