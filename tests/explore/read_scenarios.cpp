// Reads against the modem's data, their time-outs, CancelIo and PURGE_RXABORT.
#include "explore.h"

#include <kx/schedule.h>

namespace {

using namespace win32;
using explore::ExplorePort;
using korvax_test::Overlapped;

// A read with a total time-out races the modem's data: whatever the read got, the
// rest is in the ring, in order, once.
EXPLORE_SCENARIO(read_timeout_against_data, "a read's total time-out against arriving data") {
    run.AllowFaults();
    ExplorePort port(run);
    const std::vector<uint8_t> sent = explore::Pattern(6 + run.Draw(20), run.Seed());
    port.SetTimeouts({0, 0, 5 + static_cast<DWORD>(run.Draw(3)), 0, 0});
    std::vector<uint8_t> got(sent.size());
    Overlapped read;
    explore::Outcome started =
        explore::ReadAsync(port.Handle(), got.data(), static_cast<DWORD>(got.size()), read);
    run.ExpectUnlessFaulted(started.ok || started.error == ERROR_IO_PENDING, "the read starts");
    kx::ControlledThread modem("modem", [&] {
        size_t half = sent.size() / 2;
        port.Modem().Pdo().SendBulkIn({sent.begin(), sent.begin() + half});
        port.Modem().Pdo().SendBulkIn({sent.begin() + half, sent.end()});
    });
    explore::Outcome ended = explore::Finish(port.Handle(), started, read);
    modem.Join();
    port.World().Settle();
    run.ExpectUnlessFaulted(ended.ok, "a timed read ends successfully (with what it got)");
    got.resize(ended.ok ? ended.count : 0);
    std::vector<uint8_t> rest = port.Drain();
    got.insert(got.end(), rest.begin(), rest.end());
    run.ExpectStream(got, sent);
}

// The read's own thread cancels it (CancelIo ends the calling thread's requests),
// or another thread purges it with PURGE_RXABORT, while the modem's data arrives.
EXPLORE_SCENARIO(read_against_cancel, "an overlapped read against CancelIo or a purge, and data") {
    run.AllowFaults();
    ExplorePort port(run);
    const std::vector<uint8_t> sent = explore::Pattern(4 + run.Draw(8), run.Seed());
    const bool purge = run.Draw(2) == 0;
    std::vector<uint8_t> got(sent.size());
    Overlapped read;
    explore::Outcome started =
        explore::ReadAsync(port.Handle(), got.data(), static_cast<DWORD>(got.size()), read);
    run.ExpectUnlessFaulted(!started.ok && started.error == ERROR_IO_PENDING,
                            "the read waits for data");
    kx::ControlledThread modem("modem", [&] { port.Modem().Pdo().SendBulkIn(sent); });
    kx::ControlledThread purger("purger", [&] {
        if (purge)
            run.ExpectUnlessFaulted(PurgeComm(port.Handle(), PURGE_RXABORT) != FALSE,
                                    "the purge succeeds");
    });
    if (!purge)
        run.Expect(CancelIo(port.Handle()) != FALSE, "CancelIo succeeds");
    explore::Outcome ended = explore::Finish(port.Handle(), started, read);
    modem.Join();
    purger.Join();
    port.World().Settle();
    run.ExpectUnlessFaulted(ended.ok || ended.error == ERROR_OPERATION_ABORTED,
                            "the read succeeds or is cancelled");
    got.resize(ended.ok ? ended.count : 0);
    // A purge ends the read with what the ring held, a cancel ends it with nothing.
    run.ExpectUnlessFaulted(!ended.ok || purge || ended.count == sent.size(),
                            "a read that CancelIo did not end is full");
    std::vector<uint8_t> rest = port.Drain();
    got.insert(got.end(), rest.begin(), rest.end());
    run.ExpectStream(got, sent);
}

} // namespace
