#include <gtest/gtest.h>

#include "support/tap_engine_fixture.h"

namespace velomar {
namespace {

using testing::packedFloatDescription;

class TapEngineLevels : public testing::TapEngineFixture {
protected:
    void deliverSystem(float peak) {
        std::vector<float> samples(480, 0.1f);
        samples[100] = -peak;
        ASSERT_EQ(hw().deliverIOCycle(liveAggregate(), 480, packedFloatDescription(48000, 1),
                                      pcm::hostTimeNow(), {samples}),
                  1u);
    }
};

TEST_F(TapEngineLevels, ReportsTheLargestPeakOfEachIntervalThenResets) {
    const auto mic = hw().addDevice(sim::SimDevice::input("mic", "Mic", {1}));
    hw().setDefaultInputDevice(mic);
    hw().setDeviceSignal(mic, [](std::uint32_t, std::uint64_t frame) { return frame == 7 ? 0.25f : 0.0f; });
    auto engine = makeEngine();
    engine->openMic("start");
    engine->startLevelsTimer();
    engine->startSystemTap();
    clearEvents();

    advance(0.05);
    EXPECT_TRUE(events("levels").empty());  // first report 0.1 s after the start

    deliverSystem(0.3f);
    deliverSystem(0.7f);
    deliverSystem(0.3f);
    ASSERT_EQ(units().renderCycle(liveUnit(), 256, pcm::hostTimeNow()), 0);
    advance(0.05);
    advance(0.1);  // an interval with nothing in it

    const auto levels = events("levels");
    ASSERT_EQ(levels.size(), 2u);
    EXPECT_EQ(levels[0]["system"].get<double>(), static_cast<double>(0.7f));
    EXPECT_EQ(levels[0]["mic"].get<double>(), static_cast<double>(0.25f));
    EXPECT_EQ(levels[1]["system"].get<double>(), 0.0);
    EXPECT_EQ(levels[1]["mic"].get<double>(), 0.0);

    engine->teardown();
    clearEvents();
    advance(1.0);
    EXPECT_TRUE(events().empty());
}

TEST_F(TapEngineLevels, TicksAtTenPerSecondAndGoQuietOnceFinishedOrGone) {
    auto engine = makeEngine();
    engine->startLevelsTimer();
    advance(1.0);
    EXPECT_EQ(events("levels").size(), 10u);

    engine->stopAndFinalize(std::nullopt);
    clearEvents();
    advance(1.0);
    EXPECT_TRUE(events("levels").empty());

    // A timer that outlives its engine finds nothing to report.
    auto other = makeEngine();
    other->startLevelsTimer();
    other.reset();
    engine_.reset();
    clearEvents();
    advance(1.0);
    EXPECT_TRUE(events().empty());
}

}  // namespace
}  // namespace velomar
