#include "core/clock_follower.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

namespace velomar {
namespace {

// A source in 10 ms blocks whose clock runs (1 + ppm) fast against the host, its stamps
// jittered uniformly by +-jitter seconds, steered by the follower the way the mixer
// steers a converter: the cursor advances by the block's nominal length times the ratio.
struct Loop {
    double ppm = 0, jitter = 0;
    double changeAt = -1, ppmAfter = 0;  // a clock that changes mid-run
    double earlyOff = 0, earlyFor = 0;    // the first stamps off by this much, for so long
    std::mt19937 random{12};
    ClockFollower follower;
    double sourceTime = 0;  // host seconds of the next block's first frame
    double cursor = 0;      // timeline samples
    double startOffset = 0;  // where the first block's stamp put the source
    double maxOffset = 0, maxStep = 0, maxPitch = 0;
    bool started = false;
    double engagedAt = -1;

    // True offset of the cursor against the host position, in samples. Only drift is the
    // loop's to remove: the offset the first stamp left stays, as placement alone keeps it.
    double offset() const { return sourceTime * ClockFollower::kRate - cursor; }

    void run(double seconds, double settle) {
        std::uniform_real_distribution<double> jitterOf(-jitter, jitter);
        const double block = 0.01;
        while (sourceTime < seconds) {
            const double e = (changeAt >= 0 && sourceTime >= changeAt ? ppmAfter : ppm) * 1e-6;
            const double stamp = sourceTime + (jitter > 0 ? jitterOf(random) : 0.0) + (sourceTime < earlyFor ? earlyOff : 0.0);
            // The mixer places a source's first block at its own stamp, jitter included.
            if (!started) cursor = stamp * ClockFollower::kRate, startOffset = offset(), started = true;
            const double before = follower.ratio();
            follower.observe(1000 + stamp, stamp * ClockFollower::kRate - cursor);
            cursor += block * ClockFollower::kRate * follower.ratio();
            sourceTime += block / (1 + e);
            const bool settled = sourceTime > settle && !(changeAt >= 0 && sourceTime > changeAt && sourceTime < changeAt + settle);
            if (follower.engaged() && engagedAt < 0) engagedAt = sourceTime;
            if (!settled) continue;
            maxOffset = std::max(maxOffset, std::abs(offset() - startOffset));
            maxStep = std::max(maxStep, std::abs(follower.ratio() - before));
            // Right after engaging the loop pulls harder; the pitch counts from then on.
            if (engagedAt >= 0 && sourceTime < engagedAt + ClockFollower::kAcquireSeconds + 2) continue;
            // A tone's pitch error: the steered ratio against the one the clock needs.
            maxPitch = std::max(maxPitch, std::abs(follower.ratio() * (1 + e) - 1));
        }
    }
};

TEST(ClockFollower, LocksAndHoldsWithoutModulatingThePitch) {
    struct Case {
        const char* what;
        double ppm, jitter, changeAt, ppmAfter;
    };
    const Case cases[] = {
        {"0 ppm, jittered", 0, 0.005, -1, 0},
        {"+50 ppm", 50, 0, -1, 0},
        {"-50 ppm, jittered", -50, 0.005, -1, 0},
        {"+300 ppm, jittered", 300, 0.005, -1, 0},
        {"-300 ppm", -300, 0, -1, 0},
        {"+1000 ppm, jittered", 1000, 0.005, -1, 0},
        {"-1000 ppm, jittered", -1000, 0.005, -1, 0},
        {"+1000 ppm", 1000, 0, -1, 0},
        {"+100 then -100 ppm, jittered", 100, 0.005, 600, -100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Loop loop;
        loop.ppm = c.ppm;
        loop.jitter = c.jitter;
        loop.changeAt = c.changeAt;
        loop.ppmAfter = c.ppmAfter;
        // Steering waits until the drift has moved the source by 10 ms (12 s at the least),
        // then pulls that back within 30 s.
        loop.run(1800, 30 + (c.ppm != 0 ? 0.01 / (std::abs(c.ppm) * 1e-6) : 0.0));
        EXPECT_LT(loop.maxOffset, 32) << "2 ms after lock";
        EXPECT_LT(loop.maxPitch, 100e-6) << "0.1 Hz at 1 kHz";
        EXPECT_LT(loop.maxStep, 5e-6) << "no audible step from one block to the next (0.005 Hz at 1 kHz)";
    }
}

// A source on the host's clock is left exactly alone for an hour: exact stamps, stamps
// jittered by +-5 ms, first stamps 8 ms off (a constant offset from the first block on,
// or only for the first second), none of it a rate error.
TEST(ClockFollower, SourcesOnTheHostClockNeverSteer) {
    struct Case {
        const char* what;
        double jitter, earlyOff, earlyFor;
        std::uint32_t seed;
    };
    const Case cases[] = {
        {"exact", 0, 0, 0, 1},
        {"jittered", 0.005, 0, 0, 2},
        {"jittered, other draws", 0.005, 0, 0, 3},
        {"first stamp 8 ms early", 0, -0.008, 0.005, 4},
        {"first second's stamps 8 ms late, jittered", 0.005, 0.008, 1, 5},
        {"first second's stamps 8 ms early", 0, -0.008, 1, 6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Loop loop;
        loop.jitter = c.jitter;
        loop.earlyOff = c.earlyOff;
        loop.earlyFor = c.earlyFor;
        loop.random.seed(c.seed);
        loop.run(3600, 0);
        EXPECT_FALSE(loop.follower.engaged());
        EXPECT_EQ(loop.follower.ratio(), 1.0);
        EXPECT_LT(loop.maxOffset, 0.01) << "the source stays where its first block landed";
    }
}

TEST(ClockFollower, RestartForgetsTheLock) {
    Loop loop;
    loop.ppm = 300;
    loop.run(60, 0);
    ASSERT_TRUE(loop.follower.engaged());
    ASSERT_NE(loop.follower.ratio(), 1.0);
    loop.follower.restart();
    EXPECT_FALSE(loop.follower.engaged());
    EXPECT_EQ(loop.follower.ratio(), 1.0);
    EXPECT_EQ(loop.follower.rate(), 1.0);
}

}  // namespace
}  // namespace velomar
