// Ground for the fuzz targets that drive an open port: one world per process with
// a modem plugged in as COM5 and the port open for overlapped I/O. The world is
// made on first use and torn down at exit (before the kernel's own statics go),
// which closes the port, removes the modem and runs the verifier's leak checks.
#pragma once

#include <sim/serial_api.h>
#include <sim/world.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

namespace fuzz {

struct OpenPort {
    sim::World* world = nullptr;
    sim::PluggedModem* modem = nullptr;
    win32::HANDLE port = nullptr;
};

inline OpenPort& Port() {
    static OpenPort open = [] {
        OpenPort made;
        made.world = new sim::World();
        made.modem = &made.world->Plug();
        made.port = win32::CreateFileA(made.modem->Path().c_str(),
                                       win32::GENERIC_READ | win32::GENERIC_WRITE, 0, nullptr,
                                       win32::OPEN_EXISTING, win32::FILE_FLAG_OVERLAPPED, nullptr);
        if (made.port == win32::INVALID_HANDLE_VALUE) {
            std::fprintf(stderr, "fuzz: the port did not open (%lu)\n",
                         static_cast<unsigned long>(win32::GetLastError()));
            std::abort();
        }
        // On a thread of its own: by the time exit runs this, the main thread's
        // thread-local kernel state is gone.
        std::atexit([] {
            std::thread([] {
                OpenPort& port = Port();
                win32::CloseHandle(port.port);
                delete port.world;
            }).join();
        });
        return made;
    }();
    return open;
}

// Stops the fuzzer with a message when an invariant does not hold.
inline void Require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "fuzz: invariant broken: %s\n", what);
        std::abort();
    }
}

// Ends an overlapped request: lets the world settle, cancels it if it is still
// pending (a wait for events, a read with no time-out), and collects its result.
inline win32::BOOL Finish(win32::HANDLE port, win32::OVERLAPPED& overlapped, win32::DWORD& count) {
    Port().world->Settle();
    if (!win32::HasOverlappedIoCompleted(&overlapped))
        win32::CancelIo(port);
    Require(win32::HasOverlappedIoCompleted(&overlapped), "a request outlived CancelIo");
    return win32::GetOverlappedResult(port, &overlapped, &count, TRUE);
}

} // namespace fuzz
