// The summary's figures: URBs by kind, serial events, modem lines and sizes.
#include <tools/report.h>

#include <gtest/gtest.h>

#include <cstdio>

namespace tools_test {
namespace {

using namespace korvaxsim;

sim::UrbRecord Transfer(sim::UsbPipe pipe, size_t bytes, NTSTATUS status = STATUS_SUCCESS,
                        bool completed = true) {
    sim::UrbRecord record;
    record.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    record.pipe = pipe;
    record.direction = sim::PipeDirection(pipe);
    record.data.assign(bytes, 0x55);
    record.status = status;
    record.completeSequence = completed ? 1 : 0;
    return record;
}

sim::UrbRecord ClassRequest(UCHAR request) {
    sim::UrbRecord record;
    record.function = URB_FUNCTION_CLASS_INTERFACE;
    record.pipe = sim::UsbPipe::Control;
    sim::SetupPacket setup;
    setup.bmRequestType = 0x21;
    setup.bRequest = request;
    record.setup = setup;
    record.status = STATUS_SUCCESS;
    record.completeSequence = 1;
    return record;
}

sim::UrbRecord Function(USHORT function) {
    sim::UrbRecord record;
    record.function = function;
    record.status = STATUS_SUCCESS;
    record.completeSequence = 1;
    return record;
}

TEST(Report, UrbsAreCountedByKindWithTheBytesTheyMoved) {
    std::vector<sim::UrbRecord> records = {
        Transfer(sim::UsbPipe::BulkOut, 4096),
        Transfer(sim::UsbPipe::BulkOut, 100),
        Transfer(sim::UsbPipe::BulkIn, 4096),
        Transfer(sim::UsbPipe::BulkIn, 0, STATUS_CANCELLED),
        Transfer(sim::UsbPipe::InterruptIn, 10),
        Transfer(sim::UsbPipe::BulkIn, 0, STATUS_PENDING, false),
        ClassRequest(0x20),
        ClassRequest(0x22),
        ClassRequest(0x22),
        Function(URB_FUNCTION_ABORT_PIPE),
        Function(URB_FUNCTION_RESET_PIPE),
        Function(URB_FUNCTION_SELECT_CONFIGURATION),
    };
    // A failed OUT transfer keeps the data it was given, but moved none.
    records.push_back(Transfer(sim::UsbPipe::BulkOut, 64, STATUS_DEVICE_NOT_CONNECTED));

    UrbTally tally = TallyUrbs(records);
    EXPECT_EQ(tally.bulkOut.count, 3u);
    EXPECT_EQ(tally.bulkOut.bytes, 4196u);
    EXPECT_EQ(tally.bulkIn.count, 3u);
    EXPECT_EQ(tally.bulkIn.bytes, 4096u);
    EXPECT_EQ(tally.interruptIn.count, 1u);
    EXPECT_EQ(tally.interruptIn.bytes, 10u);
    EXPECT_EQ(tally.classRequests.count, 3u);
    EXPECT_EQ(tally.classByRequest.at(0x20), 1u);
    EXPECT_EQ(tally.classByRequest.at(0x22), 2u);
    EXPECT_EQ(tally.abortPipe, 1u);
    EXPECT_EQ(tally.resetPipe, 1u);
    EXPECT_EQ(tally.other, 1u);
    EXPECT_EQ(tally.failed, 2u);
    EXPECT_EQ(tally.outstanding, 1u);
    EXPECT_EQ(tally.Total(), records.size());
}

TEST(Report, ClassRequestsHaveTheirCdcNames) {
    EXPECT_EQ(ClassRequestName(0x20), "SET_LINE_CODING");
    EXPECT_EQ(ClassRequestName(0x21), "GET_LINE_CODING");
    EXPECT_EQ(ClassRequestName(0x22), "SET_CONTROL_LINE_STATE");
    EXPECT_EQ(ClassRequestName(0x23), "SEND_BREAK");
    EXPECT_EQ(ClassRequestName(0x7F), "request 0x7F");
}

TEST(Report, EventsAreCountedPerBit) {
    EventTally events;
    EXPECT_EQ(events.Describe(), "none");
    events.Add(win32::EV_RLSD);
    events.Add(win32::EV_RLSD | win32::EV_DSR);
    events.Add(0);
    EXPECT_EQ(events.Count(win32::EV_RLSD), 2u);
    EXPECT_EQ(events.Count(win32::EV_DSR), 1u);
    EXPECT_EQ(events.Count(win32::EV_CTS), 0u);
    EXPECT_EQ(events.Total(), 3u);
    EXPECT_EQ(events.Describe(), "DSR 1, RLSD 2");
    EXPECT_EQ(EventName(win32::EV_RING), "RING");
}

TEST(Report, ModemLinesAndSizesRead) {
    EXPECT_EQ(DescribeModemStatus(0), "-");
    EXPECT_EQ(DescribeModemStatus(win32::MS_CTS_ON | win32::MS_DSR_ON | win32::MS_RLSD_ON),
              "CTS DSR RLSD");
    EXPECT_EQ(HumanBytes(100), "100 B");
    EXPECT_EQ(HumanBytes(65536), "64.0 KiB");
    EXPECT_EQ(HumanBytes(4 * 1024 * 1024), "4.0 MiB");
}

TEST(Report, TheSummaryShowsTheVerdict) {
    SessionReport report;
    report.requests.bytesWritten = 7;
    report.requests.reads = 3;
    report.urbs.bulkOut.count = 2;
    report.urbs.classByRequest[0x20] = 1;
    report.verdict.findings = 1;
    report.verdict.pool.allocations = 2;
    report.verdict.pool.bytes = 96;
    char* text = nullptr;
    size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    ASSERT_NE(out, nullptr);
    PrintSummary(out, report);
    std::fclose(out);
    std::string summary(text, size);
    std::free(text);
    EXPECT_NE(summary.find("written 7 (7 B)"), std::string::npos) << summary;
    EXPECT_NE(summary.find("bulk-out 2"), std::string::npos) << summary;
    EXPECT_NE(summary.find("SET_LINE_CODING 1"), std::string::npos) << summary;
    EXPECT_NE(summary.find("reads 3"), std::string::npos) << summary;
    EXPECT_NE(summary.find("verifier   1 finding(s)"), std::string::npos) << summary;
    EXPECT_NE(summary.find("96 bytes in 2 block(s)"), std::string::npos) << summary;
    EXPECT_FALSE(report.verdict.Clean());
}

} // namespace
} // namespace tools_test
