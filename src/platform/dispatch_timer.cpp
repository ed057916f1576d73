// Repeating timers: each tick is a deadline on the process clock's timeline; when it
// fires, the handler is queued and the next deadline armed.

#include <algorithm>

#include "platform/dispatch.h"
#include "platform/dispatch_internal.h"

namespace velomar::dispatch {

using detail::Nanos;

namespace {

struct TimerState : std::enable_shared_from_this<TimerState> {
    TimerState(Queue& queue, Work handler) : core(queue, std::move(handler)) {}

    detail::Timeline* timeline = nullptr;
    Nanos first = 0;
    Nanos interval = 0;  // <= 0: fires once

    detail::SourceCore core;
    std::uint64_t nextTick = 0;  // guarded by core.mutex

    Nanos deadlineOf(std::uint64_t tick) const {
        if (interval <= 0) return first;
        const double span = static_cast<double>(interval) * static_cast<double>(tick);
        if (span >= static_cast<double>(detail::kNanosLimit)) return detail::kNanosLimit;
        return detail::addNanos(first, interval * static_cast<Nanos>(tick));
    }

    void armNext() {
        Nanos deadline = 0;
        {
            std::lock_guard lock(core.mutex);
            if (core.cancelled) return;
            deadline = deadlineOf(nextTick);
        }
        timeline->schedule(deadline, [self = shared_from_this()](Nanos at) { self->fire(at); });
    }

    void fire(Nanos at) {
        {
            std::lock_guard lock(core.mutex);
            if (core.cancelled || !core.target.queue) return;
            // Submitting under the lock: once cancel() has returned nothing more is queued.
            core.target.queue->async([self = shared_from_this()] { self->core.runHandler(); });
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
};

class TimerSourceImpl final : public TimerSource {
public:
    explicit TimerSourceImpl(std::shared_ptr<TimerState> state) : state_(std::move(state)) {}
    // Nobody could cancel a timer whose last handle is gone, so it stops with it.
    ~TimerSourceImpl() override { state_->core.cancel(); }
    void resume() override {
        if (state_->core.markResumed()) state_->armNext();
    }
    void cancel() override { state_->core.cancel(); }

private:
    std::shared_ptr<TimerState> state_;
};

}  // namespace

std::shared_ptr<TimerSource> TimerSource::make(Queue& queue, double firstDelaySeconds,
                                               double intervalSeconds, Work handler) {
    auto state = std::make_shared<TimerState>(queue, std::move(handler));
    state->timeline = &detail::currentTimeline();
    state->first = detail::addNanos(state->timeline->now(),
                                    std::max<Nanos>(detail::toNanos(firstDelaySeconds), 0));
    state->interval = detail::toNanos(intervalSeconds);
    return std::make_shared<TimerSourceImpl>(std::move(state));
}

}  // namespace velomar::dispatch
