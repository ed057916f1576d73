#include "platform/pulse/backend_shared.h"

#include <utility>

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

void Retry::schedule(double seconds, std::function<void()> fn) {
    if (pending_->exchange(true)) return;
    controlQueue().asyncAfter(seconds, [pending = pending_, fn = std::move(fn)] {
        *pending = false;
        fn();
    });
}

}  // namespace velomar::pulse
