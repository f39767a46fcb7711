// The scenarios' common ground: the port a scenario drives and its requests.
#include "explore.h"

namespace explore {

using namespace win32;

std::vector<Scenario>& Scenarios() {
    static std::vector<Scenario> scenarios;
    return scenarios;
}

std::vector<uint8_t> Pattern(size_t size, uint64_t seed) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(seed * 31 + i * 7 + (i >> 8));
    return bytes;
}

void Run::ArmFaults(sim::ModemPdo& pdo) {
    if (!faultsAllowed_)
        return;
    // A generator of its own, so that the scenario's draws do not depend on it.
    std::mt19937_64 faults(seed_ * 0xD1B54A32D192ED03ULL + 1);
    auto draw = [&](uint64_t below) {
        return std::uniform_int_distribution<uint64_t>(0, below - 1)(faults);
    };
    if (draw(4) != 0)
        return;
    switch (draw(3)) {
    case 0:
    case 1: {
        faultKind_ = draw(3) == 0 ? kx::AllocationKind::Irp : kx::AllocationKind::Pool;
        faultNth_ = 1 + draw(12);
        faultBase_ = kx::AllocationCount(*faultKind_);
        kx::FaultRule rule;
        rule.kind = *faultKind_;
        rule.nth = faultNth_;
        kx::ArmFault(rule);
        faultText_ = std::string(*faultKind_ == kx::AllocationKind::Irp ? "IRP" : "pool") +
                     " allocation " + std::to_string(faultNth_) + " fails";
        break;
    }
    default: {
        static const sim::UsbPipe pipes[] = {sim::UsbPipe::BulkIn, sim::UsbPipe::BulkOut,
                                             sim::UsbPipe::InterruptIn};
        // A data transfer: an ABORT_PIPE or RESET_PIPE acts on the host
        // controller's side of the pipe and does not fail for a device present.
        sim::UrbMatch match;
        match.function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        match.pipe = pipes[draw(3)];
        bool stall = draw(2) == 0;
        pdo.InjectFault(stall ? sim::UrbFault::Stall(match)
                              : sim::UrbFault::Fail(match, STATUS_UNSUCCESSFUL,
                                                    USBD_STATUS_DEV_NOT_RESPONDING));
        urbFault_ = true;
        faultText_ = std::string("the next URB on pipe ") +
                     std::to_string(static_cast<int>(*match.pipe)) + (stall ? " stalls" : " fails");
        break;
    }
    }
    kx::AddScheduleNote("injected: " + faultText_);
}

bool Run::Faulted() const {
    if (urbFault_)
        return true;
    return faultKind_ && kx::AllocationCount(*faultKind_) - faultBase_ >= faultNth_;
}

void Run::ExpectStream(const std::vector<uint8_t>& got, const std::vector<uint8_t>& sent) {
    if (!Faulted()) {
        Expect(got == sent, "every byte sent is read once, in order");
        return;
    }
    size_t next = 0;
    for (uint8_t byte : got) {
        while (next < sent.size() && sent[next] != byte)
            ++next;
        if (next == sent.size()) {
            Expect(false, "with " + faultText_ +
                              ", the bytes read are some of those sent, in "
                              "order, none twice");
            return;
        }
        ++next;
    }
}

ExplorePort::ExplorePort(Run& run, bool overlapped, sim::PlugOptions plug) : run_(run) {
    world_.emplace(run.World());
    modem_ = &world_->Plug(std::move(plug));
    handle_ = CreateFileA(modem_->Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    run.Expect(handle_ != INVALID_HANDLE_VALUE, "the port opens");
    SetTimeouts({0, 0, 0, 0, 0});
    run.ArmFaults(modem_->Pdo());
}

ExplorePort::~ExplorePort() {
    // The close and the removal at teardown run without injected failures.
    kx::DisarmFaults();
    if (handle_ != INVALID_HANDLE_VALUE)
        Close();
    world_.reset();
}

void ExplorePort::SetTimeouts(const COMMTIMEOUTS& timeouts) {
    COMMTIMEOUTS copy = timeouts;
    run_.ExpectUnlessFaulted(handle_ == INVALID_HANDLE_VALUE || SetCommTimeouts(handle_, &copy),
                             "SetCommTimeouts succeeds");
}

bool ExplorePort::Close() {
    bool closed = CloseHandle(handle_) != FALSE;
    run_.Expect(closed, "CloseHandle succeeds");
    handle_ = INVALID_HANDLE_VALUE;
    return closed;
}

std::vector<uint8_t> ExplorePort::Drain() {
    COMMTIMEOUTS saved{};
    COMMTIMEOUTS now{MAXDWORD, 0, 0, 0, 0}; // return at once with what the ring holds
    bool set = GetCommTimeouts(handle_, &saved) && SetCommTimeouts(handle_, &now);
    run_.ExpectUnlessFaulted(set, "the time-outs for an immediate read are set");
    if (!set)
        return {}; // a read now could wait for ever
    std::vector<uint8_t> bytes(65536);
    korvax_test::Overlapped overlapped;
    Outcome read = Finish(
        handle_, ReadAsync(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), overlapped),
        overlapped);
    run_.ExpectUnlessFaulted(read.ok, "a read of what the ring holds succeeds");
    bytes.resize(read.ok ? read.count : 0);
    SetCommTimeouts(handle_, &saved);
    return bytes;
}

Outcome Await(HANDLE handle, korvax_test::Overlapped& overlapped) {
    Outcome outcome;
    DWORD count = 0;
    outcome.ok = GetOverlappedResult(handle, overlapped.get(), &count, TRUE) != FALSE;
    outcome.count = count;
    outcome.error = outcome.ok ? 0 : GetLastError();
    return outcome;
}

Outcome Finish(HANDLE handle, const Outcome& started, korvax_test::Overlapped& overlapped) {
    // An overlapped request that ended at once has its count in the OVERLAPPED
    // (lpNumberOfBytesRead is not to be relied on for an overlapped handle).
    if (started.ok || started.error == ERROR_IO_PENDING)
        return Await(handle, overlapped);
    return started;
}

namespace {

Outcome Started(BOOL ok, DWORD count) {
    Outcome outcome;
    outcome.ok = ok != FALSE;
    outcome.count = count;
    outcome.error = outcome.ok ? 0 : GetLastError();
    return outcome;
}

} // namespace

Outcome ReadAsync(HANDLE handle, void* buffer, DWORD size, korvax_test::Overlapped& overlapped) {
    DWORD count = 0;
    // The count is read once the call has returned (argument order is unspecified).
    BOOL ok = ReadFile(handle, buffer, size, &count, overlapped.get());
    return Started(ok, count);
}

Outcome WriteAsync(HANDLE handle, const void* buffer, DWORD size,
                   korvax_test::Overlapped& overlapped) {
    DWORD count = 0;
    BOOL ok = WriteFile(handle, buffer, size, &count, overlapped.get());
    return Started(ok, count);
}

} // namespace explore
