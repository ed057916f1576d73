// Work queues: serial queues with a worker thread each, the main queue served by
// dispatchMain() (or drainMainQueue() in tests), and the global concurrent queue.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <future>
#include <thread>
#include <utility>

#include "platform/dispatch.h"
#include "platform/dispatch_internal.h"

namespace velomar::dispatch {

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

    bool isCurrent() const override { return tlsCurrentQueue == core_.get(); }

private:
    detail::QueueRef retainForLater() override {
        // A queue that is being destroyed takes no new deferred work.
        detail::QueueRef ref{this, weak_from_this().lock()};
        if (!ref.keep) ref.queue = nullptr;
        return ref;
    }

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

// The main and global queues: a named item list that the calling thread identifies
// itself with while it runs one of the items.
class ProcessQueue : public Queue {
public:
    explicit ProcessQueue(std::string label) : label_(std::move(label)) {}
    const std::string& label() const override { return label_; }
    bool isCurrent() const override { return tlsCurrentQueue == this; }

    void async(Work work) final {
        std::lock_guard lock(mutex_);
        items_.push_back(std::move(work));
        queued();
    }

protected:
    // Called with mutex_ held after an item was added: gets it served.
    virtual void queued() = 0;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Work> items_;

private:
    const std::string label_;
};

class MainQueue final : public ProcessQueue {
public:
    MainQueue() : ProcessQueue("main") {}

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
    void queued() override { wake_.notify_one(); }
};

// Concurrent queue whose items may block for ever (a reader waiting on standard input,
// a retry loop sleeping): a new thread is started whenever no idle one can take an
// item, and threads left idle for a while exit.
class GlobalQueue final : public ProcessQueue {
public:
    GlobalQueue() : ProcessQueue("global") {}

private:
    void queued() override {
        if (items_.size() > idle_) {
            std::thread([this] { serve(); }).detach();
        } else {
            wake_.notify_one();
        }
    }

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

    std::size_t idle_ = 0;
};

MainQueue& mainQueue() {
    static auto* queue = new MainQueue;
    return *queue;
}

}  // namespace

void Queue::sync(Work work) {
    // Waiting on our own queue would never end; run in place instead.
    if (isCurrent()) {
        work();
        return;
    }
    std::promise<void> done;
    std::future<void> result = done.get_future();
    async([&work, &done] {
        try {
            work();
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });
    result.get();
}

void Queue::asyncAfter(double delaySeconds, Work work) {
    if (!(delaySeconds > 0)) {
        async(std::move(work));
        return;
    }
    detail::Timeline& timeline = detail::currentTimeline();
    const detail::Nanos deadline =
        detail::addNanos(timeline.now(), detail::toNanos(delaySeconds));
    timeline.schedule(deadline, [target = detail::retain(*this),
                                 work = std::move(work)](detail::Nanos) mutable {
        if (target.queue) target.queue->async(std::move(work));
    });
}

detail::QueueRef Queue::retainForLater() { return detail::QueueRef{this, nullptr}; }

detail::QueueRef detail::retain(Queue& queue) { return queue.retainForLater(); }

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

}  // namespace velomar::dispatch
