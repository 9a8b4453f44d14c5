#include "processing/block_helper.h"

#include <chrono>

namespace tessaro {
namespace {

constexpr uint32_t StopRequest = UINT32_MAX;

// Longer than the worker's own part of a block (meters, clipping, file I/O),
// so that in a steady run neither side sleeps: a futex wake-up costs more
// than a short filter's whole block on a virtual machine. A partner that is
// descheduled or waiting on a disk costs at most this much spinning.
constexpr auto SpinTime = std::chrono::microseconds(1000);

void Pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// Returns the first value of the counter other than old: spins for a while,
// then sleeps in the futex behind atomic wait.
uint32_t AwaitChange(const std::atomic<uint32_t>& counter, uint32_t old) {
    const auto deadline = std::chrono::steady_clock::now() + SpinTime;
    for (;;) {
        for (int i = 0; i < 64; ++i) {
            const uint32_t now = counter.load(std::memory_order_acquire);
            if (now != old) return now;
            Pause();
        }
        if (std::chrono::steady_clock::now() >= deadline) break;
    }
    for (;;) {
        counter.wait(old, std::memory_order_acquire);
        const uint32_t now = counter.load(std::memory_order_acquire);
        if (now != old) return now;
    }
}

}  // namespace

BlockHelper::BlockHelper(Job helperJob, void* jobContext)
    : job(helperJob), context(jobContext), thread(&BlockHelper::Main, this) {}

BlockHelper::~BlockHelper() {
    begun.store(StopRequest, std::memory_order_release);
    begun.notify_one();
    thread.join();
}

void BlockHelper::Begin() {
    // Skips the stop value, so that 2^32 blocks never read as a stop.
    handedOver = handedOver + 1 == StopRequest ? 0 : handedOver + 1;
    begun.store(handedOver, std::memory_order_release);
    begun.notify_one();
}

void BlockHelper::End() {
    uint32_t done = ended.load(std::memory_order_acquire);
    while (done != handedOver) done = AwaitChange(ended, done);
}

void BlockHelper::Main() {
    uint32_t seen = 0;
    for (;;) {
        seen = AwaitChange(begun, seen);
        if (seen == StopRequest) return;
        job(context);
        ended.store(seen, std::memory_order_release);
        ended.notify_one();
    }
}

}  // namespace tessaro
