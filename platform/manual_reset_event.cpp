#include "platform/manual_reset_event.h"

namespace tessaro {

void ManualResetEvent::Set() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        signalled_ = true;
    }
    changed_.notify_all();
}

void ManualResetEvent::Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    signalled_ = false;
}

bool ManualResetEvent::IsSignalled() {
    std::lock_guard<std::mutex> lock(mutex_);
    return signalled_;
}

bool ManualResetEvent::Wait(std::chrono::milliseconds timeout) {
    if (timeout.count() <= 0) return IsSignalled();
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return signalled_; });
}

}  // namespace tessaro
