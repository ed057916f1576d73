// The host timeline of a captured stream: readings, arrivals and what the anchor makes of them.
#include "platform/host_timeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace velomar {
namespace {

using platform::HostTimeline;

TEST(HostTimelineTest, TakesFreshReadingsRespectsArrivalsMovesSlowlyAndJumpsOnLostFrames) {
    const double truth = 100.0;  // host time of frame 0
    HostTimeline timeline(48000);
    EXPECT_FALSE(timeline.anchor());
    // Readings late by up to one 25 ms period (taken between two device periods).
    double frame = 0;
    for (int i = 0; i < 30; ++i) {
        frame += 1200;
        timeline.addArrival(frame, truth + frame / 48000.0 + 0.004);
        timeline.addReading(frame, truth + frame / 48000.0 + (i % 5) * 0.005);
    }
    ASSERT_TRUE(timeline.anchor());
    EXPECT_NEAR(*timeline.anchor(), truth, 0.0055);
    EXPECT_NEAR(timeline.timeOf(48000), truth + 1.0, 0.0055);

    // A systematic 20 ms shift is followed a little per reading, never in one step.
    const double before = *timeline.anchor();
    for (int i = 0; i < 5; ++i) {
        frame += 1200;
        timeline.addReading(frame, truth + 0.02 + frame / 48000.0);
    }
    EXPECT_LT(std::fabs(*timeline.anchor() - before), 0.0011);

    // Frames lost in an overrun: readings stay 200 ms later; the anchor jumps.
    for (int i = 0; i < 15; ++i) {
        frame += 1200;
        timeline.addReading(frame, truth + 0.2 + frame / 48000.0);
    }
    EXPECT_NEAR(*timeline.anchor(), truth + 0.2, 0.003);
}

TEST(HostTimelineTest, ReadingsNeverPutFramesAfterTheirArrivalAndNoReadingFallsBackToArrivals) {
    HostTimeline timeline(48000);
    timeline.addArrival(4800, 10.1);  // frame 0 at 10.0 at the latest
    timeline.addReading(4800, 10.5);  // claims frame 0 at 10.4
    ASSERT_TRUE(timeline.anchor());
    EXPECT_DOUBLE_EQ(*timeline.anchor(), 10.0);

    // Readings that stay 1.7 s late while the data keeps arriving on time, a little
    // late by a varying amount (a server whose index lost count): the anchor, as each
    // chunk is stamped after its reading and arrival, holds to the earliest arrival.
    HostTimeline lost(48000);
    double frame = 0;
    double worst = 0;
    for (int i = 0; i < 60; ++i) {
        frame += 1200;
        const double late = i < 20 ? 0.0 : 1.7;
        lost.addReading(frame, 50.0 + frame / 48000.0 + late);
        lost.addArrival(frame, 50.0 + frame / 48000.0 + 0.003 + (i % 4) * 0.006);
        if (i >= 40) worst = std::max(worst, std::fabs(*lost.anchor() - 50.0));
    }
    EXPECT_LT(worst, 0.004) << "the anchor followed readings the arrivals disprove";

    HostTimeline silent(48000);
    silent.addArrival(48000, 21.0);
    EXPECT_FALSE(silent.giveUpWaiting(HostTimeline::kMaxHoldSeconds / 2));
    EXPECT_FALSE(silent.anchor());
    EXPECT_TRUE(silent.giveUpWaiting(HostTimeline::kMaxHoldSeconds));
    EXPECT_DOUBLE_EQ(*silent.anchor(), 20.0);
}

// A stream of 25 ms fragments at 48 kHz whose frame 0 was captured at host time kTruth.
// Each row feeds one story of readings and arrivals; the anchor must end near `expect`.
constexpr double kTruth = 100.0;
constexpr double kRate = 48000;
constexpr double kPeriod = 1200;

struct Feed {
    HostTimeline timeline{kRate};
    double frame = 0;
    // One fragment: it arrived `arrivalLate` after its last frame was captured, and the
    // timing report (if any) was taken `readingLate` after the frame it names.
    void fragment(double arrivalLate, std::optional<double> readingLate) {
        frame += kPeriod;
        timeline.addArrival(frame, kTruth + frame / kRate + arrivalLate);
        if (readingLate) timeline.addReading(frame, kTruth + frame / kRate + *readingLate);
    }
};

struct Story {
    std::string name;
    std::function<void(Feed&)> feed;
    double expect;
    double tolerance;
};

TEST(HostTimelineTest, StoriesOfReadingsAndArrivals) {
    const std::vector<Story> stories = {
        {"jittery readings and arrivals keep to the fresh ones",
         [](Feed& f) {
             for (int i = 0; i < 60; ++i) f.fragment(0.002 + (i % 3) * 0.004, (i % 7) * 0.003);
         },
         kTruth, 0.003},
        {"a burst after a freeze: two seconds of backlog arrive at once, readings stay true",
         [](Feed& f) {
             for (int i = 0; i < 30; ++i) f.fragment(0.004, 0.001);
             const double burstAt = kTruth + (f.frame + 80 * kPeriod) / kRate + 0.01;
             for (int i = 0; i < 80; ++i) {
                 f.frame += kPeriod;
                 f.timeline.addArrival(f.frame, burstAt);
                 if (i % 10 == 0) f.timeline.addReading(f.frame, kTruth + f.frame / kRate + 0.001);
             }
         },
         kTruth, 0.002},
        {"the first data comes in a burst: the first reading decides, not the burst",
         [](Feed& f) {
             for (int i = 0; i < 40; ++i) {
                 f.frame += kPeriod;
                 f.timeline.addArrival(f.frame, kTruth + 1.5);
             }
             f.timeline.addReading(f.frame, kTruth + f.frame / kRate + 0.002);
         },
         kTruth + 0.002, 1e-9},
        {"frames lost in an overrun: readings stay later, the anchor jumps",
         [](Feed& f) {
             for (int i = 0; i < 30; ++i) f.fragment(0.004, 0.001);
             for (int i = 0; i < 15; ++i) f.fragment(0.3, 0.3);
         },
         kTruth + 0.3, 0.003},
        {"one stray reading far away is not a jump",
         [](Feed& f) {
             for (int i = 0; i < 30; ++i) f.fragment(0.004, i == 20 ? 0.5 : 0.001);
         },
         kTruth, 0.002},
        {"a stall of the index: readings late by seconds, arrivals on time",
         [](Feed& f) {
             for (int i = 0; i < 20; ++i) f.fragment(0.004, 0.001);
             for (int i = 0; i < 40; ++i) f.fragment(0.003 + (i % 4) * 0.005, 2.0);
         },
         kTruth, 0.004},
    };
    for (const auto& story : stories) {
        SCOPED_TRACE(story.name);
        Feed f;
        story.feed(f);
        ASSERT_TRUE(f.timeline.anchor());
        EXPECT_NEAR(*f.timeline.anchor(), story.expect, story.tolerance);
        // A frame's time follows from the anchor at the stream's rate.
        EXPECT_DOUBLE_EQ(f.timeline.timeOf(48000), *f.timeline.anchor() + 1.0);
    }
}

TEST(HostTimelineTest, UnsettledWhileReadingsDisagreeThenSettlesOnTheJump) {
    Feed f;
    for (int i = 0; i < 30; ++i) f.fragment(0.004, 0.001);
    EXPECT_FALSE(f.timeline.unsettled());
    f.fragment(0.3, 0.3);
    EXPECT_TRUE(f.timeline.unsettled()) << "one reading far away leaves the anchor in doubt";
    for (int i = 0; i < 15; ++i) f.fragment(0.3, 0.3);
    EXPECT_FALSE(f.timeline.unsettled());
}

TEST(HostTimelineTest, AStreamGoingSilentNeverAnchorsWithoutArrivals) {
    HostTimeline timeline(kRate);
    EXPECT_FALSE(timeline.giveUpWaiting(10.0)) << "no data at all: nothing to anchor on";
    EXPECT_FALSE(timeline.anchor());
    EXPECT_DOUBLE_EQ(timeline.timeOf(48000), 1.0);
}

}  // namespace
}  // namespace velomar
