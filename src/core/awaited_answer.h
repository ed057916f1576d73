#pragma once
// One answer from a platform completion handler, waited for on the calling thread.
// Hold it in a shared_ptr that the handler captures: the handler may still be
// finishing after the wait has returned. The first answer counts; a second one is
// ignored.

#include <condition_variable>
#include <mutex>
#include <optional>
#include <utility>

namespace velomar {

template <typename T>
class AwaitedAnswer {
public:
    void set(T value) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (value_) return;
            value_.emplace(std::move(value));
        }
        ready_.notify_all();
    }

    // Blocks until set() has been called, then hands the answer out (once).
    T wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [this] { return value_.has_value(); });
        return std::move(*value_);
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::optional<T> value_;
};

}  // namespace velomar
