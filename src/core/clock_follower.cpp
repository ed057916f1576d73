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
        offset_ = firstResidual_ = residual;
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

    if (!engaged_) {
        if (hostSeconds - firstT_ < kWarmupSeconds) return;
        if (earlier_.n == 0 && latest_.n == 0) fitT0_ = hostSeconds;
        const double x = hostSeconds - fitT0_;
        latest_.add(x, residual - firstResidual_);
        if (!driftProven()) {
            if (x >= 2 * checkpoint_ && x >= kEngageSeconds / 2) {
                earlier_.add(latest_);
                latest_ = Fit{};
                checkpoint_ = x;
            }
            return;
        }
        engaged_ = true;
        engagedT_ = lastT_;
    }
    const bool acquiring = lastT_ - engagedT_ < kAcquireSeconds;
    const double most = acquiring ? kAcquireMaxPull : kMaxPull;
    const double pull = std::clamp((offset_ - anchor_) / (kRate * (acquiring ? kAcquirePullSeconds : kPullSeconds)), -most, most);
    const double target = std::clamp((1 + pull) / rate_, 1 - kMaxDeviation, 1 + kMaxDeviation);
    ratio_ += (target - ratio_) * std::min(1.0, dt / kSmoothSeconds);
}

double ClockFollower::Fit::significantSlope(double sigmas) const {
    if (n < 3) return 0;
    const double sxxc = sxx - sx * sx / n;  // spread of the times
    if (sxxc <= 0) return 0;
    const double sxyc = sxy - sx * sy / n;
    const double slope = sxyc / sxxc;
    const double scatter = std::max(syy - sy * sy / n - slope * sxyc, 0.0) / (n - 2);
    return std::abs(slope) > sigmas * std::sqrt(scatter / sxxc) ? slope : 0;
}

double ClockFollower::Fit::at(double x) const {
    const double sxxc = sxx - sx * sx / n;
    const double slope = sxxc > 0 ? (sxy - sx * sy / n) / sxxc : 0;
    return (sy - slope * sx) / n + slope * x;
}

bool ClockFollower::driftProven() {
    if (lastT_ - fitT0_ < kEngageSeconds || lastT_ - fitT0_ - checkpoint_ < kEngageSeconds / 2) return false;
    Fit all = earlier_;
    all.add(latest_);
    const double slope = all.significantSlope(kEngageSigmas);
    if (slope == 0) return false;
    if (std::abs(slope) * (lastT_ - firstT_) <= kEngageDrift) return false;
    // The latest part must show the same growth on its own: a few ms of settling stamps
    // after a start bend the whole line, not the part after them.
    const double recent = latest_.significantSlope(kEngageSigmas - 1);
    if (recent == 0 || (recent > 0) != (slope > 0) || std::abs(recent) < std::abs(slope) / 2) return false;
    // Where the source's residual stood at its start: the offset its first block left.
    anchor_ = firstResidual_ + all.at(firstT_ - fitT0_);
    return true;
}

}  // namespace velomar
