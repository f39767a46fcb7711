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

ExplorePort::ExplorePort(Run& run, bool overlapped, sim::PlugOptions plug) : run_(run) {
    world_.emplace(run.World());
    modem_ = &world_->Plug(std::move(plug));
    handle_ = CreateFileA(modem_->Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    run.Expect(handle_ != INVALID_HANDLE_VALUE, "the port opens");
    SetTimeouts({0, 0, 0, 0, 0});
}

ExplorePort::~ExplorePort() {
    if (handle_ != INVALID_HANDLE_VALUE)
        Close();
    world_.reset();
}

void ExplorePort::SetTimeouts(const COMMTIMEOUTS& timeouts) {
    COMMTIMEOUTS copy = timeouts;
    run_.Expect(handle_ == INVALID_HANDLE_VALUE || SetCommTimeouts(handle_, &copy),
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
    GetCommTimeouts(handle_, &saved);
    COMMTIMEOUTS now{MAXDWORD, 0, 0, 0, 0};
    SetCommTimeouts(handle_, &now);
    std::vector<uint8_t> bytes(65536);
    korvax_test::Overlapped overlapped;
    Outcome read = ReadAsync(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), overlapped);
    read = Await(handle_, overlapped);
    run_.Expect(read.ok, "a read of what the ring holds succeeds");
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
