#pragma once
// Reused buffers for captured chunks on their way from a capture stream to its consumers:
// after warm-up a chunk costs no heap allocation, however long the recording runs.

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/stream_orderer.h"

namespace velomar::platform {

class ChunkPool {
public:
    // One chunk on its way to its consumers; each of them releases it once when done.
    struct Parcel {
        CapturedChunk chunk;
        // Whatever the consumers need kept alive while the parcel travels (their targets).
        std::vector<std::shared_ptr<void>> targets;
        std::shared_ptr<void> owner;  // keeps the pool (and its owner) alive while away
        std::atomic<int> holders{0};

        template <typename T>
        T& target(std::size_t i) const {
            return *static_cast<T*>(targets[i].get());
        }
    };

    // Buffers and parcels kept for reuse; more in flight at once are freed when they return.
    static constexpr std::size_t kKeep = 64;
    // Targets one parcel holds without allocating.
    static constexpr std::size_t kTargets = 4;

    ChunkPool();
    ~ChunkPool();
    ChunkPool(const ChunkPool&) = delete;
    ChunkPool& operator=(const ChunkPool&) = delete;

    // An empty buffer that holds at least `capacity` samples.
    std::vector<float> samples(std::size_t capacity);
    void recycle(std::vector<float>&& samples);

    // Wraps `chunk` for `holders` consumers; `owner` stays alive until the last releases it.
    Parcel* wrap(CapturedChunk&& chunk, int holders, std::shared_ptr<void> owner);
    // One consumer is done; the last one returns the parcel and its buffer to the pool.
    void release(Parcel* parcel);

private:
    std::mutex mutex_;
    std::vector<std::vector<float>> samples_;
    std::vector<Parcel*> parcels_;
};

}  // namespace velomar::platform
