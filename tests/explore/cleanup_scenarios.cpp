// A read of another thread against the modem's data and the handle's close.
#include "explore.h"

#include <kx/schedule.h>

namespace {

using namespace win32;
using explore::ExplorePort;
using korvax_test::Overlapped;

// One thread reads with no time-outs while, in half the runs, the modem sends one
// packet, and in the other half a third thread closes the handle. The read always
// ends: with all of the packet (no longer than the read), or aborted by the
// handle's cleanup (ERROR_OPERATION_ABORTED); a read that reaches a handle already
// closed fails at once (ERROR_INVALID_HANDLE). A read that reaches the port while
// the cleanup runs must not be left queued with nothing to end it.
EXPLORE_SCENARIO(read_against_data_and_close,
                 "a waiting read of another thread against data and the handle's close") {
    ExplorePort port(run);
    const std::vector<uint8_t> sent = explore::Pattern(1 + run.Draw(16), run.Seed());
    const bool closing = run.Draw(2) == 0;
    // The reader keeps the handle value the close makes stale, as an application does.
    const HANDLE handle = port.Handle();
    std::vector<uint8_t> got(sent.size());
    explore::Outcome started, ended;
    kx::ControlledThread reader("reader", [&] {
        Overlapped read;
        started = explore::ReadAsync(handle, got.data(), static_cast<DWORD>(got.size()), read);
        ended = explore::Finish(handle, started, read);
    });
    kx::ControlledThread modem("modem", [&] {
        if (!closing)
            port.Modem().Pdo().SendBulkIn(sent);
    });
    kx::ControlledThread closer("closer", [&] {
        if (closing)
            run.Expect(port.Close(), "the handle closes");
    });
    reader.Join();
    modem.Join();
    closer.Join();
    port.World().Settle();

    run.Expect(started.ok || started.error == ERROR_IO_PENDING ||
                   (closing && (started.error == ERROR_INVALID_HANDLE ||
                                started.error == ERROR_OPERATION_ABORTED)),
               "the read starts, unless its handle was closed before");
    if (closing) {
        run.Expect(!ended.ok && (ended.error == ERROR_OPERATION_ABORTED ||
                                 ended.error == ERROR_INVALID_HANDLE),
                   "with no data the close ends the read");
        return;
    }
    run.Expect(ended.ok && ended.count == sent.size(), "with the handle open the read is full");
    got.resize(ended.ok ? ended.count : 0);
    std::vector<uint8_t> rest = port.Drain();
    got.insert(got.end(), rest.begin(), rest.end());
    run.Expect(got == sent, "every byte sent is read once, in order");
}

} // namespace
