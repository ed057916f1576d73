// Heap allocations per Queue::async item, by the size of what the work captures.
// Counts every operator new of the process while items are queued and run; prints
// allocations per item. Counts, not times: the figure does not depend on the load.
//
//   dispatch_alloc_bench [items]

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "platform/dispatch.h"

namespace {

std::atomic<std::size_t> gAllocations{0};

}  // namespace

void* operator new(std::size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using velomar::dispatch::Queue;

std::atomic<std::size_t> gRan{0};

void ran() { gRan.fetch_add(1, std::memory_order_relaxed); }

struct Payload {
    std::shared_ptr<int> owner;
    double values[2];
};

// Allocations per item for `count` items queued on `queue` with `make(i)` as the work,
// run to completion (the main queue is drained here; a serial queue is waited for).
template <typename Make>
double perItem(Queue& queue, std::size_t count, Make make, bool drainMain) {
    gRan.store(0);
    const std::size_t before = gAllocations.load();
    for (std::size_t i = 0; i < count; ++i) queue.async(make(i));
    if (drainMain) {
        velomar::dispatch::drainMainQueue();
    } else {
        queue.sync([] {});
    }
    const std::size_t after = gAllocations.load();
    if (gRan.load() != count) std::printf("  (only %zu of %zu ran)\n", gRan.load(), count);
    return static_cast<double>(after - before) / static_cast<double>(count);
}

template <typename Make>
void row(const char* what, std::size_t captureBytes, std::size_t count, Make make) {
    const auto serial = Queue::makeSerial("bench");
    serial->sync([] {});  // the worker thread exists before counting
    std::printf("%-32s %3zu B   main %.3f   serial %.3f\n", what, captureBytes,
                perItem(Queue::main(), count, make, true), perItem(*serial, count, make, false));
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
    std::printf("allocations per async item (%zu items; includes the item list's growth)\n", count);
    std::printf("%-32s %s\n", "work captures", "size    queue: allocations/item");
    const auto owner = std::make_shared<int>(0);

    row("nothing", 0, count, [](std::size_t) { return [] { ran(); }; });
    row("two indices", 2 * sizeof(std::size_t), count, [](std::size_t i) {
        return [i, j = i + 1] {
            if (j > i) ran();
        };
    });
    // The usual shape of an engine's work, [self] { ... }: libstdc++ keeps a callable
    // in place only when it is trivially copyable and fits two pointers.
    row("a shared_ptr", sizeof owner, count, [&owner](std::size_t) {
        return [owner] {
            if (owner) ran();
        };
    });
    row("a shared_ptr and two doubles", sizeof(Payload), count, [&owner](std::size_t i) {
        return [p = Payload{owner, {double(i), 0}}] {
            if (p.owner) ran();
        };
    });

    // A timer tick in virtual time: the deadline's entry and the queued tick.
    auto clock = std::make_shared<velomar::dispatch::ManualClock>();
    velomar::dispatch::setClock(clock);
    const auto timer = velomar::dispatch::TimerSource::make(Queue::main(), 0.01, 0.01, [] { ran(); });
    timer->resume();
    clock->advance(1.0);
    velomar::dispatch::drainMainQueue();
    gRan.store(0);
    const std::size_t before = gAllocations.load();
    clock->advance(static_cast<double>(count) / 100.0);
    velomar::dispatch::drainMainQueue();
    std::printf("%-32s         main %.3f  (%zu ticks)\n", "timer tick (per tick)",
                static_cast<double>(gAllocations.load() - before) / static_cast<double>(gRan.load()),
                gRan.load());
    timer->cancel();
    velomar::dispatch::setClock(nullptr);
    return 0;
}
