#include "platform/host_timeline.h"

#include <algorithm>
#include <array>
#include <utility>

namespace velomar::platform {

void HostTimeline::addReading(double frame, double seconds) {
    const bool early = frame < kSettleSeconds * rate_;
    if (pipeWire_ && !settled_ && !early && settledReadings_++ == 0) {
        // The first moments are over: what they said is forgotten, the anchor forms anew.
        readings_.clear();
        arrivals_.clear();
        anchor_.reset();
    }
    lastReading_ = seconds - frame / rate_ - bias_;
    readings_.push(*lastReading_);
    // Sorted on the stack: a reading comes with every fragment, and the window is small.
    std::array<double, kWindow> sorted{};
    std::copy(readings_.begin(), readings_.end(), sorted.begin());
    std::sort(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(readings_.size()));
    const double candidate = sorted[readings_.size() / 5];
    const auto bound = arrivalBound();
    if (!anchor_ || !settled_) {
        // Forming: each reading re-takes the anchor, until the chunks go out with it.
        anchor_ = bound ? std::min(candidate, *bound) : candidate;
        settled_ = !pipeWire_ || settledReadings_ >= kSettleReadings;
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
    if (takeStep(*lastReading_, bound)) return;
    const double target = bound ? std::min(candidate, *bound) : candidate;
    anchor_ = *anchor_ + std::clamp((target - *anchor_) * 0.1, -kMaxStepSeconds, kMaxStepSeconds);
}

bool HostTimeline::takeStep(double reading, std::optional<double> bound) {
    if (!pipeWire_ || reading - *anchor_ <= kStepSeconds) {
        stepReadings_ = 0;
        stepArrivals_.reset();
        stepArrivalCount_ = 0;
        return false;
    }
    stepLow_ = stepReadings_++ == 0 ? reading : std::min(stepLow_, reading);
    if (stepReadings_ < kStepReadings || stepArrivalCount_ < kStepArrivals) return false;
    // Late readings alone are jitter; the arrivals must have left their floor too (by the
    // floor, not the anchor: on some servers data always arrives a while after capture).
    const double floorStep = stepArrivals_ && bound ? *stepArrivals_ - *bound : 0;
    const double step = std::min(stepLow_ - *anchor_, floorStep);
    stepReadings_ = 0;
    stepArrivals_.reset();
    stepArrivalCount_ = 0;
    if (step <= kStepSeconds || step > kJumpSeconds) return false;
    const auto frames = static_cast<std::int64_t>(std::llround(step * rate_));
    const double counted = static_cast<double>(frames) / rate_;
    missingFrames_ += frames;
    bias_ += counted;
    const auto adjusted = std::min(readings_.size(), static_cast<std::size_t>(kStepReadings));
    for (std::size_t i = 0; i < adjusted; ++i) readings_.newest(i) -= counted;
    if (lastReading_) *lastReading_ -= counted;
    return true;
}

void HostTimeline::addArrival(double endFrame, double seconds) {
    const double arrival = seconds - endFrame / rate_;
    if (stepReadings_ > 0) {
        stepArrivals_ = stepArrivals_ ? std::min(*stepArrivals_, arrival) : arrival;
        stepArrivalCount_ += 1;
    }
    arrivals_.push(arrival);
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

bool HostTimeline::stepSuspected() const {
    // Readings late by a period are common (PulseAudio's come between two device periods);
    // only arrivals that stay off their floor as well make the data wait.
    const auto bound = arrivalBound();
    return stepReadings_ > 0 && stepArrivals_ && bound && *stepArrivals_ - *bound > kStepSeconds;
}

bool HostTimeline::giveUpWaiting(double heldSeconds) {
    const auto bound = arrivalBound();
    if (settled_ || heldSeconds < kMaxHoldSeconds || !(anchor_ || bound)) return false;
    if (!anchor_) anchor_ = *bound;
    settled_ = true;
    return true;
}

}  // namespace velomar::platform
