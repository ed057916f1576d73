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

void StreamOrderer::Lane::flush() {
    while (!outbox_.empty()) {
        CapturedChunk chunk = std::move(outbox_.front());
        outbox_.pop_front();
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
            if (!lane->outbox_.empty() &&
                (!first || lane->outbox_.front().hostSeconds < first->outbox_.front().hostSeconds)) {
                first = lane;
            }
        }
        if (!first) return;
        const double t = first->outbox_.front().hostSeconds;
        if (std::any_of(lanes_.begin(), lanes_.end(),
                        [&](const Lane* lane) { return lane != first && lane->behind(t); })) {
            return;
        }
        CapturedChunk chunk = std::move(first->outbox_.front());
        first->outbox_.pop_front();
        if (first->onChunk_) first->onChunk_(std::move(chunk));
    }
}

}  // namespace velomar::platform
