// The callback gate: nothing passes once closed, and closing waits for a call in progress.
#include "platform/callback_gate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace velomar {
namespace {

using platform::CallbackGate;

TEST(CallbackGateTest, ClosingWaitsForTheCallInProgressAndNoneStartsAfter) {
    CallbackGate gate;
    std::atomic<bool> inside{false};
    std::atomic<bool> finished{false};
    std::atomic<int> calls{0};
    std::thread caller([&] {
        gate.pass([&] {
            inside = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            finished = true;
        });
        for (int i = 0; i < 100; ++i) gate.pass([&] { ++calls; });
    });
    while (!inside) std::this_thread::yield();
    gate.close(false);
    EXPECT_TRUE(finished) << "close returned while the callback still ran";
    const int afterClose = calls.load();
    caller.join();
    EXPECT_EQ(calls.load(), afterClose) << "a call started after the gate closed";
}

TEST(CallbackGateTest, ClosingFromInsideTheCallbackDoesNotWaitForItselfAndReopens) {
    CallbackGate gate;
    int calls = 0;
    gate.pass([&] {
        ++calls;
        gate.close(true);
    });
    gate.pass([&] { ++calls; });
    EXPECT_EQ(calls, 1);
    gate.open();
    gate.pass([&] { ++calls; });
    gate.shut();
    gate.pass([&] { ++calls; });
    EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace velomar
