#include "platform/dispatch.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace velomar::dispatch {
namespace {

using namespace std::chrono_literals;

// Generous bound for things that must happen eventually; never a speed requirement.
constexpr auto kEventually = 20s;

template <typename Pred>
bool eventually(Pred pred) {
    const auto end = std::chrono::steady_clock::now() + kEventually;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Drains the main queue until `pred` holds (or gives up).
template <typename Pred>
bool drainUntil(Pred pred) {
    return eventually([&] {
        drainMainQueue();
        return pred();
    });
}

// ------------------------------------------------------------------ serial queues

TEST(DispatchSerialQueue, RunsItemsOneAtATimeInSubmissionOrderPerProducer) {
    auto queue = Queue::makeSerial("velomar.test.fifo");
    EXPECT_EQ(queue->label(), "velomar.test.fifo");
    EXPECT_FALSE(queue->isCurrent());

    constexpr int kProducers = 4;
    constexpr int kItems = 300;
    std::vector<std::pair<int, int>> seen;  // touched only on the queue
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::atomic<bool> notCurrent{false};

    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kItems; ++i) {
                queue->async([&, p, i] {
                    if (inside.fetch_add(1) != 0) overlapped = true;
                    if (!queue->isCurrent()) notCurrent = true;
                    seen.emplace_back(p, i);
                    inside.fetch_sub(1);
                });
            }
        });
    }
    for (auto& t : producers) t.join();

    std::vector<std::pair<int, int>> result;
    queue->sync([&] { result = seen; });
    EXPECT_FALSE(overlapped);
    EXPECT_FALSE(notCurrent);
    ASSERT_EQ(result.size(), static_cast<std::size_t>(kProducers * kItems));
    std::vector<int> next(kProducers, 0);
    for (const auto& [p, i] : result) {
        ASSERT_EQ(i, next[p]) << "producer " << p << " out of order";
        ++next[p];
    }
}

TEST(DispatchSerialQueue, SyncRunsOnTheQueueAfterEarlierItemsAndWaits) {
    auto queue = Queue::makeSerial("velomar.test.sync");
    std::promise<void> gate;
    std::shared_future<void> opened = gate.get_future().share();
    std::vector<int> order;
    queue->async([&, opened] {
        opened.wait();
        order.push_back(1);
    });

    std::thread caller([&] {
        bool onQueue = false;
        queue->sync([&] {
            onQueue = queue->isCurrent();
            order.push_back(2);
        });
        EXPECT_TRUE(onQueue);
        order.push_back(3);  // sync has returned, so the queue is done with `order`
    });
    gate.set_value();
    caller.join();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));

    // From one of its own items sync runs in place instead of deadlocking; exceptions
    // reach the caller.
    int nested = 0;
    queue->sync([&] { queue->sync([&] { nested = 7; }); });
    EXPECT_EQ(nested, 7);
    EXPECT_THROW(queue->sync([] { throw std::runtime_error("boom"); }), std::runtime_error);
}

TEST(DispatchSerialQueue, ReleasedFromItsOwnItemFinishesTheQueuedItems) {
    auto queue = Queue::makeSerial("velomar.test.self-release");
    std::weak_ptr<Queue> weak = queue;
    std::promise<void> gate;
    std::shared_future<void> opened = gate.get_future().share();
    std::promise<void> laterRan;

    queue->async([self = queue, opened]() mutable {
        opened.wait();
        self.reset();  // the last owner: the queue is destroyed on its own worker
    });
    queue->async([&] { laterRan.set_value(); });
    queue.reset();
    gate.set_value();

    ASSERT_EQ(laterRan.get_future().wait_for(kEventually), std::future_status::ready);
    EXPECT_TRUE(eventually([&] { return weak.expired(); }));
}

TEST(DispatchSerialQueue, ReleasedFromAnotherThreadRunsPendingItemsFirst) {
    auto queue = Queue::makeSerial("velomar.test.drain");
    std::atomic<int> ran{0};
    for (int i = 0; i < 200; ++i) queue->async([&] { ran.fetch_add(1); });
    queue.reset();
    EXPECT_EQ(ran.load(), 200);
}

// ------------------------------------------------------------------ main and global queues

TEST(DispatchMainQueue, DrainRunsQueuedAndNewlyQueuedItemsInOrder) {
    drainMainQueue();
    std::vector<int> order;
    bool current = false;
    Queue::main().async([&] {
        current = Queue::main().isCurrent();
        order.push_back(1);
        Queue::main().async([&] { order.push_back(3); });
    });
    Queue::main().async([&] { order.push_back(2); });
    EXPECT_FALSE(Queue::main().isCurrent());
    EXPECT_EQ(drainMainQueue(), 3U);
    EXPECT_TRUE(current);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(drainMainQueue(), 0U);

    // sync from another thread completes once the main queue is served.
    std::atomic<bool> done{false};
    std::thread other([&] {
        Queue::main().sync([] {});
        done = true;
    });
    EXPECT_TRUE(drainUntil([&] { return done.load(); }));
    other.join();
}

TEST(DispatchGlobalQueue, ItemsThatBlockDoNotStarveLaterOnes) {
    // Every item waits until all of them are running: only a pool that grows gets there.
    constexpr int kItems = 12;
    struct Shared {
        std::mutex mutex;
        std::condition_variable cv;
        int started = 0;
        int sawAll = 0;
        int finished = 0;
        bool allCurrent = true;
    };
    auto shared = std::make_shared<Shared>();
    for (int i = 0; i < kItems; ++i) {
        Queue::global().async([shared] {
            const bool current = Queue::global().isCurrent();
            std::unique_lock lock(shared->mutex);
            shared->allCurrent = shared->allCurrent && current;
            ++shared->started;
            shared->cv.notify_all();
            if (shared->cv.wait_for(lock, kEventually, [&] { return shared->started == kItems; })) {
                ++shared->sawAll;
            }
            ++shared->finished;
            shared->cv.notify_all();
        });
    }
    std::unique_lock lock(shared->mutex);
    ASSERT_TRUE(shared->cv.wait_for(lock, 2 * kEventually,
                                    [&] { return shared->finished == kItems; }));
    EXPECT_EQ(shared->sawAll, kItems);
    EXPECT_TRUE(shared->allCurrent);
}

// ------------------------------------------------------------------ virtual time

class DispatchManualClock : public ::testing::Test {
protected:
    void SetUp() override {
        drainMainQueue();
        clock_ = std::make_shared<ManualClock>();
        setClock(clock_);
    }
    void TearDown() override {
        setClock(nullptr);
        drainMainQueue();
    }
    std::shared_ptr<ManualClock> clock_;
};

TEST_F(DispatchManualClock, AsyncAfterSubmitsDueItemsInDeadlineOrder) {
    std::vector<std::string> ran;
    struct Delayed {
        double delay;
        const char* tag;
    };
    // Equal deadlines keep the order in which they were scheduled.
    const Delayed table[] = {{0.30, "c"}, {0.10, "a1"}, {0.50, "e"}, {0.10, "a2"},
                             {0.20, "b"}, {0.30, "c2"}, {2.00, "late"}};
    for (const auto& d : table) {
        Queue::main().asyncAfter(d.delay, [&ran, tag = std::string(d.tag)] { ran.push_back(tag); });
    }
    EXPECT_EQ(drainMainQueue(), 0U);

    clock_->advance(0.1);  // exactly on the first deadline
    EXPECT_EQ(drainMainQueue(), 2U);
    EXPECT_EQ(ran, (std::vector<std::string>{"a1", "a2"}));

    clock_->advance(0.4);
    EXPECT_EQ(drainMainQueue(), 4U);
    EXPECT_EQ(ran, (std::vector<std::string>{"a1", "a2", "b", "c", "c2", "e"}));

    clock_->advance(1.49);
    EXPECT_EQ(drainMainQueue(), 0U);
    clock_->advance(0.01);
    EXPECT_EQ(drainMainQueue(), 1U);
    EXPECT_DOUBLE_EQ(clock_->now(), 1002.0);
}

TEST_F(DispatchManualClock, DelayedWorkSeesItsOwnDeadlineAndCanScheduleMore) {
    // Work scheduled while advancing, due within the same advance, still fires in it.
    auto queue = Queue::makeSerial("velomar.test.chain");
    std::vector<double> times;
    std::function<void()> step = [&] {
        times.push_back(clock().now());
        if (times.size() < 4) queue->asyncAfter(0.25, step);
    };
    queue->asyncAfter(0.25, step);
    // Items run on the queue's thread; the scheduling inside them races with advance,
    // so advance in steps and wait for each hop.
    for (std::size_t hop = 1; hop <= 4; ++hop) {
        clock_->advance(0.25);
        std::size_t size = 0;
        ASSERT_TRUE(eventually([&] {
            queue->sync([&] { size = times.size(); });
            return size == hop;
        }));
    }
    queue->sync([] {});
    EXPECT_EQ(times, (std::vector<double>{1000.25, 1000.5, 1000.75, 1001.0}));
}

TEST_F(DispatchManualClock, TimerTickCounts) {
    struct Case {
        double first;
        double interval;
        double advance;
        int ticks;
    };
    const Case cases[] = {
        {0.1, 0.1, 1.0, 10},   // the levels cadence: ten per second
        {0.5, 0.25, 1.0, 3},   // 0.5, 0.75, 1.0
        {0.0, 0.5, 1.0, 3},    // due at once, then 0.5 and 1.0
        {1.5, 0.1, 1.0, 0},    // first deadline not reached
        {0.2, 0.0, 5.0, 1},    // no interval: once
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "first " << c.first << " interval " << c.interval);
        int ticks = 0;
        auto timer = TimerSource::make(Queue::main(), c.first, c.interval, [&] { ++ticks; });
        timer->resume();
        clock_->advance(c.advance);
        drainMainQueue();
        EXPECT_EQ(ticks, c.ticks);
        timer->cancel();
    }
}

TEST_F(DispatchManualClock, TimerIsIdleUntilResumedAndSilentAfterCancel) {
    int ticks = 0;
    auto timer = TimerSource::make(Queue::main(), 0.1, 0.1, [&] { ++ticks; });
    clock_->advance(0.35);
    EXPECT_EQ(drainMainQueue(), 0U) << "not resumed yet";

    timer->resume();  // the missed deadlines come due at once (virtual time is exact)
    EXPECT_EQ(drainMainQueue(), 3U);
    clock_->advance(0.1);
    EXPECT_EQ(drainMainQueue(), 1U);
    EXPECT_EQ(ticks, 4);

    clock_->advance(0.3);  // three ticks queued, not yet run
    timer->cancel();
    drainMainQueue();
    EXPECT_EQ(ticks, 4) << "queued ticks must see the cancel";
    clock_->advance(1.0);
    EXPECT_EQ(drainMainQueue(), 0U);

    // Dropping the last handle stops a timer as well.
    int dropped = 0;
    TimerSource::make(Queue::main(), 0.1, 0.1, [&] { ++dropped; })->resume();
    clock_->advance(1.0);
    drainMainQueue();
    EXPECT_EQ(dropped, 0);
}

TEST_F(DispatchManualClock, TimerOnSerialQueueTicksInOrderWithDelayedWork) {
    auto queue = Queue::makeSerial("velomar.test.timer");
    std::vector<std::string> log;  // touched only on the queue
    auto timer = TimerSource::make(*queue, 0.1, 0.1, [&] { log.push_back("tick"); });
    timer->resume();
    queue->asyncAfter(0.15, [&] { log.push_back("after"); });
    clock_->advance(0.3);
    queue->sync([] {});
    timer->cancel();
    EXPECT_EQ(log, (std::vector<std::string>{"tick", "after", "tick", "tick"}));
}

TEST_F(DispatchManualClock, SleepUntilWaitsForAdvance) {
    std::atomic<bool> woke{false};
    const double deadline = clock_->now() + 0.5;
    std::thread sleeper([&] {
        clock().sleepUntil(deadline);
        woke = true;
    });
    ASSERT_TRUE(eventually([&] { return clock_->sleepers() == 1; }));
    clock_->advance(0.4);
    EXPECT_FALSE(woke.load());
    EXPECT_EQ(clock_->sleepers(), 1);
    clock_->advance(0.1);
    sleeper.join();
    EXPECT_TRUE(woke.load());
    EXPECT_EQ(clock_->sleepers(), 0);

    clock_->sleepUntil(clock_->now());  // a deadline already reached does not block
}

TEST_F(DispatchManualClock, ReplacingTheClockReleasesSleepers) {
    std::thread sleeper([&] { clock().sleepUntil(clock_->now() + 100.0); });
    ASSERT_TRUE(eventually([&] { return clock_->sleepers() == 1; }));
    setClock(nullptr);
    sleeper.join();
}

// ------------------------------------------------------------------ real clock

TEST(DispatchRealClock, DelayedWorkAndTimersRunOnTime) {
    setClock(nullptr);
    Clock& real = clock();
    const double before = real.now();
    real.sleepUntil(before + 0.01);
    EXPECT_GE(real.now(), before + 0.01);

    auto queue = Queue::makeSerial("velomar.test.real");
    std::promise<double> firedAt;
    queue->asyncAfter(0.05, [&] { firedAt.set_value(clock().now()); });
    auto fired = firedAt.get_future();
    ASSERT_EQ(fired.wait_for(kEventually), std::future_status::ready);
    EXPECT_GE(fired.get(), before + 0.05) << "never early";

    std::atomic<int> ticks{0};
    auto timer = TimerSource::make(*queue, 0.01, 0.01, [&] { ticks.fetch_add(1); });
    timer->resume();
    EXPECT_TRUE(eventually([&] { return ticks.load() >= 3; }));
    timer->cancel();
    queue->sync([] {});
    const int atCancel = ticks.load();
    std::this_thread::sleep_for(50ms);
    queue->sync([] {});
    EXPECT_EQ(ticks.load(), atCancel);
}

TEST(DispatchRealClock, TimerCancelledFromItsOwnHandlerStopsAtOnce) {
    setClock(nullptr);
    // With a 1 ms interval more ticks are usually queued behind the cancelling one; they
    // must all do nothing.
    auto queue = Queue::makeSerial("velomar.test.self-cancel");
    std::shared_ptr<TimerSource> timer;
    int ticks = 0;  // queue only
    std::promise<void> cancelled;
    queue->sync([&] {
        timer = TimerSource::make(*queue, 0.001, 0.001, [&] {
            if (++ticks == 5) {
                timer->cancel();
                timer.reset();  // the handler drops the last handle of its own timer
                cancelled.set_value();
            }
        });
        timer->resume();
    });
    ASSERT_EQ(cancelled.get_future().wait_for(kEventually), std::future_status::ready);
    std::this_thread::sleep_for(20ms);
    int total = 0;
    queue->sync([&] { total = ticks; });
    EXPECT_EQ(total, 5);
}

TEST(DispatchRealClock, DelayedWorkKeepsItsQueueAliveUntilItRuns) {
    setClock(nullptr);
    constexpr int kQueues = 32;
    auto ran = std::make_shared<std::atomic<int>>(0);
    std::vector<std::weak_ptr<Queue>> weak;
    for (int i = 0; i < kQueues; ++i) {
        auto queue = Queue::makeSerial("velomar.test.churn");
        weak.push_back(queue);
        queue->asyncAfter(0.001 * (i % 4), [ran] { ran->fetch_add(1); });
        queue->async([ran] { ran->fetch_add(1); });
    }
    EXPECT_TRUE(eventually([&] { return ran->load() == 2 * kQueues; }));
    EXPECT_TRUE(eventually([&] {
        for (const auto& w : weak) {
            if (!w.expired()) return false;
        }
        return true;
    }));
}

// ------------------------------------------------------------------ other clocks

// A clock of the caller's own, neither real nor a ManualClock: time moves only when
// the test sets it, so a deadline met early or never shows.
class SetClock final : public Clock {
public:
    double now() const override { return now_.load(); }
    void sleepUntil(double deadline) override {
        while (now_.load() < deadline) std::this_thread::sleep_for(1ms);
    }
    void set(double seconds) { now_.store(seconds); }

private:
    std::atomic<double> now_{500.0};
};

TEST(DispatchOtherClock, DelayedWorkAndTimersFollowItsTime) {
    auto own = std::make_shared<SetClock>();
    setClock(own);
    std::atomic<bool> delayed{false};
    std::atomic<int> ticks{0};
    Queue::main().asyncAfter(5.0, [&] { delayed = true; });
    auto timer = TimerSource::make(Queue::main(), 1.0, 1.0, [&] { ticks.fetch_add(1); });
    timer->resume();

    std::this_thread::sleep_for(50ms);
    drainMainQueue();
    EXPECT_FALSE(delayed.load());
    EXPECT_EQ(ticks.load(), 0);

    own->set(501.5);
    EXPECT_TRUE(drainUntil([&] { return ticks.load() == 1; }));
    std::this_thread::sleep_for(50ms);
    drainMainQueue();
    EXPECT_FALSE(delayed.load()) << "due at 505";
    EXPECT_EQ(ticks.load(), 1);

    own->set(505.0);
    EXPECT_TRUE(drainUntil([&] { return delayed.load(); }));
    timer->cancel();
    setClock(nullptr);
    drainMainQueue();
}

// ------------------------------------------------------------------ signals

class DispatchSignalSource : public ::testing::Test {
protected:
    void SetUp() override {
        drainMainQueue();
        for (int sig : {SIGINT, SIGTERM}) {
            ASSERT_EQ(sigaction(sig, nullptr, &saved_[sig == SIGINT ? 0 : 1]), 0);
            signal(sig, SIG_IGN);
        }
    }
    void TearDown() override {
        drainMainQueue();
        sigaction(SIGINT, &saved_[0], nullptr);
        sigaction(SIGTERM, &saved_[1], nullptr);
    }
    static bool ignored(int sig) {
        struct sigaction current {};
        sigaction(sig, nullptr, &current);
        return current.sa_handler == SIG_IGN;
    }
    struct sigaction saved_[2] {};
};

TEST_F(DispatchSignalSource, DeliversEachArrivalOnTheMainQueue) {
    std::vector<std::string> got;  // main queue only
    auto onInt = SignalSource::make(SIGINT, Queue::main(), [&] {
        EXPECT_TRUE(Queue::main().isCurrent());
        got.push_back("int");
    });
    auto onTerm = SignalSource::make(SIGTERM, Queue::main(), [&] { got.push_back("term"); });
    onInt->resume();
    onTerm->resume();
    EXPECT_FALSE(ignored(SIGINT));

    for (int i = 0; i < 3; ++i) ASSERT_EQ(raise(SIGINT), 0);
    ASSERT_TRUE(drainUntil([&] { return got.size() >= 3; }));
    EXPECT_EQ(got, (std::vector<std::string>{"int", "int", "int"}));

    ASSERT_EQ(kill(getpid(), SIGTERM), 0);
    ASSERT_TRUE(drainUntil([&] { return got.size() >= 4; }));
    EXPECT_EQ(got.back(), "term");

    // After cancel the caller's disposition is back and nothing more arrives.
    onInt->cancel();
    EXPECT_TRUE(ignored(SIGINT));
    ASSERT_EQ(raise(SIGINT), 0);
    ASSERT_EQ(raise(SIGTERM), 0);
    ASSERT_TRUE(drainUntil([&] { return got.size() >= 5; }));
    std::this_thread::sleep_for(20ms);
    drainMainQueue();
    EXPECT_EQ(got, (std::vector<std::string>{"int", "int", "int", "term", "term"}));
    onTerm->cancel();
    EXPECT_TRUE(ignored(SIGTERM));
}

TEST_F(DispatchSignalSource, ArrivalQueuedBeforeCancelIsDropped) {
    int got = 0;
    auto source = SignalSource::make(SIGINT, Queue::main(), [&] { ++got; });
    source->resume();
    // Sources of one signal are served in the order they were resumed, so once the
    // observer has run, the main-queue delivery is already queued.
    auto observerQueue = Queue::makeSerial("velomar.test.observer");
    std::promise<void> observed;
    auto observer = SignalSource::make(SIGINT, *observerQueue, [&] { observed.set_value(); });
    observer->resume();

    ASSERT_EQ(raise(SIGINT), 0);
    ASSERT_EQ(observed.get_future().wait_for(kEventually), std::future_status::ready);
    source->cancel();
    EXPECT_EQ(drainMainQueue(), 1U);
    EXPECT_EQ(got, 0);
    observer->cancel();
}

// The program's own shape: the main thread is handed to the main queue, a global item
// blocks for ever (like the standard-input reader), and a signal's handler ends the process.
TEST(DispatchMainDeathTest, ServesTheMainQueueUntilAHandlerExits) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            alarm(60);  // a child that never gets there is killed instead of hanging
            signal(SIGTERM, SIG_IGN);
            auto source = SignalSource::make(SIGTERM, Queue::main(), [] { std::exit(3); });
            source->resume();
            Queue::global().async([] {
                for (;;) std::this_thread::sleep_for(1h);
            });
            Queue::main().async([] {
                Queue::global().async([] { kill(getpid(), SIGTERM); });
            });
            dispatchMain();
        },
        testing::ExitedWithCode(3), "");
}

TEST(DispatchSignalSourceArgs, RejectsSignalsThatCannotBeCaught) {
    for (int sig : {0, -1, SIGKILL, SIGSTOP, NSIG}) {
        EXPECT_THROW(SignalSource::make(sig, Queue::main(), [] {}), std::invalid_argument) << sig;
    }
}

}  // namespace
}  // namespace velomar::dispatch
