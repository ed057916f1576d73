#include "platform/dispatch.h"

#include <errno.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <exception>
#include <future>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/dispatch_internal.h"

namespace velomar::dispatch {

namespace {

// Deadlines are kept in integral nanoseconds so that virtual time adds up exactly:
// ten 0.1 s steps from 1000.0 land on 1001.0, not a hair past it.
using Nanos = std::int64_t;
constexpr Nanos kNanosLimit = 9'000'000'000'000'000'000;  // ~285 years: "never"

Nanos toNanos(double seconds) {
    const double ns = seconds * 1e9;
    if (std::isnan(ns)) return 0;
    if (ns >= static_cast<double>(kNanosLimit)) return kNanosLimit;
    if (ns <= -static_cast<double>(kNanosLimit)) return -kNanosLimit;
    return std::llround(ns);
}

Nanos addNanos(Nanos a, Nanos b) {
    const Nanos sum = a + std::clamp(b, -kNanosLimit, kNanosLimit);  // |a| < 2^62: no overflow
    return std::clamp(sum, -kNanosLimit, kNanosLimit);
}

double toSeconds(Nanos ns) { return static_cast<double>(ns) / 1e9; }

// Runs when a deadline is reached; the argument is the time it fires at.
using Fire = std::function<void(Nanos)>;

struct TimedItem {
    Nanos deadline = 0;
    std::uint64_t seq = 0;
    const Clock* clock = nullptr;
    Fire fire;
};

// Earliest deadline first; equal deadlines in the order they were scheduled.
class TimedItems {
public:
    void push(Nanos deadline, const Clock* clock, Fire fire) {
        items_.push_back(TimedItem{deadline, nextSeq_++, clock, std::move(fire)});
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

class RealClock final : public Clock {
public:
    static Nanos nowNanos() {
        timespec ts{};
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<Nanos>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
    }
    double now() const override { return toSeconds(nowNanos()); }
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
};

// Thread-backed scheduler for the real clock (and any clock that is not a ManualClock).
class ThreadScheduler {
public:
    void schedule(const Clock* clock, Nanos deadline, Fire fire) {
        std::lock_guard lock(mutex_);
        items_.push(deadline, clock, std::move(fire));
        if (!started_) {
            started_ = true;
            std::thread([this] { run(); }).detach();
        }
        wake_.notify_one();
    }

private:
    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            if (items_.empty()) {
                wake_.wait(lock);
                continue;
            }
            const TimedItem& top = items_.top();
            const bool real = dynamic_cast<const RealClock*>(top.clock) != nullptr;
            const Nanos now = real ? RealClock::nowNanos() : toNanos(top.clock->now());
            if (top.deadline <= now) {
                {
                    TimedItem item = items_.pop();
                    lock.unlock();
                    item.fire(now);
                }
                lock.lock();
                continue;
            }
            const auto remaining = std::chrono::nanoseconds(top.deadline - now);
            // A foreign clock may run at any pace, so it is polled.
            wake_.wait_for(lock, real ? remaining : std::min<std::chrono::nanoseconds>(
                                                        remaining, std::chrono::milliseconds(10)));
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    TimedItems items_;
    bool started_ = false;
};

ThreadScheduler& threadScheduler() {
    static auto* scheduler = new ThreadScheduler;  // serves detached threads until exit
    return *scheduler;
}

}  // namespace

// ---------------------------------------------------------------------------- ManualClock

struct ManualClock::State {
    mutable std::mutex mutex;
    std::condition_variable changed;  // time moved, a drain ended, or the clock closed
    Nanos now = 0;
    int sleepers = 0;
    bool draining = false;  // one thread at a time submits due items
    bool closed = false;
    TimedItems items;

    void schedule(Nanos deadline, Fire fire) {
        std::unique_lock lock(mutex);
        if (closed) return;
        items.push(deadline, nullptr, std::move(fire));
        // Due already: submit it now, unless someone is draining and will pick it up.
        if (deadline > now || draining) return;
        draining = true;
        drainUntil(lock, now);
    }

    void advance(Nanos delta) {
        std::unique_lock lock(mutex);
        changed.wait(lock, [this] { return !draining || closed; });
        const Nanos target = addNanos(now, std::max<Nanos>(delta, 0));
        if (closed) {
            now = target;
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
                if (item.deadline > now) {
                    now = item.deadline;
                    changed.notify_all();
                }
                lock.unlock();
                item.fire(item.deadline);
            }
            lock.lock();
        }
        now = std::max(now, target);
        draining = false;
        changed.notify_all();
    }

    void close() {
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

struct detail::ManualClockAccess {
    static ManualClock::State& state(ManualClock& clock) { return *clock.state_; }
};

ManualClock::ManualClock(double start) : state_(std::make_shared<State>()) {
    state_->now = toNanos(start);
}

ManualClock::~ManualClock() { state_->close(); }

double ManualClock::now() const {
    std::lock_guard lock(state_->mutex);
    return toSeconds(state_->now);
}

void ManualClock::sleepUntil(double deadline) {
    const std::shared_ptr<State> state = state_;
    const Nanos target = toNanos(deadline);
    std::unique_lock lock(state->mutex);
    ++state->sleepers;
    state->changed.notify_all();
    state->changed.wait(lock, [&] { return state->now >= target || state->closed; });
    --state->sleepers;
}

void ManualClock::advance(double seconds) { state_->advance(toNanos(seconds)); }

int ManualClock::sleepers() const {
    std::lock_guard lock(state_->mutex);
    return state_->sleepers;
}

// ---------------------------------------------------------------------------- process clock

namespace {

struct ClockSlot {
    std::mutex mutex;
    std::shared_ptr<Clock> current;
    // clock() hands out references, so a replaced clock is kept (closed) rather than freed.
    std::vector<std::shared_ptr<Clock>> retired;
};

ClockSlot& clockSlot() {
    static auto* slot = new ClockSlot;
    return *slot;
}

Nanos nowNanos(Clock& clk) {
    if (auto* manual = dynamic_cast<ManualClock*>(&clk)) {
        auto& state = detail::ManualClockAccess::state(*manual);
        std::lock_guard lock(state.mutex);
        return state.now;
    }
    if (dynamic_cast<RealClock*>(&clk) != nullptr) return RealClock::nowNanos();
    return toNanos(clk.now());
}

void scheduleOn(Clock& clk, Nanos deadline, Fire fire) {
    if (auto* manual = dynamic_cast<ManualClock*>(&clk)) {
        detail::ManualClockAccess::state(*manual).schedule(deadline, std::move(fire));
    } else {
        threadScheduler().schedule(&clk, deadline, std::move(fire));
    }
}

}  // namespace

std::shared_ptr<Clock> realClock() {
    static const auto* real = new std::shared_ptr<Clock>(std::make_shared<RealClock>());
    return *real;
}

Clock& clock() {
    auto& slot = clockSlot();
    std::lock_guard lock(slot.mutex);
    if (!slot.current) slot.current = realClock();
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
        if (auto* manual = dynamic_cast<ManualClock*>(slot.current.get())) {
            detail::ManualClockAccess::state(*manual).close();
        }
        slot.retired.push_back(std::move(slot.current));
    }
    slot.current = std::move(newClock);
}

// ---------------------------------------------------------------------------- queues

namespace {

// Identity of the queue whose item the calling thread is running.
thread_local const void* tlsCurrentQueue = nullptr;

class CurrentQueueScope {
public:
    explicit CurrentQueueScope(const void* queue) : previous_(tlsCurrentQueue) {
        tlsCurrentQueue = queue;
    }
    ~CurrentQueueScope() { tlsCurrentQueue = previous_; }
    CurrentQueueScope(const CurrentQueueScope&) = delete;
    CurrentQueueScope& operator=(const CurrentQueueScope&) = delete;

private:
    const void* previous_;
};

void runItem(const void* queue, Work& work) {
    CurrentQueueScope scope(queue);
    work();
}

void syncOn(Queue& queue, Work work) {
    // Waiting on our own queue would never end; run in place instead.
    if (queue.isCurrent()) {
        work();
        return;
    }
    std::promise<void> done;
    std::future<void> result = done.get_future();
    queue.async([&work, &done] {
        try {
            work();
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });
    result.get();
}

void asyncAfterOn(Queue& queue, double delaySeconds, Work work) {
    if (!(delaySeconds > 0)) {
        queue.async(std::move(work));
        return;
    }
    Clock& clk = clock();
    const Nanos deadline = addNanos(nowNanos(clk), toNanos(delaySeconds));
    scheduleOn(clk, deadline,
               [target = detail::retain(queue), work = std::move(work)](Nanos) mutable {
                   if (target.queue) target.queue->async(std::move(work));
               });
}

class SerialQueue final : public Queue, public std::enable_shared_from_this<SerialQueue> {
public:
    explicit SerialQueue(std::string label) : label_(std::move(label)) {}

    ~SerialQueue() override {
        std::thread worker;
        {
            std::lock_guard lock(core_->mutex);
            core_->stopping = true;
            worker = std::move(worker_);
        }
        core_->wake.notify_all();
        if (!worker.joinable()) return;
        // Released by one of our own items: the worker finishes the remaining items on
        // its own; joining here would wait for ourselves.
        if (worker.get_id() == std::this_thread::get_id()) {
            worker.detach();
        } else {
            worker.join();
        }
    }

    const std::string& label() const override { return label_; }

    void async(Work work) override {
        std::lock_guard lock(core_->mutex);
        core_->items.push_back(std::move(work));
        if (!worker_.joinable()) worker_ = std::thread(&SerialQueue::serve, core_);
        core_->wake.notify_one();
    }

    void sync(Work work) override { syncOn(*this, std::move(work)); }

    void asyncAfter(double delaySeconds, Work work) override {
        asyncAfterOn(*this, delaySeconds, std::move(work));
    }

    bool isCurrent() const override { return tlsCurrentQueue == core_.get(); }

private:
    // What the worker needs; outlives the queue object when the worker is detached.
    struct Core {
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<Work> items;
        bool stopping = false;
    };

    static void serve(std::shared_ptr<Core> core) {
        std::unique_lock lock(core->mutex);
        for (;;) {
            core->wake.wait(lock, [&] { return !core->items.empty() || core->stopping; });
            if (core->items.empty()) return;  // stopping, and every item has run
            {
                Work work = std::move(core->items.front());
                core->items.pop_front();
                lock.unlock();
                runItem(core.get(), work);
            }
            lock.lock();
        }
    }

    const std::string label_;
    const std::shared_ptr<Core> core_ = std::make_shared<Core>();
    std::thread worker_;  // guarded by core_->mutex
};

class MainQueue final : public Queue {
public:
    const std::string& label() const override { return label_; }

    void async(Work work) override {
        std::lock_guard lock(mutex_);
        items_.push_back(std::move(work));
        wake_.notify_one();
    }

    void sync(Work work) override { syncOn(*this, std::move(work)); }

    void asyncAfter(double delaySeconds, Work work) override {
        asyncAfterOn(*this, delaySeconds, std::move(work));
    }

    bool isCurrent() const override { return tlsCurrentQueue == this; }

    // Runs one item; waits for one first when `wait` is set. False when none was there.
    bool runOne(bool wait) {
        Work work;
        {
            std::unique_lock lock(mutex_);
            if (wait) wake_.wait(lock, [this] { return !items_.empty(); });
            if (items_.empty()) return false;
            work = std::move(items_.front());
            items_.pop_front();
        }
        runItem(this, work);
        return true;
    }

private:
    const std::string label_ = "main";
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Work> items_;
};

// Concurrent queue whose items may block for ever (a reader waiting on standard input,
// a retry loop sleeping): a new thread is started whenever no idle one can take an
// item, and threads left idle for a while exit.
class GlobalQueue final : public Queue {
public:
    const std::string& label() const override { return label_; }

    void async(Work work) override {
        std::lock_guard lock(mutex_);
        items_.push_back(std::move(work));
        if (items_.size() > idle_) {
            std::thread([this] { serve(); }).detach();
        } else {
            wake_.notify_one();
        }
    }

    void sync(Work work) override { syncOn(*this, std::move(work)); }

    void asyncAfter(double delaySeconds, Work work) override {
        asyncAfterOn(*this, delaySeconds, std::move(work));
    }

    bool isCurrent() const override { return tlsCurrentQueue == this; }

private:
    void serve() {
        std::unique_lock lock(mutex_);
        for (;;) {
            ++idle_;
            const bool got = wake_.wait_for(lock, std::chrono::seconds(5),
                                            [this] { return !items_.empty(); });
            --idle_;
            if (!got) return;
            {
                Work work = std::move(items_.front());
                items_.pop_front();
                lock.unlock();
                runItem(this, work);
            }
            lock.lock();
        }
    }

    const std::string label_ = "global";
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Work> items_;
    std::size_t idle_ = 0;
};

MainQueue& mainQueue() {
    static auto* queue = new MainQueue;
    return *queue;
}

}  // namespace

detail::QueueRef detail::retain(Queue& queue) {
    QueueRef ref;
    ref.queue = &queue;
    if (auto* serial = dynamic_cast<SerialQueue*>(&queue)) {
        // A queue that is being destroyed takes no new deferred work.
        ref.keep = serial->weak_from_this().lock();
        if (!ref.keep) ref.queue = nullptr;
    }
    return ref;
}

std::shared_ptr<Queue> Queue::makeSerial(std::string label) {
    return std::make_shared<SerialQueue>(std::move(label));
}

Queue& Queue::main() { return mainQueue(); }

Queue& Queue::global() {
    static auto* queue = new GlobalQueue;
    return *queue;
}

void dispatchMain() {
    for (;;) mainQueue().runOne(true);
}

std::size_t drainMainQueue() {
    std::size_t count = 0;
    while (mainQueue().runOne(false)) ++count;
    return count;
}

// ---------------------------------------------------------------------------- timers

namespace {

struct TimerState : std::enable_shared_from_this<TimerState> {
    Clock* clock = nullptr;
    Nanos first = 0;
    Nanos interval = 0;  // <= 0: fires once

    std::mutex mutex;
    detail::QueueRef target;
    std::shared_ptr<Work> handler;
    std::uint64_t nextTick = 0;
    bool resumed = false;
    bool cancelled = false;

    Nanos deadlineOf(std::uint64_t tick) const {
        if (interval <= 0) return first;
        const double span = static_cast<double>(interval) * static_cast<double>(tick);
        if (span >= static_cast<double>(kNanosLimit)) return kNanosLimit;
        return addNanos(first, interval * static_cast<Nanos>(tick));
    }

    void armNext() {
        Nanos deadline = 0;
        {
            std::lock_guard lock(mutex);
            if (cancelled) return;
            deadline = deadlineOf(nextTick);
        }
        scheduleOn(*clock, deadline, [self = shared_from_this()](Nanos at) { self->fire(at); });
    }

    void fire(Nanos at) {
        {
            std::lock_guard lock(mutex);
            if (cancelled || !target.queue) return;
            // Submitting under the lock: once cancel() has returned nothing more is queued.
            target.queue->async([self = shared_from_this()] { self->tick(); });
            if (interval <= 0) return;
            ++nextTick;
            // A tick never fires twice for one deadline: when the real clock fell behind
            // by several intervals, the missed ones collapse into the tick just queued.
            if (at > first) {
                const auto elapsed = static_cast<std::uint64_t>((at - first) / interval);
                nextTick = std::max(nextTick, elapsed + 1);
            }
        }
        armNext();
    }

    void tick() {
        std::shared_ptr<Work> work;
        {
            std::lock_guard lock(mutex);
            if (cancelled) return;
            work = handler;
        }
        if (work && *work) (*work)();
    }

    void resume() {
        {
            std::lock_guard lock(mutex);
            if (resumed || cancelled) return;
            resumed = true;
        }
        armNext();
    }

    void cancel() {
        std::shared_ptr<Work> oldHandler;
        detail::QueueRef oldTarget;
        {
            std::lock_guard lock(mutex);
            cancelled = true;
            oldHandler = std::move(handler);
            oldTarget = std::move(target);
        }
        // Captures are released here, outside the lock.
    }
};

class TimerSourceImpl final : public TimerSource {
public:
    explicit TimerSourceImpl(std::shared_ptr<TimerState> state) : state_(std::move(state)) {}
    // Nobody could cancel a timer whose last handle is gone, so it stops with it.
    ~TimerSourceImpl() override { state_->cancel(); }
    void resume() override { state_->resume(); }
    void cancel() override { state_->cancel(); }

private:
    std::shared_ptr<TimerState> state_;
};

}  // namespace

std::shared_ptr<TimerSource> TimerSource::make(Queue& queue, double firstDelaySeconds,
                                               double intervalSeconds, Work handler) {
    auto state = std::make_shared<TimerState>();
    state->clock = &clock();
    state->first = addNanos(nowNanos(*state->clock), std::max<Nanos>(toNanos(firstDelaySeconds), 0));
    state->interval = toNanos(intervalSeconds);
    state->target = detail::retain(queue);
    state->handler = std::make_shared<Work>(std::move(handler));
    return std::make_shared<TimerSourceImpl>(std::move(state));
}

}  // namespace velomar::dispatch
