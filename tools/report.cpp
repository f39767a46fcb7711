#include "report.h"

#include <cinttypes>

namespace korvaxsim {

using namespace win32;

namespace {

struct Named {
    DWORD bit;
    const char* name;
};

constexpr Named EventNames[] = {
    {EV_RXCHAR, "RXCHAR"}, {EV_RXFLAG, "RXFLAG"}, {EV_TXEMPTY, "TXEMPTY"},   {EV_CTS, "CTS"},
    {EV_DSR, "DSR"},       {EV_RLSD, "RLSD"},     {EV_BREAK, "BREAK"},       {EV_ERR, "ERR"},
    {EV_RING, "RING"},     {EV_PERR, "PERR"},     {EV_RX80FULL, "RX80FULL"}, {EV_EVENT1, "EVENT1"},
    {EV_EVENT2, "EVENT2"},
};

std::string Decimal(uint64_t n) {
    return std::to_string(n);
}

} // namespace

std::string ClassRequestName(UCHAR request) {
    switch (request) {
    case 0x00:
        return "SEND_ENCAPSULATED_COMMAND";
    case 0x01:
        return "GET_ENCAPSULATED_RESPONSE";
    case 0x20:
        return "SET_LINE_CODING";
    case 0x21:
        return "GET_LINE_CODING";
    case 0x22:
        return "SET_CONTROL_LINE_STATE";
    case 0x23:
        return "SEND_BREAK";
    default: {
        char text[24];
        std::snprintf(text, sizeof text, "request 0x%02X", request);
        return text;
    }
    }
}

void UrbTally::Submitted(const sim::UrbRecord& record) {
    ++outstanding;
    switch (record.function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        Kind* kind = record.pipe == sim::UsbPipe::BulkIn        ? &bulkIn
                     : record.pipe == sim::UsbPipe::InterruptIn ? &interruptIn
                     : record.pipe == sim::UsbPipe::BulkOut     ? &bulkOut
                                                                : nullptr;
        if (kind != nullptr)
            ++kind->count;
        else
            ++other;
        break;
    }
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_ENDPOINT:
        ++classRequests.count;
        if (record.setup)
            ++classByRequest[record.setup->bRequest];
        break;
    case URB_FUNCTION_ABORT_PIPE:
        ++abortPipe;
        break;
    case URB_FUNCTION_RESET_PIPE:
        ++resetPipe;
        break;
    default:
        ++other;
        break;
    }
}

void UrbTally::Completed(const sim::UrbRecord& record) {
    --outstanding;
    if (!NT_SUCCESS(record.status)) {
        ++failed;
        return;
    }
    uint64_t moved = record.data.size();
    if (record.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        if (record.pipe == sim::UsbPipe::BulkIn)
            bulkIn.bytes += moved;
        else if (record.pipe == sim::UsbPipe::InterruptIn)
            interruptIn.bytes += moved;
        else if (record.pipe == sim::UsbPipe::BulkOut)
            bulkOut.bytes += moved;
    } else if (record.function == URB_FUNCTION_CLASS_INTERFACE ||
               record.function == URB_FUNCTION_CLASS_DEVICE ||
               record.function == URB_FUNCTION_CLASS_ENDPOINT) {
        classRequests.bytes += moved;
    }
}

UrbTally TallyUrbs(const std::vector<sim::UrbRecord>& records) {
    UrbTally tally;
    for (const sim::UrbRecord& record : records) {
        tally.Submitted(record);
        if (record.Completed())
            tally.Completed(record);
    }
    return tally;
}

void EventTally::Add(DWORD mask) {
    for (const Named& event : EventNames) {
        if (mask & event.bit)
            ++counts_[event.bit];
    }
}

uint64_t EventTally::Count(DWORD bit) const {
    auto it = counts_.find(bit);
    return it == counts_.end() ? 0 : it->second;
}

uint64_t EventTally::Total() const {
    uint64_t total = 0;
    for (const auto& entry : counts_)
        total += entry.second;
    return total;
}

std::string EventTally::Describe() const {
    std::string text;
    for (const Named& event : EventNames) {
        uint64_t n = Count(event.bit);
        if (n == 0)
            continue;
        if (!text.empty())
            text += ", ";
        text += std::string(event.name) + " " + Decimal(n);
    }
    return text.empty() ? "none" : text;
}

std::string EventName(DWORD bit) {
    for (const Named& event : EventNames) {
        if (event.bit == bit)
            return event.name;
    }
    return "event " + std::to_string(bit);
}

std::string DescribeModem(const sim::Modem& modem) {
    std::string text = modem.InDataMode()  ? "in a call (data)"
                       : modem.Connected() ? "in a call (command)"
                       : modem.Dialing()   ? "dialling"
                                           : "command mode";
    auto onOff = [](bool on) { return on ? "on" : "off"; };
    text += std::string(", carrier ") + onOff(modem.Carrier()) + ", DSR " + onOff(modem.Dsr()) +
            ", sees DTR " + onOff(modem.Dtr()) + " RTS " + onOff(modem.Rts());
    if (modem.HoldingBack())
        text += ", its buffer full: holding the data back";
    return text;
}

std::string DescribeModemStatus(DWORD status) {
    static constexpr Named Lines[] = {
        {MS_CTS_ON, "CTS"}, {MS_DSR_ON, "DSR"}, {MS_RING_ON, "RING"}, {MS_RLSD_ON, "RLSD"}};
    std::string text;
    for (const Named& line : Lines) {
        if (status & line.bit) {
            if (!text.empty())
                text += ' ';
            text += line.name;
        }
    }
    return text.empty() ? "-" : text;
}

std::string HumanBytes(uint64_t bytes) {
    char text[32];
    if (bytes >= 1024 * 1024)
        std::snprintf(text, sizeof text, "%.1f MiB", double(bytes) / (1024.0 * 1024.0));
    else if (bytes >= 1024)
        std::snprintf(text, sizeof text, "%.1f KiB", double(bytes) / 1024.0);
    else
        std::snprintf(text, sizeof text, "%" PRIu64 " B", bytes);
    return text;
}

void PrintSummary(std::FILE* out, const SessionReport& report) {
    const RequestCounts& requests = report.requests;
    const UrbTally& urbs = report.urbs;
    std::fprintf(out, "summary:\n");
    std::fprintf(out, "  bytes      written %" PRIu64 " (%s), read %" PRIu64 " (%s)\n",
                 requests.bytesWritten, HumanBytes(requests.bytesWritten).c_str(),
                 requests.bytesRead, HumanBytes(requests.bytesRead).c_str());

    std::string classes;
    for (const auto& entry : urbs.classByRequest) {
        classes += (classes.empty() ? " (" : ", ") + ClassRequestName(entry.first) + " " +
                   Decimal(entry.second);
    }
    if (!classes.empty())
        classes += ")";
    std::fprintf(out,
                 "  URBs       %" PRIu64 ": bulk-out %" PRIu64 " (%" PRIu64
                 " bytes), bulk-in %" PRIu64 " (%" PRIu64 " bytes), interrupt-in %" PRIu64 ",\n"
                 "             class requests %" PRIu64 "%s,\n"
                 "             abort pipe %" PRIu64 ", reset pipe %" PRIu64 ", other %" PRIu64
                 "; cancelled or failed %" PRIu64 ", outstanding %" PRIu64 "\n",
                 urbs.Total(), urbs.bulkOut.count, urbs.bulkOut.bytes, urbs.bulkIn.count,
                 urbs.bulkIn.bytes, urbs.interruptIn.count, urbs.classRequests.count,
                 classes.c_str(), urbs.abortPipe, urbs.resetPipe, urbs.other, urbs.failed,
                 urbs.outstanding);
    std::fprintf(out,
                 "  requests   %" PRIu64 " completed: reads %" PRIu64 ", writes %" PRIu64
                 ", event waits %" PRIu64 ", settings and status %" PRIu64 "\n",
                 requests.Total(), requests.reads, requests.writes, requests.eventWaits,
                 requests.controls);
    if (report.events)
        std::fprintf(out, "  events     %s\n", report.events->Describe().c_str());
    std::fprintf(out, "  verifier   %zu finding(s)\n", report.verdict.findings);
    std::fprintf(out, "  pool       %zu bytes in %zu block(s) still allocated after unload\n",
                 report.verdict.pool.bytes, report.verdict.pool.allocations);
}

} // namespace korvaxsim
