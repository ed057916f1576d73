#pragma once
// The gate every callback of a backend passes: once closed, no call starts, and closing
// waits for a call in progress, so that whoever closed it may release what the callback
// uses. Closing from inside the callback (its own queue) cannot wait for itself.

#include <atomic>
#include <mutex>

namespace velomar::platform {

class CallbackGate {
public:
    // Runs fn unless the gate is closed; the gate stays held while fn runs.
    template <typename Fn>
    void pass(Fn&& fn) {
        std::lock_guard g(run_);
        if (closed_) return;
        fn();
    }
    // No call starts after this. `onCallbackQueue`: the caller runs on the queue the
    // callbacks run on, so none is in progress besides, perhaps, the caller itself.
    void close(bool onCallbackQueue) {
        if (onCallbackQueue) {
            closed_ = true;
            return;
        }
        std::lock_guard g(run_);
        closed_ = true;
    }
    // Closes without waiting: for a stop that may run anywhere and only needs no new call.
    void shut() { closed_ = true; }
    void open() { closed_ = false; }

private:
    std::mutex run_;  // held while a callback runs
    std::atomic<bool> closed_{false};
};

}  // namespace velomar::platform
