#include "core/clock_follower.h"

#include <algorithm>
#include <cmath>

namespace velomar {

void ClockFollower::restart() { *this = ClockFollower{}; }

void ClockFollower::observe(double hostSeconds, double residual) {
    if (!std::isfinite(hostSeconds) || !std::isfinite(residual)) return;
    if (count_ == 0) {
        count_ = 1;
        firstT_ = lastT_ = hostSeconds;
        offset_ = residual;
        return;
    }
    // Jittered stamps may even run backwards from one block to the next; the prediction
    // only needs the elapsed time roughly, the gains use the mean step.
    const double dt = std::max(hostSeconds - lastT_, 0.0);
    lastT_ = std::max(lastT_, hostSeconds);
    meanStep_ = count_ == 1 ? std::max(dt, 1e-4) : meanStep_ + (std::max(dt, 1e-4) - meanStep_) / 64;

    // Growing-window least-squares gains, capped at the window's length.
    const double cap = std::max(kWindowSeconds / meanStep_, 8.0);
    const double k = std::min(double(count_ + 1), cap);
    const double alpha = 2 * (2 * k - 1) / (k * (k + 1));
    const double beta = 6 / (k * (k + 1));
    count_ += 1;

    // Unsteered, the residual grows by kRate * (1 - rate * ratio) per host second.
    const double predicted = offset_ + kRate * (1 - rate_ * ratio_) * dt;
    const double innovation = residual - predicted;
    offset_ = predicted + alpha * innovation;
    rate_ -= beta * innovation / (kRate * ratio_ * meanStep_);
    rate_ = std::clamp(rate_, 1 - 2 * kMaxDeviation, 1 + 2 * kMaxDeviation);

    if (!engaged_ && lastT_ - firstT_ >= kEngageSeconds && std::abs(offset_) > kEngageSamples) {
        engaged_ = true;
        engagedT_ = lastT_;
    }
    if (!engaged_) return;
    const bool acquiring = lastT_ - engagedT_ < kAcquireSeconds;
    const double most = acquiring ? kAcquireMaxPull : kMaxPull;
    const double pull = std::clamp(offset_ / (kRate * (acquiring ? kAcquirePullSeconds : kPullSeconds)), -most, most);
    const double target = std::clamp((1 + pull) / rate_, 1 - kMaxDeviation, 1 + kMaxDeviation);
    ratio_ += (target - ratio_) * std::min(1.0, dt / kSmoothSeconds);
}

}  // namespace velomar
