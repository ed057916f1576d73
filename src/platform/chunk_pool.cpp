#include "platform/chunk_pool.h"

#include <utility>

namespace velomar::platform {

ChunkPool::ChunkPool() {
    samples_.reserve(kKeep);
    parcels_.reserve(kKeep);
}

ChunkPool::~ChunkPool() {
    for (Parcel* p : parcels_) delete p;
}

std::vector<float> ChunkPool::samples(std::size_t capacity) {
    std::vector<float> out;
    {
        std::lock_guard g(mutex_);
        if (!samples_.empty()) {
            out = std::move(samples_.back());
            samples_.pop_back();
        }
    }
    out.clear();
    out.reserve(capacity);
    return out;
}

void ChunkPool::recycle(std::vector<float>&& samples) {
    std::vector<float> dropped;  // freed outside the lock
    std::lock_guard g(mutex_);
    if (samples.capacity() == 0) return;
    if (samples_.size() < kKeep) {
        samples_.push_back(std::move(samples));
    } else {
        dropped = std::move(samples);
    }
}

ChunkPool::Parcel* ChunkPool::wrap(CapturedChunk&& chunk, int holders, std::shared_ptr<void> owner) {
    Parcel* p = nullptr;
    {
        std::lock_guard g(mutex_);
        if (!parcels_.empty()) {
            p = parcels_.back();
            parcels_.pop_back();
        }
    }
    if (!p) {
        p = new Parcel;
        p->targets.reserve(kTargets);
    }
    p->chunk = std::move(chunk);
    p->owner = std::move(owner);
    p->holders.store(holders, std::memory_order_relaxed);
    return p;
}

void ChunkPool::release(Parcel* parcel) {
    if (parcel->holders.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    // Let go last: the owner may hold the last reference to this pool.
    std::shared_ptr<void> owner = std::move(parcel->owner);
    parcel->targets.clear();
    recycle(std::move(parcel->chunk.samples));
    parcel->chunk.samples = std::vector<float>();
    bool kept = false;
    {
        std::lock_guard g(mutex_);
        if (parcels_.size() < kKeep) {
            parcels_.push_back(parcel);
            kept = true;
        }
    }
    if (!kept) delete parcel;
}

}  // namespace velomar::platform
