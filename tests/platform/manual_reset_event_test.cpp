#include "platform/manual_reset_event.h"

#include <gtest/gtest.h>

#include <thread>

namespace tessaro {
namespace {

using namespace std::chrono_literals;

TEST(ManualResetEvent, StaysSignalledUntilReset) {
    ManualResetEvent event(true);
    EXPECT_TRUE(event.IsSignalled());
    EXPECT_TRUE(event.IsSignalled());  // polling does not consume it
    event.Reset();
    EXPECT_FALSE(event.IsSignalled());
    event.Set();
    EXPECT_TRUE(event.Wait(0ms));
}

TEST(ManualResetEvent, WakesAWaiterOnAnotherThread) {
    ManualResetEvent event(false);
    std::thread setter([&] {
        std::this_thread::sleep_for(10ms);
        event.Set();
    });
    EXPECT_TRUE(event.Wait(10s));
    setter.join();
    event.Reset();
    EXPECT_FALSE(event.Wait(1ms));
}

}  // namespace
}  // namespace tessaro
