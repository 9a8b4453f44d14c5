#pragma once
// A manual-reset event private to one process: stays signalled from Set
// until Reset, and any number of waiters see it.

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tessaro {

class ManualResetEvent {
public:
    explicit ManualResetEvent(bool initiallySignalled) : signalled_(initiallySignalled) {}
    ManualResetEvent(const ManualResetEvent&) = delete;
    ManualResetEvent& operator=(const ManualResetEvent&) = delete;

    void Set();
    void Reset();

    // True when signalled within the timeout; a zero timeout only polls.
    bool Wait(std::chrono::milliseconds timeout);
    // Polls without waiting: cheap enough for every block of a run.
    bool IsSignalled();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool signalled_;
};

}  // namespace tessaro
