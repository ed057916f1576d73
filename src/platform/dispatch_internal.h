#pragma once
// Pieces shared by the dispatch translation units; not part of the platform interface.

#include <cstdint>
#include <memory>

#include "platform/dispatch.h"

namespace velomar::dispatch::detail {

// A target queue for deferred work. Serial queues are reference counted, so work
// pending for one keeps it alive, as a queue's own items do; the main and global
// queues live for the whole process.
// `queue` is null when the queue was already being destroyed.
struct QueueRef {
    Queue* queue = nullptr;
    std::shared_ptr<Queue> keep;
};

QueueRef retain(Queue& queue);

}  // namespace velomar::dispatch::detail
