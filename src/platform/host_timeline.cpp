#include "platform/host_timeline.h"

#include <algorithm>
#include <array>
#include <utility>

namespace velomar::platform {

void HostTimeline::addReading(double frame, double seconds) {
    lastReading_ = seconds - frame / rate_ - bias_;
    readings_.push(*lastReading_);
    // Sorted on the stack: a reading comes with every fragment, and the window is small.
    std::array<double, kWindow> sorted{};
    std::copy(readings_.begin(), readings_.end(), sorted.begin());
    std::sort(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(readings_.size()));
    const double candidate = sorted[readings_.size() / 5];
    const auto bound = arrivalBound();
    if (!anchor_) {
        anchor_ = bound ? std::min(candidate, *bound) : candidate;
        return;
    }
    if (std::fabs(candidate - *anchor_) > kJumpSeconds) {
        // Frames went missing (or the clock jumped): start afresh from here. Arrivals
        // from before could not know about the lost frames; the next one checks the jump.
        anchor_ = candidate;
        arrivals_.clear();
        jumped_ = true;
        return;
    }
    const double target = bound ? std::min(candidate, *bound) : candidate;
    anchor_ = *anchor_ + std::clamp((target - *anchor_) * 0.1, -kMaxStepSeconds, kMaxStepSeconds);
}

void HostTimeline::addArrival(double endFrame, double seconds) {
    arrivals_.push(seconds - endFrame / rate_);
    const auto bound = arrivalBound();
    const bool jumped = std::exchange(jumped_, false);
    if (!anchor_ || !bound || *anchor_ <= *bound) return;
    const double excess = *anchor_ - *bound;
    anchor_ = *bound;
    if (jumped && excess > kJumpSeconds) {
        // The readings jumped to put frames long after they reached us: the server's
        // index no longer counts all the frames it sent (PipeWire, after the server was
        // stopped and continued). They are re-based onto the arrivals; otherwise each
        // reading would jump the anchor and the next arrival pull it back, chunk after
        // chunk.
        bias_ += excess;
        for (double& r : readings_) r -= excess;
        if (lastReading_) *lastReading_ -= excess;
    }
}

std::optional<double> HostTimeline::arrivalBound() const {
    if (arrivals_.empty()) return std::nullopt;
    return *std::min_element(arrivals_.begin(), arrivals_.end());
}

bool HostTimeline::giveUpWaiting(double heldSeconds) {
    const auto bound = arrivalBound();
    if (anchor_ || heldSeconds < kMaxHoldSeconds || !bound) return false;
    anchor_ = *bound;
    return true;
}

}  // namespace velomar::platform
