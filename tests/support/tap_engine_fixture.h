#pragma once
// A tap engine on the simulated machine with a virtual clock: events and exits are
// captured, main-queue work runs when the test drains it.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/audio_tap_engine.h"
#include "core/events.h"
#include "core/mixer.h"
#include "core/process_exit.h"
#include "core/wav_writer.h"
#include "platform/dispatch.h"
#include "platform/sim/sim_audio_hardware.h"
#include "platform/sim/sim_authorization.h"
#include "platform/sim/sim_platform.h"

namespace velomar::testing {

inline const platform::PropertyAddress kDefaultInputAddress{platform::selector::defaultInputDevice,
                                                            platform::scope::global, 0};

inline pcm::StreamDescription packedFloatDescription(double rate, std::uint32_t channels,
                                                     bool interleaved = true) {
    return pcm::Format::common(pcm::SampleType::float32, rate, channels, interleaved)->streamDescription();
}

class TapEngineFixture : public ::testing::Test {
protected:
    void SetUp() override {
        clock_ = std::make_shared<dispatch::ManualClock>();
        dispatch::setClock(clock_);
        setEventSink([this](std::string_view line) {
            std::lock_guard<std::mutex> lock(linesLock_);
            lines_.emplace_back(line);
        });
        setExitHandler([this](int status) {
            std::lock_guard<std::mutex> lock(linesLock_);
            exits_.push_back(status);
        });
        path_ = (std::filesystem::temp_directory_path() /
                 ("velomar-tap-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".wav"))
                    .string();
        writer_ = std::make_shared<WAVWriter>(path_, 16000);
        mixer_ = std::make_shared<Mixer>(writer_);
    }

    void TearDown() override {
        if (engine_) engine_->teardown();
        engine_.reset();
        dispatch::drainMainQueue();
        mixer_.reset();
        writer_.reset();
        setEventSink(nullptr);
        setExitHandler(nullptr);
        dispatch::setClock(nullptr);
        std::remove(path_.c_str());
    }

    std::shared_ptr<AudioTapEngine> makeEngine(std::optional<std::string> preferredUID = std::nullopt) {
        engine_ = AudioTapEngine::make(mixer_, path_, std::move(preferredUID), platform_);
        return engine_;
    }

    sim::SimAudioHardware& hw() { return sim_.hardware(); }
    sim::SimAudioUnits& units() { return sim_.units(); }
    sim::SimAuthorization& auth() { return sim_.authorization(); }

    // Moves virtual time on and runs whatever became due on the main queue.
    void advance(double seconds) {
        clock_->advance(seconds);
        dispatch::drainMainQueue();
    }

    // Parsed events, optionally only those with one name; clears nothing.
    std::vector<nlohmann::json> events(const std::string& name = {}) {
        std::lock_guard<std::mutex> lock(linesLock_);
        std::vector<nlohmann::json> out;
        for (const auto& line : lines_) {
            auto j = nlohmann::json::parse(line);
            if (name.empty() || j.value("event", "") == name) out.push_back(std::move(j));
        }
        return out;
    }
    std::vector<std::string> eventNames() {
        std::vector<std::string> names;
        for (const auto& e : events()) names.push_back(e.value("event", ""));
        return names;
    }
    void clearEvents() {
        std::lock_guard<std::mutex> lock(linesLock_);
        lines_.clear();
    }
    std::vector<int> exits() {
        std::lock_guard<std::mutex> lock(linesLock_);
        return exits_;
    }

    // The running microphone unit of the sim (the engine opens one at a time).
    platform::AudioUnit liveUnit() {
        auto live = units().liveUnits();
        EXPECT_EQ(live.size(), 1u);
        return live.empty() ? 0 : live.front();
    }

    // The one aggregate device of the sim (the tap engine creates one at a time).
    platform::AudioObjectID liveAggregate() {
        auto live = hw().liveAggregates();
        EXPECT_EQ(live.size(), 1u);
        return live.empty() ? 0 : live.front();
    }

    sim::SimPlatform sim_;
    platform::Platform platform_ = sim_.platform();
    std::shared_ptr<dispatch::ManualClock> clock_;
    std::string path_;
    std::shared_ptr<WAVWriter> writer_;
    std::shared_ptr<Mixer> mixer_;
    std::shared_ptr<AudioTapEngine> engine_;

private:
    std::mutex linesLock_;
    std::vector<std::string> lines_;
    std::vector<int> exits_;
};

}  // namespace velomar::testing
