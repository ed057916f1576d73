#pragma once
// Pieces shared by the dispatch translation units (clock, queues, timers, signals);
// not part of the platform interface.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/dispatch.h"

// The process clock with its timelines, the main and global queues and the signal
// hub are created on first use and never destroyed (each is a leaked `new`): detached
// threads and signal handlers may use them up to the last instant of the process,
// after static destructors would have run, and a signal handler must never write to
// a self-pipe descriptor that was closed and reused meanwhile.

namespace velomar::dispatch::detail {

// Deadlines are kept in integral nanoseconds so that virtual time adds up exactly:
// ten 0.1 s steps from 1000.0 land on 1001.0, not a hair past it.
using Nanos = std::int64_t;
inline constexpr Nanos kNanosLimit = 9'000'000'000'000'000'000;  // ~285 years: "never"

inline Nanos toNanos(double seconds) {
    const double ns = seconds * 1e9;
    if (std::isnan(ns)) return 0;
    if (ns >= static_cast<double>(kNanosLimit)) return kNanosLimit;
    if (ns <= -static_cast<double>(kNanosLimit)) return -kNanosLimit;
    return std::llround(ns);
}

inline Nanos addNanos(Nanos a, Nanos b) {
    const Nanos sum = a + std::clamp(b, -kNanosLimit, kNanosLimit);  // |a| < 2^62: no overflow
    return std::clamp(sum, -kNanosLimit, kNanosLimit);
}

inline double toSeconds(Nanos ns) { return static_cast<double>(ns) / 1e9; }

// Runs when a deadline is reached; the argument is the time it fires at.
using Fire = std::function<void(Nanos)>;

// Deadlines of one clock: what delayed work and timers are scheduled on.
class Timeline {
public:
    virtual ~Timeline() = default;
    virtual Nanos now() const = 0;
    virtual void schedule(Nanos deadline, Fire fire) = 0;
    // The clock stops being the process clock: work that would wait for ever is dropped.
    virtual void close() {}
};

// The process clock's timeline, as clock() would give it.
Timeline& currentTimeline();

// A target queue for deferred work. Serial queues are reference counted, so work
// pending for one keeps it alive, as a queue's own items do; the main and global
// queues live for the whole process.
// `queue` is null when the queue was already being destroyed.
struct QueueRef {
    Queue* queue = nullptr;
    std::shared_ptr<Queue> keep;
};

// What a timer or a signal source shares with the work it has queued: the handler
// and target, both released by cancel() (outside the lock), and the flags that make a
// delivery queued before cancel() do nothing.
struct SourceCore {
    std::mutex mutex;
    QueueRef target;
    std::shared_ptr<Work> handler;
    bool resumed = false;
    bool cancelled = false;

    SourceCore(Queue& queue, Work work)
        : target(retain(queue)), handler(std::make_shared<Work>(std::move(work))) {}

    // True the first time, unless cancelled.
    bool markResumed() {
        std::lock_guard lock(mutex);
        if (resumed || cancelled) return false;
        resumed = true;
        return true;
    }

    // Queues item on the target unless cancelled. Submitting under the lock: once
    // cancel() has returned nothing more is queued.
    void submit(Work item) {
        std::lock_guard lock(mutex);
        if (cancelled || !target.queue) return;
        target.queue->async(std::move(item));
    }

    // Runs the handler unless cancelled meanwhile; called from the target queue.
    void runHandler() {
        std::shared_ptr<Work> work;
        {
            std::lock_guard lock(mutex);
            if (cancelled) return;
            work = handler;
        }
        if (work && *work) (*work)();
    }

    // False when it was cancelled already.
    bool cancel() {
        std::shared_ptr<Work> oldHandler;
        QueueRef oldTarget;
        {
            std::lock_guard lock(mutex);
            if (cancelled) return false;
            cancelled = true;
            oldHandler = std::move(handler);
            oldTarget = std::move(target);
        }
        // Captures are released here, outside the lock.
        return true;
    }
};

}  // namespace velomar::dispatch::detail
