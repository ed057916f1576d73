// Clocks and the timelines that hold delayed work until its deadline: the real clock
// (a thread that sleeps until the earliest deadline), the virtual ManualClock (items
// fire as advance() passes them) and the process clock that the queues and timers read.

#include <errno.h>
#include <time.h>

#include <chrono>
#include <condition_variable>
#include <thread>
#include <utility>
#include <vector>

#include "platform/dispatch.h"
#include "platform/dispatch_internal.h"

namespace velomar::dispatch {

using detail::addNanos;
using detail::Fire;
using detail::Nanos;
using detail::toNanos;
using detail::toSeconds;

namespace {

struct TimedItem {
    Nanos deadline = 0;
    std::uint64_t seq = 0;
    Fire fire;
};

// Earliest deadline first; equal deadlines in the order they were scheduled.
class TimedItems {
public:
    void push(Nanos deadline, Fire fire) {
        items_.push_back(TimedItem{deadline, nextSeq_++, std::move(fire)});
        std::push_heap(items_.begin(), items_.end(), later);
    }
    bool empty() const { return items_.empty(); }
    const TimedItem& top() const { return items_.front(); }
    TimedItem pop() {
        std::pop_heap(items_.begin(), items_.end(), later);
        TimedItem item = std::move(items_.back());
        items_.pop_back();
        return item;
    }
    std::vector<TimedItem> takeAll() { return std::exchange(items_, {}); }

private:
    static bool later(const TimedItem& a, const TimedItem& b) {
        return a.deadline != b.deadline ? a.deadline > b.deadline : a.seq > b.seq;
    }
    std::vector<TimedItem> items_;
    std::uint64_t nextSeq_ = 0;
};

// A thread, started with the first item, fires the items as the clock reaches them.
class ThreadTimeline : public detail::Timeline {
public:
    void schedule(Nanos deadline, Fire fire) override {
        std::lock_guard lock(mutex_);
        items_.push(deadline, std::move(fire));
        if (!started_) {
            started_ = true;
            std::thread([this] { run(); }).detach();
        }
        wake_.notify_one();
    }

protected:
    // How long the thread may sleep, with `remaining` left to the earliest deadline,
    // before it reads the clock again.
    virtual std::chrono::nanoseconds patience(std::chrono::nanoseconds remaining) const {
        return remaining;
    }

private:
    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            if (items_.empty()) {
                wake_.wait(lock);
                continue;
            }
            const Nanos current = now();
            if (items_.top().deadline <= current) {
                {
                    TimedItem item = items_.pop();
                    lock.unlock();
                    item.fire(current);
                }
                lock.lock();
                continue;
            }
            wake_.wait_for(lock, patience(std::chrono::nanoseconds(items_.top().deadline - current)));
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    TimedItems items_;
    bool started_ = false;
};

Nanos monotonicNanos() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<Nanos>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

class RealTimeline final : public ThreadTimeline {
public:
    Nanos now() const override { return monotonicNanos(); }
};

// For a clock written elsewhere, which may run at any pace: its time is polled.
class PolledTimeline final : public ThreadTimeline {
public:
    explicit PolledTimeline(const Clock& clock) : clock_(clock) {}
    Nanos now() const override { return toNanos(clock_.now()); }

private:
    std::chrono::nanoseconds patience(std::chrono::nanoseconds remaining) const override {
        return std::min<std::chrono::nanoseconds>(remaining, std::chrono::milliseconds(10));
    }
    const Clock& clock_;
};

class RealClock final : public Clock {
public:
    double now() const override { return toSeconds(monotonicNanos()); }
    void sleepUntil(double deadline) override {
        const Nanos target = toNanos(deadline);
        if (target <= 0) return;
        timespec ts{};
        ts.tv_sec = static_cast<time_t>(target / 1'000'000'000);
        ts.tv_nsec = static_cast<long>(target % 1'000'000'000);
        // A signal handler interrupts the sleep; the absolute deadline stays the same.
        while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
        }
    }

private:
    detail::Timeline* timeline() override {
        static auto* timeline = new RealTimeline;
        return timeline;
    }
};

}  // namespace

// ---------------------------------------------------------------------------- ManualClock

struct ManualClock::State final : detail::Timeline {
    mutable std::mutex mutex;
    std::condition_variable changed;  // time moved, a drain ended, or the clock closed
    Nanos current = 0;
    int sleepers = 0;
    bool draining = false;  // one thread at a time submits due items
    bool closed = false;
    TimedItems items;

    Nanos now() const override {
        std::lock_guard lock(mutex);
        return current;
    }

    void schedule(Nanos deadline, Fire fire) override {
        std::unique_lock lock(mutex);
        if (closed) return;
        items.push(deadline, std::move(fire));
        // Due already: submit it now, unless someone is draining and will pick it up.
        if (deadline > current || draining) return;
        draining = true;
        drainUntil(lock, current);
    }

    void advance(Nanos delta) {
        std::unique_lock lock(mutex);
        changed.wait(lock, [this] { return !draining || closed; });
        const Nanos target = addNanos(current, std::max<Nanos>(delta, 0));
        if (closed) {
            current = target;
            changed.notify_all();
            return;
        }
        draining = true;
        drainUntil(lock, target);
    }

    // Fires every item due by target in deadline order, stepping virtual time to each
    // deadline so that a firing item sees its own deadline as now. Clears draining.
    void drainUntil(std::unique_lock<std::mutex>& lock, Nanos target) {
        while (!closed && !items.empty() && items.top().deadline <= target) {
            {
                TimedItem item = items.pop();
                if (item.deadline > current) {
                    current = item.deadline;
                    changed.notify_all();
                }
                lock.unlock();
                item.fire(item.deadline);
            }
            lock.lock();
        }
        current = std::max(current, target);
        draining = false;
        changed.notify_all();
    }

    void close() override {
        std::vector<TimedItem> dropped;
        {
            std::lock_guard lock(mutex);
            closed = true;
            dropped = items.takeAll();
            changed.notify_all();
        }
        // The dropped items release their captures here, outside the lock.
    }
};

ManualClock::ManualClock(double start) : state_(std::make_shared<State>()) {
    state_->current = toNanos(start);
}

ManualClock::~ManualClock() { state_->close(); }

double ManualClock::now() const { return toSeconds(state_->now()); }

void ManualClock::sleepUntil(double deadline) {
    const std::shared_ptr<State> state = state_;
    const Nanos target = toNanos(deadline);
    std::unique_lock lock(state->mutex);
    ++state->sleepers;
    state->changed.notify_all();
    state->changed.wait(lock, [&] { return state->current >= target || state->closed; });
    --state->sleepers;
}

void ManualClock::advance(double seconds) { state_->advance(toNanos(seconds)); }

int ManualClock::sleepers() const {
    std::lock_guard lock(state_->mutex);
    return state_->sleepers;
}

detail::Timeline* ManualClock::timeline() { return state_.get(); }

// ---------------------------------------------------------------------------- process clock

namespace {

struct ClockSlot {
    std::mutex mutex;
    std::shared_ptr<Clock> current;
    detail::Timeline* timeline = nullptr;  // current's
    // clock() hands out references and timers keep the timeline they were made on, so
    // a replaced clock is kept (closed) rather than freed.
    std::vector<std::shared_ptr<Clock>> retired;
    std::vector<std::unique_ptr<PolledTimeline>> polled;

    void install(std::shared_ptr<Clock> clock) {
        current = std::move(clock);
        timeline = detail::timelineOf(*current);
        if (!timeline) timeline = polled.emplace_back(std::make_unique<PolledTimeline>(*current)).get();
    }
    void ensure() {
        if (!current) install(realClock());
    }
};

ClockSlot& clockSlot() {
    static auto* slot = new ClockSlot;
    return *slot;
}

}  // namespace

detail::Timeline* detail::timelineOf(Clock& clock) { return clock.timeline(); }

detail::Timeline& detail::currentTimeline() {
    auto& slot = clockSlot();
    std::lock_guard lock(slot.mutex);
    slot.ensure();
    return *slot.timeline;
}

std::shared_ptr<Clock> realClock() {
    static const auto* real = new std::shared_ptr<Clock>(std::make_shared<RealClock>());
    return *real;
}

Clock& clock() {
    auto& slot = clockSlot();
    std::lock_guard lock(slot.mutex);
    slot.ensure();
    return *slot.current;
}

void setClock(std::shared_ptr<Clock> newClock) {
    if (!newClock) newClock = realClock();
    auto& slot = clockSlot();
    std::lock_guard lock(slot.mutex);
    if (slot.current == newClock) return;
    if (slot.current) {
        // Pending delayed work and sleepers of a replaced virtual clock would wait for
        // ever; drop the work and release the sleepers.
        slot.timeline->close();
        slot.retired.push_back(std::move(slot.current));
    }
    slot.install(std::move(newClock));
}

}  // namespace velomar::dispatch
