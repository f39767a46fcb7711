#include "receiver.h"

#include <vector>

namespace korvaxsim {

Receiver::Receiver(Port& port, Deliver deliver, const WakePipe& wake)
    : port_(port), deliver_(std::move(deliver)), wake_(wake), thread_([this] { Run(); }) {}

Receiver::~Receiver() {
    Stop();
}

void Receiver::Stop() {
    stopping_.store(true);
    if (thread_.joinable())
        thread_.join();
}

std::optional<std::string> Receiver::Failed() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return failure_;
}

void Receiver::Run() {
    // Large enough for whatever the ring holds: one read takes it all at once.
    std::vector<uint8_t> buffer(64 * 1024);
    try {
        // One OVERLAPPED (and its event) for every read, as a program's reader keeps.
        Overlapped overlapped;
        while (!stopping_.load()) {
            port_.StartRead(overlapped, buffer.data(), buffer.size());
            size_t n = port_.Finish(overlapped, Port::Request::Read);
            if (n != 0)
                deliver_(buffer.data(), n);
        }
    } catch (const Failure& failure) {
        std::lock_guard<std::mutex> guard(mutex_);
        failure_ = failure.what();
    }
    wake_.Notify();
}

} // namespace korvaxsim
