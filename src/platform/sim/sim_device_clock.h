#pragma once
// A simulated device's sample clock against the host clock, in virtual time: the device
// runs (1 + ppm / 10^6) times its nominal rate, may change that mid-run, and the host
// times it reports for its blocks jitter uniformly by up to +-jitter seconds, as a loaded
// machine's timing reports do.

#include <cstdint>
#include <random>

namespace velomar::sim {

class DeviceClock {
public:
    DeviceClock(double nominalRate, double ppm, double jitterSeconds, double startSeconds, std::uint32_t seed)
        : rate_(nominalRate), ppm_(ppm), jitter_(jitterSeconds), next_(startSeconds), random_(seed) {}

    // From the next block on.
    void setPpm(double ppm) { ppm_ = ppm; }
    // Skips host time without frames: a gap in delivery.
    void skip(double seconds) { next_ += seconds; }

    // The host seconds of the next block's first frame as reported; the clock then moves
    // past the block's frames.
    double stamp(std::uint32_t frames) {
        const double reported = next_ + (jitter_ > 0 ? std::uniform_real_distribution<double>(-jitter_, jitter_)(random_) : 0.0);
        next_ += double(frames) / (rate_ * (1 + ppm_ * 1e-6));
        return reported;
    }
    // True host seconds of the next frame.
    double now() const { return next_; }

private:
    double rate_;
    double ppm_;
    double jitter_;
    double next_;
    std::mt19937 random_;
};

}  // namespace velomar::sim
