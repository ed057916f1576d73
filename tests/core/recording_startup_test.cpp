#include "core/recording_startup.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "core/capturer.h"
#include "core/events.h"
#include "core/process_exit.h"
#include "platform/sim/sim_audio_hardware.h"
#include "platform/sim/sim_authorization.h"
#include "platform/sim/sim_platform.h"
#include "platform/sim/sim_stream_capture.h"

namespace velomar {
namespace {

using json = nlohmann::json;

class RecordingStartupTest : public ::testing::Test {
protected:
    void SetUp() override {
        clock = std::make_shared<dispatch::ManualClock>();
        dispatch::setClock(clock);
        setEventSink([this](std::string_view line) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                events.push_back(json::parse(line));
            }
            changed.notify_all();
        });
        setExitHandler([this](int status) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                exits.push_back(status);
            }
            changed.notify_all();
        });
        path = (std::filesystem::temp_directory_path() /
                ("startup_test_" + std::to_string(::getpid()) + "_" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".wav"))
                   .string();
        const auto mic = sim.hardware().addDevice(sim::SimDevice::input("mic-1", "Desk Mic", {1}));
        sim.hardware().setDefaultInputDevice(mic);
        sim.streamCapture().setDisplays({platform::Display{1, "Built-in"}});
    }

    void TearDown() override {
        dispatch::drainMainQueue();
        sim.streamCapture().quiesce();
        setEventSink(nullptr);
        setExitHandler(nullptr);
        dispatch::setClock(nullptr);
        std::remove(path.c_str());
    }

    void startWith(const std::string& engine) {
        state.options.outPath = path;
        state.options.preferredEngine = engine;
        state.writer = std::make_shared<WAVWriter>(path, 16000);
        state.stopHandler = [](const std::string&) {};
        createRecordingObjects(state);
        ASSERT_TRUE(state.mixer);
        ASSERT_FALSE(state.stopHandler);
        startCapture(state, platform, path);
        ASSERT_TRUE(state.stopHandler);
    }

    bool waitFor(const std::string& name) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] {
            for (const auto& event : events) {
                if (event["event"] == name) return true;
            }
            return false;
        });
    }
    std::vector<int> waitExits(std::size_t n) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, std::chrono::seconds(10), [&] { return exits.size() >= n; });
        return exits;
    }
    std::vector<std::string> names() {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::string> out;
        for (const auto& event : events) out.push_back(event["event"]);
        return out;
    }
    json first(const std::string& name) {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& event : events) {
            if (event["event"] == name) return event;
        }
        return {};
    }

    sim::SimPlatform sim;
    platform::Platform platform = sim.platform();
    std::shared_ptr<dispatch::ManualClock> clock;
    RecordingState state;
    std::string path;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<json> events;
    std::vector<int> exits;
};

TEST_F(RecordingStartupTest, TapStartInstallsItsStopPathAndBuildsNoCapturer) {
    startWith("tap");
    EXPECT_FALSE(state.capturer);
    EXPECT_EQ(names(), (std::vector<std::string>{"mic-format", "started"}));
    EXPECT_EQ(first("started"), (json{{"event", "started"}, {"out", path}, {"engine", "tap"}}));
    EXPECT_EQ(first("mic-format")["reason"], "start");
    EXPECT_EQ(sim.hardware().live().taps, 1u);
    EXPECT_EQ(sim.streamCapture().contentQueries(), 0);

    state.stopHandler("signal");
    ASSERT_TRUE(waitFor("stopped"));
    EXPECT_EQ(first("stopped")["reason"], "signal");
    EXPECT_EQ(waitExits(1), std::vector<int>{0});
    EXPECT_TRUE(sim.hardware().live().empty());
    EXPECT_EQ(sim.streamCapture().contentQueries(), 0);
}

TEST_F(RecordingStartupTest, TapFailingAtTheSystemTapLeavesNothingAndFallsBack) {
    sim.hardware().injectFault(sim::Fault::failing("deviceStart", -50));
    startWith("tap");
    ASSERT_TRUE(waitFor("started"));
    EXPECT_EQ(names(), (std::vector<std::string>{"mic-format", "engine-fallback", "started"}));
    EXPECT_EQ(first("engine-fallback")["reason"], "AudioDeviceStart failed (OSStatus -50)");
    EXPECT_EQ(first("started")["engine"], "sck");
    EXPECT_TRUE(sim.hardware().live().empty());
    EXPECT_EQ(sim.hardware().live().listeners, 0u);

    // No levels timer survives the failed engine.
    clock->advance(1.0);
    dispatch::drainMainQueue();
    EXPECT_EQ(names(), (std::vector<std::string>{"mic-format", "engine-fallback", "started"}));

    // The installed stop path is the capturer's.
    state.stopHandler("stdin");
    ASSERT_TRUE(waitFor("stopped"));
    EXPECT_EQ(first("stopped")["reason"], "stdin");
    EXPECT_TRUE(state.capturer->stopRequested());
    EXPECT_EQ(waitExits(1), std::vector<int>{0});
}

TEST_F(RecordingStartupTest, OtherEngineValuesSkipTheTapEngineEntirely) {
    sim.authorization().setStatus(platform::authorization::denied);
    for (const std::string engine : {"sck", "Tap", ""}) {
        SCOPED_TRACE(engine);
        {
            std::lock_guard<std::mutex> lock(mutex);
            events.clear();
            exits.clear();
        }
        state = RecordingState{};
        startWith(engine);
        ASSERT_TRUE(waitFor("started"));
        EXPECT_EQ(names(), std::vector<std::string>{"started"});
        EXPECT_EQ(sim.authorization().requests(), 0);
        EXPECT_EQ(sim.hardware().created(), sim::Inventory{});
        state.stopHandler("stdin");
        ASSERT_TRUE(waitFor("stopped"));
    }
}

TEST_F(RecordingStartupTest, DeviceReportListsInputDevicesInDirectoryOrder) {
    sim.hardware().addDevice(sim::SimDevice::output("spk", "Speakers", {2}));
    sim.hardware().addDevice(sim::SimDevice::input("usb", "USB Mic", {2}));
    deviceReport(platform);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["devices"], json::array({json{{"uid", "mic-1"}, {"name", "Desk Mic"}, {"isDefault", true}},
                                                 json{{"uid", "usb"}, {"name", "USB Mic"}, {"isDefault", false}}}));
    EXPECT_EQ(waitExits(1), std::vector<int>{0});
}

}  // namespace
}  // namespace velomar
