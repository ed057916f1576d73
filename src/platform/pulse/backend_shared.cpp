#include "platform/pulse/backend_shared.h"

#include <utility>

#include "platform/pcm.h"

namespace velomar::pulse {

// Process-wide queues: never destroyed, so no work item can outlive its queue.
dispatch::Queue& controlQueue() {
    static auto* queue = new std::shared_ptr<dispatch::Queue>(dispatch::Queue::makeSerial("velomar.pulse.control"));
    return **queue;
}

dispatch::Queue& inputQueue() {
    static auto* queue = new std::shared_ptr<dispatch::Queue>(dispatch::Queue::makeSerial("velomar.pulse.input"));
    return **queue;
}

StopMoment& stopMoment() {
    static auto* moment = new StopMoment;
    return *moment;
}

double StopMoment::begin() {
    const double now = pcm::secondsForHostTime(pcm::hostTimeNow());
    std::lock_guard g(mutex_);
    if (endedAt_ < 0 || now - endedAt_ > kFollowSeconds) moment_ = now;
    endedAt_ = -1;
    return moment_;
}

void StopMoment::end() {
    const double now = pcm::secondsForHostTime(pcm::hostTimeNow());
    std::lock_guard g(mutex_);
    endedAt_ = now;
}

void Retry::schedule(double seconds, std::function<void()> fn) {
    if (pending_->exchange(true)) return;
    controlQueue().asyncAfter(seconds, [pending = pending_, fn = std::move(fn)] {
        *pending = false;
        fn();
    });
}

}  // namespace velomar::pulse
