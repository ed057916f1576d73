#pragma once
// Follows one source's clock against the host clock: a delay-locked loop that turns the
// host times its blocks carry into a steering ratio for the source's converter, so that
// the source's cursor stays on its host position instead of drifting until a resync.
//
// Observations are the residual of the source's host position against its cursor, in
// timeline samples. An alpha-beta tracker estimates the residual's offset and the
// source's rate, modelling the steering it applied itself; the tracker's window grows
// from the (re)start up to kWindowSeconds, so it locks fast and then averages stamp
// jitter away. The ratio removes the rate error and pulls the offset back to its anchor
// over kPullSeconds (bending the ratio by no more than kMaxPull), and moves towards its
// target smoothly, so neither stamp jitter nor the loop's corrections modulate the pitch.
//
// A source is left exactly as it is (ratio 1, its unsteered conversion) until its stamps
// give clear evidence of a rate error: a straight line fitted to its residuals since the
// (re)start, after a warm-up, whose slope is far beyond what the stamps' scatter explains,
// which has moved the source by more than kEngageDrift, and which the latest part of the
// data alone confirms (the offset keeps growing). Stamps that settle by several ms and
// then hold are no drift: on PulseAudio a monitor's stamps move by 5 to 8 ms over some
// seconds when a playback starts, so kEngageDrift sits well above that. A constant offset
// (the first block's stamp off by a jitter's worth) is no drift either: placement keeps
// the source contiguous from wherever its first block landed, and once engaged the loop
// steers towards that same offset (the line's value at the start), not away from it.

#include <cstdint>

#include "platform/pcm.h"

namespace velomar {

class ClockFollower {
public:
    static constexpr double kRate = pcm::kCanonicalRate;            // timeline samples per host second
    static constexpr double kWindowSeconds = 20;      // tracker's longest memory
    static constexpr double kPullSeconds = 10;        // residual offset removed over this time
    static constexpr double kSmoothSeconds = 1;       // ratio follows its target this slowly
    static constexpr double kWarmupSeconds = 2;       // first stamps after a (re)start, not fitted
    static constexpr double kEngageSeconds = 10;      // the fit spans at least this much
    static constexpr double kEngageDrift = 160;       // drift that has moved the source 10 ms,
    static constexpr double kEngageSigmas = 4;        // its slope this many standard errors
    static constexpr double kMaxPull = 60e-6;         // the pull bends the ratio by at most this
    // Right after engaging, the offset left by the first block's stamp (up to a jitter's
    // worth) and by the drift before engaging is pulled in faster.
    static constexpr double kAcquireSeconds = 15;
    static constexpr double kAcquirePullSeconds = 3;
    static constexpr double kAcquireMaxPull = 1000e-6;
    static constexpr double kMaxDeviation = 2e-3;     // ratio stays within 1 +- this (2000 ppm)

    // One block placed contiguously at host seconds t, whose exact host position lay
    // residual samples after the source's cursor.
    void observe(double hostSeconds, double residual);
    // Back to the unlocked state: after a resync or a format change.
    void restart();

    // Output samples per nominal output sample for the source's converter.
    double ratio() const { return ratio_; }
    bool engaged() const { return engaged_; }
    // The tracker's view, for tests and figures: residual offset (samples) and the
    // source's rate against the host clock (1 + error).
    double offset() const { return offset_; }
    // The residual offset the loop steers towards once engaged.
    double anchor() const { return anchor_; }
    double rate() const { return rate_; }

private:
    // Whether the line fitted to the residuals shows a clear rate error.
    bool driftProven();

    std::int64_t count_ = 0;
    double firstT_ = 0;
    double engagedT_ = 0;
    double lastT_ = 0;
    double meanStep_ = 0;   // mean host seconds between observations
    double offset_ = 0;
    double rate_ = 1;
    double ratio_ = 1;
    double anchor_ = 0;
    bool engaged_ = false;
    // Least-squares sums of the residual (less the first one) over host seconds since the
    // end of the warm-up: all of them, and the latest part alone (from a checkpoint that
    // moves on each time the span doubles, so it covers between none and half of it).
    struct Fit {
        double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0, syy = 0;
        void add(double x, double y) { n += 1, sx += x, sy += y, sxx += x * x, sxy += x * y, syy += y * y; }
        void add(const Fit& f) { n += f.n, sx += f.sx, sy += f.sy, sxx += f.sxx, sxy += f.sxy, syy += f.syy; }
        // Slope (samples per host second) beyond sigmas standard errors, else 0.
        double significantSlope(double sigmas) const;
        // The line's value at x.
        double at(double x) const;
    };
    double fitT0_ = 0, firstResidual_ = 0, checkpoint_ = 0;
    Fit earlier_, latest_;
};

}  // namespace velomar
