#include "platform/stream_orderer.h"

#include <algorithm>
#include <utility>

namespace velomar::platform {

void StreamOrderer::Lane::noteData() {
    if (orderer_) lastDataService_ = orderer_->serviceClock_;
}

void StreamOrderer::Lane::post(CapturedChunk&& chunk) {
    dataEnd_ = chunk.hostSeconds + (chunk.rate > 0 ? static_cast<double>(chunk.frames) / chunk.rate : 0.0);
    outbox_.push_back(std::move(chunk));
}

CapturedChunk StreamOrderer::Lane::popFront() {
    CapturedChunk chunk = std::move(outbox_[outboxHead_++]);
    if (outboxHead_ == outbox_.size()) {
        outbox_.clear();
        outboxHead_ = 0;
    } else if (outboxHead_ * 2 > outbox_.size()) {
        // A standing backlog: what is left moves to the front, within the same memory.
        outbox_.erase(outbox_.begin(), outbox_.begin() + static_cast<std::ptrdiff_t>(outboxHead_));
        outboxHead_ = 0;
    }
    return chunk;
}

void StreamOrderer::Lane::flush() {
    while (!empty()) {
        CapturedChunk chunk = popFront();
        if (onChunk_) onChunk_(std::move(chunk));
    }
}

bool StreamOrderer::Lane::behind(double t) const {
    // Silent (a source that delivers nothing) or gone: not waited for.
    if (orderer_->serviceClock_ - lastDataService_ > kSilentSeconds) return false;
    if (!live_) return false;
    // Its first data still waits for an anchor (bounded by the hold), or it lags.
    return holding_ || dataEnd_ < t - kLeadSeconds;
}

void StreamOrderer::attach(Lane& lane) {
    lane.orderer_ = this;
    lane.lastDataService_ = serviceClock_;
    lanes_.push_back(&lane);
}

void StreamOrderer::detach(Lane& lane) {
    lanes_.erase(std::remove(lanes_.begin(), lanes_.end(), &lane), lanes_.end());
    lane.orderer_ = nullptr;
}

void StreamOrderer::deliver(double now) {
    if (lastServiced_ >= 0) serviceClock_ += std::clamp(now - lastServiced_, 0.0, kServiceStep);
    lastServiced_ = now;
    for (;;) {
        Lane* first = nullptr;
        for (Lane* lane : lanes_) {
            if (!lane->empty() && (!first || lane->front().hostSeconds < first->front().hostSeconds)) {
                first = lane;
            }
        }
        if (!first) return;
        const double t = first->front().hostSeconds;
        if (std::any_of(lanes_.begin(), lanes_.end(),
                        [&](const Lane* lane) { return lane != first && lane->behind(t); })) {
            return;
        }
        CapturedChunk chunk = first->popFront();
        if (first->onChunk_) first->onChunk_(std::move(chunk));
    }
}

}  // namespace velomar::platform
