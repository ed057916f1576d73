#pragma once
// Work queues, timers and signal sources: the small part of a dispatch library that
// the recorder needs. Serial queues run one item at a time on a thread of their own;
// the main queue is served by the thread that calls dispatchMain() (or, in tests, by
// whoever calls drainMainQueue()). All deadlines come from the process clock, which
// tests replace with a ManualClock so that long windows run in virtual time.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace velomar::dispatch {

using Work = std::function<void()>;

class Clock;
class Queue;

namespace detail {
class Timeline;
struct QueueRef;
Timeline* timelineOf(Clock& clock);
QueueRef retain(Queue& queue);
}  // namespace detail

// Monotonic time in seconds. The real clock reads CLOCK_MONOTONIC.
class Clock {
public:
    virtual ~Clock() = default;
    virtual double now() const = 0;
    // Blocks the calling thread until now() >= deadline.
    virtual void sleepUntil(double deadline) = 0;

private:
    friend detail::Timeline* detail::timelineOf(Clock& clock);
    // Where delayed work and timer ticks wait for this clock's deadlines. A clock
    // without one of its own is watched by a thread that polls now().
    virtual detail::Timeline* timeline() { return nullptr; }
};

// Virtual time for tests. advance() returns only after every asyncAfter item and
// timer tick that has become due has been submitted to its queue, in deadline order,
// and every sleepUntil() whose deadline passed has been released.
class ManualClock : public Clock {
public:
    explicit ManualClock(double start = 1000.0);
    ~ManualClock() override;
    double now() const override;
    void sleepUntil(double deadline) override;
    void advance(double seconds);
    // Number of threads currently blocked in sleepUntil (lets tests wait for a sleeper).
    int sleepers() const;

private:
    detail::Timeline* timeline() override;
    struct State;
    std::shared_ptr<State> state_;
};

std::shared_ptr<Clock> realClock();
Clock& clock();
// Replaces the process clock; pass nullptr to go back to the real clock.
// Call before any timer or delayed work is scheduled. A replaced ManualClock drops its
// pending work and releases its sleepers.
void setClock(std::shared_ptr<Clock> clock);

class Queue {
public:
    virtual ~Queue() = default;
    // Dropping the last reference lets the queued items finish first; from one of the
    // queue's own items that happens after the item returns. Pending delayed work and
    // timers keep a serial queue alive.
    static std::shared_ptr<Queue> makeSerial(std::string label);
    static Queue& main();
    static Queue& global();  // concurrent, default priority; items may block

    virtual const std::string& label() const = 0;
    virtual void async(Work work) = 0;
    // Runs work on the queue and waits for it; an exception it throws reaches the caller.
    // Called from the queue itself it runs work in place (waiting would never end).
    void sync(Work work);
    // Runs work on the queue once clock().now() has reached now + delaySeconds.
    void asyncAfter(double delaySeconds, Work work);
    // True when the calling thread is running an item of this queue.
    virtual bool isCurrent() const = 0;

private:
    friend detail::QueueRef detail::retain(Queue& queue);
    // What deferred work for this queue holds until it is submitted. The default suits
    // a queue that lives for the whole process.
    virtual detail::QueueRef retainForLater();
};

// Serves the main queue on the calling thread for ever.
[[noreturn]] void dispatchMain();

// Test hook: runs the main-queue items that are already queued (and any they queue
// meanwhile) on the calling thread; returns how many ran.
std::size_t drainMainQueue();

// Repeating timer: first tick at now + firstDelay, then every interval seconds.
class TimerSource {
public:
    virtual ~TimerSource() = default;
    static std::shared_ptr<TimerSource> make(Queue& queue, double firstDelaySeconds,
                                             double intervalSeconds, Work handler);
    virtual void resume() = 0;
    // After cancel() returns no further tick is submitted; a tick already queued
    // still sees the cancelled flag and does nothing. Dropping the last reference
    // cancels too. A non-positive interval fires once. When the real clock falls
    // behind by whole intervals the missed ticks collapse into one; virtual time
    // submits every tick.
    virtual void cancel() = 0;
};

// Delivers a POSIX signal as work on a queue, once per arrival. The caller sets the
// disposition to ignore first, so the default action can never end the process; the
// source then catches the signal itself with an async-signal-safe handler that only
// writes to a self-pipe, and a watcher thread turns the bytes into queue work.
// Arrivals the kernel merged while the signal was pending count as one.
class SignalSource {
public:
    virtual ~SignalSource() = default;
    // Throws std::invalid_argument for a signal that cannot be caught.
    static std::shared_ptr<SignalSource> make(int signalNumber, Queue& queue, Work handler);
    virtual void resume() = 0;
    // Restores the disposition found at resume() once no source watches the signal;
    // deliveries already queued do nothing. Dropping the last reference cancels too.
    virtual void cancel() = 0;
};

}  // namespace velomar::dispatch
