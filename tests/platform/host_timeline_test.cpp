// The host timeline of a captured stream: readings, arrivals and what the anchor makes of them.
#include "platform/host_timeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
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
        EXPECT_EQ(f.timeline.takeMissingFrames(), 0) << "jitter taken for lost frames";
        // A frame's time follows from the anchor at the stream's rate.
        EXPECT_DOUBLE_EQ(f.timeline.timeOf(48000), *f.timeline.anchor() + 1.0);
    }
}

// Logged on PipeWire (pipewire-pulse), a 44.1 kHz stereo output's monitor and a 48 kHz
// microphone: per chunk, the frames read so far and when they arrived; per timing report,
// the frame it names and when that frame was captured by its account. Times in ms from
// where the stream's frame 0 really lies (by the readings and arrivals that followed).
struct Log {
    std::string name;
    double rate;
    std::vector<std::pair<double, double>> arrivals;     // frames read, ms
    std::vector<std::tuple<double, double, std::size_t>> readings;  // frame, ms, before arrival #
    double truth;  // ms
};

void replay(HostTimeline& timeline, const Log& log, const std::function<void()>& afterChunk) {
    std::size_t r = 0;
    for (std::size_t i = 0; i < log.arrivals.size(); ++i) {
        for (; r < log.readings.size() && std::get<2>(log.readings[r]) == i; ++r)
            timeline.addReading(std::get<0>(log.readings[r]), std::get<0>(log.readings[r]) / log.rate + std::get<1>(log.readings[r]) / 1e3);
        timeline.addArrival(log.arrivals[i].first, log.arrivals[i].first / log.rate + log.arrivals[i].second / 1e3);
        afterChunk();
    }
}

// The first report and the first chunks of a PipeWire stream put frames up to 31 ms too
// early; taken as the anchor, they shifted the stream for the whole recording (the first
// chunk placed decides where it lands). The stream's chunks go out once it has settled.
TEST(HostTimelineTest, APipeWireStreamsFirstMomentsDoNotPlaceIt) {
    const std::vector<Log> logs = {
        {"microphone, 48 kHz mono",
         48000,
         {{1200, -19.6}, {2400, -23.2}, {3600, -26.9}, {4800, -9.4}, {6000, -2.3}, {7200, -0.4},
          {8400, -0.5}, {9600, -1.3}, {10800, -1.0}, {12000, -4.6}, {13200, -3.0}, {14400, -1.3},
          {15600, -5.1}, {16800, -3.4}, {18000, -1.8}, {19200, -5.2}, {20400, -3.4}, {21600, -2.1}},
         {{1024, -22.6, 0}, {2048, -19.8, 1}, {4096, -18.6, 3}, {5376, -21.2, 4}, {7168, -2.0, 5},
          {7424, -4.9, 6}, {11008, -5.2, 9}, {14848, -1.3, 12}, {18176, -5.3, 15}},
         -5.2},
        {"monitor of a 44.1 kHz stereo output",
         44100,
         {{1102, -14.1}, {2204, 2.7}, {3306, 4.5}, {4408, 0.9}, {5510, 2.4}, {6612, 4.2},
          {7714, 0.6}, {8816, 2.1}, {9918, 3.8}, {11020, 0.1}, {12122, 1.9}, {13224, 3.6},
          {14326, 5.2}, {15428, 1.6}, {16530, 3.3}, {17632, 5.0}, {18734, 1.3}, {19836, 3.0}},
         {{912, -31.4, 0}, {2088, 2.9, 1}, {3499, -0.3, 3}, {5616, 3.8, 5}, {6792, -0.4, 6},
          {10085, -0.5, 9}, {12672, 4.3, 11}, {13377, -0.4, 12}, {16670, -0.4, 15}},
         -0.5},
    };
    for (const auto& log : logs) {
        SCOPED_TRACE(log.name);
        HostTimeline timeline(log.rate);
        timeline.expectPipeWire();
        std::optional<double> placedAt;
        replay(timeline, log, [&] {
            if (timeline.settled() && !placedAt) placedAt = timeline.anchor();
        });
        ASSERT_TRUE(placedAt) << "never settled";
        EXPECT_NEAR(*placedAt * 1e3, log.truth, 1.0);
    }
}

// Logged on PipeWire, a 48 kHz microphone: the server lost 5.3 ms of frames at once;
// readings and arrivals both moved later and stayed there. The loss is counted in as
// silence (the stream inserts it, so its frame count moves on by as much) and the anchor
// stays; stray late readings or late arrivals alone are no loss.
TEST(HostTimelineTest, FramesThePipeWireServerLostAreCountedInAndJitterIsNot) {
    // Around the loss, arrivals per 25 ms chunk and readings (frame, ms, before arrival #),
    // frames from the first chunk below.
    const std::vector<double> arrivalsMs = {
        4.3, 0.7, 2.4, 4.0, 0.3, 2.0, 3.7, 0.0, 1.7, 3.4, 5.0, 1.3, 3.0, 4.8, 1.0, 2.8, 4.4, 0.8, 2.4, 4.0,
        0.4, 2.0, 3.7, 0.0, 9.8, 8.7, 10.5, 6.9, 8.3, 10.0, 6.3, 8.2, 9.6, 8.8, 7.8, 9.3, 5.6, 7.5, 11.8,
        5.3, 7.1, 8.7, 10.3, 6.7, 8.3, 10.0, 6.3, 8.0, 9.7, 8.8, 7.8, 9.4, 5.7, 7.4, 9.0, 5.4};
    const std::vector<std::tuple<double, double, std::size_t>> readingsMs = {
        {208, 0.2, 1}, {12240, 0.1, 11}, {25296, 0.1, 22}, {37328, 5.6, 32}, {40400, 8.2, 34},
        {49360, 5.5, 42}, {61392, 5.6, 52}};
    struct Case {
        std::string name;
        std::vector<double> arrivals;
        std::vector<std::tuple<double, double, std::size_t>> readings;
        double lostMs;
    };
    auto jitterOnly = readingsMs;
    for (std::size_t i = 3; i < jitterOnly.size(); ++i) std::get<1>(jitterOnly[i]) = 4.5;
    auto lateArrivals = arrivalsMs;
    for (std::size_t i = 24; i < lateArrivals.size(); ++i) lateArrivals[i] = 6 + double(i % 3) * 2.0;
    auto beforeLoss = readingsMs;
    for (std::size_t i = 3; i < beforeLoss.size(); ++i) std::get<1>(beforeLoss[i]) = 0.1 + double(i % 2) * 0.3;
    const std::vector<Case> cases = {
        {"logged: 5.3 ms lost", arrivalsMs, readingsMs, 5.35},
        {"readings late, arrivals on their floor", std::vector<double>(arrivalsMs.begin(), arrivalsMs.begin() + 24),
         jitterOnly, 0},
        {"arrivals late (a busy machine), readings true", lateArrivals, beforeLoss, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // A second of clean stream first, so that the timeline has settled.
        Feed f;
        f.timeline.expectPipeWire();
        for (int i = 0; i < 40; ++i) f.fragment(0.001 + (i % 3) * 0.0017, 0.0002);
        ASSERT_TRUE(f.timeline.settled());
        const double anchor = *f.timeline.anchor();
        const double start = f.frame;
        double inserted = 0;
        std::size_t r = 0;
        for (std::size_t i = 0; i < c.arrivals.size(); ++i) {
            for (; r < c.readings.size() && std::get<2>(c.readings[r]) == i; ++r) {
                const double frame = start + std::get<0>(c.readings[r]);  // the server's count: no silence in it
                f.timeline.addReading(frame, kTruth + frame / kRate + std::get<1>(c.readings[r]) / 1e3);
                inserted += double(f.timeline.takeMissingFrames());
            }
            f.frame += kPeriod;
            f.timeline.addArrival(f.frame + inserted, kTruth + f.frame / kRate + c.arrivals[i] / 1e3);
        }
        EXPECT_NEAR(inserted / kRate * 1e3, c.lostMs, 0.3);
        EXPECT_NEAR(*f.timeline.anchor(), anchor, 0.0005) << "the anchor moved instead";
        EXPECT_FALSE(f.timeline.unsettled());
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
