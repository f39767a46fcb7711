// The URBs of a session counted by kind, as the summary shows them.
#pragma once

#include <sim/usb.h>

#include <cstdint>
#include <map>

namespace korvaxsim {

struct UrbTally {
    struct Kind {
        uint64_t count = 0;
        uint64_t bytes = 0; // data moved (transfers that succeeded)
    };
    Kind bulkIn;
    Kind bulkOut;
    Kind interruptIn;
    Kind classRequests;
    std::map<UCHAR, uint64_t> classByRequest; // bRequest -> count
    uint64_t abortPipe = 0;
    uint64_t resetPipe = 0;
    uint64_t other = 0;
    // Completed with an error status (cancelled, device gone, stalled...).
    uint64_t failed = 0;
    uint64_t outstanding = 0;

    // A URB as it reaches the bus (counted by kind), and as it completes (its data
    // and its outcome).
    void Submitted(const sim::UrbRecord& record);
    void Completed(const sim::UrbRecord& record);

    uint64_t Total() const {
        return bulkIn.count + bulkOut.count + interruptIn.count + classRequests.count + abortPipe +
               resetPipe + other;
    }
};

} // namespace korvaxsim
