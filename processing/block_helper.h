#pragma once
// A second thread that does one job per block beside the caller: the thread
// is made once, when a run starts, and joined when it ends, so blocks cost
// no thread creation and no allocation. Each hand-over spins briefly before
// it sleeps, since a block takes well under a millisecond at short filters
// and waking a sleeping thread costs a good part of that.

#include <atomic>
#include <cstdint>
#include <thread>

namespace tessaro {

class BlockHelper {
public:
    using Job = void (*)(void* context);

    // Starts the thread; throws std::system_error when it cannot be made.
    BlockHelper(Job job, void* context);
    ~BlockHelper();  // lets a running job end, then joins
    BlockHelper(const BlockHelper&) = delete;
    BlockHelper& operator=(const BlockHelper&) = delete;

    // Hands the job over for one block. Every Begin is followed by End
    // before the next Begin.
    void Begin();
    // Returns once the job begun last has ended; what it wrote is visible.
    void End();

private:
    void Main();

    Job job;
    void* context;
    std::atomic<uint32_t> begun{0};  // jobs handed over; the top value asks to stop
    std::atomic<uint32_t> ended{0};  // jobs done
    uint32_t handedOver = 0;         // the caller's count of Begin
    std::thread thread;
};

}  // namespace tessaro
