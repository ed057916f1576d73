#pragma once
// Follows one source's clock against the host clock: a delay-locked loop that turns the
// host times its blocks carry into a steering ratio for the source's converter, so that
// the source's cursor stays on its host position instead of drifting until a resync.
//
// Observations are the residual of the source's host position against its cursor, in
// timeline samples. An alpha-beta tracker estimates the residual's offset and the
// source's rate, modelling the steering it applied itself; the tracker's window grows
// from the (re)start up to kWindowSeconds, so it locks fast and then averages stamp
// jitter away. The ratio removes the rate error and pulls the offset back over
// kPullSeconds (bending the ratio by no more than kMaxPull), and moves towards its target smoothly, so neither stamp jitter nor the
// loop's corrections modulate the pitch.
//
// Until a source shows an offset of kEngageSamples it is left exactly as it is: a source
// on the host's clock with exact stamps keeps ratio 1 and its unsteered conversion.

#include <cstdint>

namespace velomar {

class ClockFollower {
public:
    static constexpr double kRate = 16000;            // timeline samples per host second
    static constexpr double kWindowSeconds = 20;      // tracker's longest memory
    static constexpr double kPullSeconds = 10;        // residual offset removed over this time
    static constexpr double kSmoothSeconds = 1;       // ratio follows its target this slowly
    static constexpr double kEngageSamples = 16;      // 1 ms of estimated offset starts steering
    static constexpr double kEngageSeconds = 1;       // not before the tracker has seen this much
    static constexpr double kMaxPull = 60e-6;         // the pull bends the ratio by at most this
    // Right after engaging, the offset left by the first block's stamp (up to a jitter's
    // worth) and by the drift before engaging is pulled in faster.
    static constexpr double kAcquireSeconds = 15;
    static constexpr double kAcquirePullSeconds = 3;
    static constexpr double kAcquireMaxPull = 500e-6;
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
    double rate() const { return rate_; }

private:
    std::int64_t count_ = 0;
    double firstT_ = 0;
    double engagedT_ = 0;
    double lastT_ = 0;
    double meanStep_ = 0;   // mean host seconds between observations
    double offset_ = 0;
    double rate_ = 1;
    double ratio_ = 1;
    bool engaged_ = false;
};

}  // namespace velomar
