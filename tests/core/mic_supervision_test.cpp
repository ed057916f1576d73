#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/capture_error.h"
#include "support/tap_engine_fixture.h"

namespace velomar {
namespace {

using platform::AudioObjectID;
using sim::SimDevice;
using testing::kDefaultInputAddress;

std::optional<std::string> errorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const CaptureError& e) {
        return e.message();
    }
    return std::nullopt;
}

// ------------------------------------------------------------------ authorisation

TEST(TapEngineAuthorization, StatusAndPromptDecideWhetherTheMicMayBeUsed) {
    const std::string denied =
        "microphone access denied — grant it in System Settings → Privacy & Security → Microphone";
    struct Case {
        std::int32_t status;
        bool answer;
        std::optional<std::string> error;
        int requests;
    };
    const std::vector<Case> cases = {
        {platform::authorization::notDetermined, false, "microphone access was denied at the system prompt", 1},
        {platform::authorization::notDetermined, true, std::nullopt, 1},
        {platform::authorization::restricted, true, denied, 0},
        {platform::authorization::denied, true, denied, 0},
        {platform::authorization::authorized, false, std::nullopt, 0},
        {42, false, std::nullopt, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "status " << c.status << " answer " << c.answer);
        sim::SimPlatform machine;
        auto platform = machine.platform();
        machine.authorization().setStatus(c.status);
        machine.authorization().setAnswer(c.answer);
        auto engine = AudioTapEngine::make(nullptr, "/tmp/unused.wav", std::nullopt, platform);
        EXPECT_EQ(errorOf([&] { engine->ensureMicAuthorized(); }), c.error);
        EXPECT_EQ(machine.authorization().requests(), c.requests);
        EXPECT_TRUE(machine.hardware().journal().empty());  // no device touched
    }
}

TEST(TapEngineAuthorization, WaitsForAnAnswerThatComesLater) {
    sim::SimPlatform machine;
    auto platform = machine.platform();
    machine.authorization().setStatus(platform::authorization::notDetermined);
    machine.authorization().holdAnswers(true);
    auto engine = AudioTapEngine::make(nullptr, "/tmp/unused.wav", std::nullopt, platform);
    std::atomic<bool> returned{false};
    std::thread starter([&] {
        engine->ensureMicAuthorized();
        returned = true;
    });
    while (machine.authorization().requests() == 0) std::this_thread::yield();
    EXPECT_FALSE(returned.load());
    machine.authorization().releaseAnswers();
    starter.join();
    EXPECT_TRUE(returned.load());
}

// ------------------------------------------------------------------ opening the microphone

class TapEngineMic : public testing::TapEngineFixture {
protected:
    void SetUp() override {
        TapEngineFixture::SetUp();
        builtIn_ = hw().addDevice(SimDevice::input("built-in", "Built-in Mic", {1}, 48000));
        usb_ = hw().addDevice(SimDevice::input("usb", "USB Mic", {2, 1}, 44100));
        speakers_ = hw().addDevice(SimDevice::output("spk", "Speakers", {2}));
        hw().setDefaultInputDevice(builtIn_);
    }

    // The start sequence's microphone part.
    void startMic(std::optional<std::string> preferred = std::nullopt) {
        auto engine = makeEngine(std::move(preferred));
        engine->ensureMicAuthorized();
        engine->openMic("start");
        engine->armMicWatchdog();
        engine->observeConfigurationChanges();
    }

    void notifyDefaultInput() { hw().notifyPropertyChanged(platform::kSystemObject, kDefaultInputAddress); }

    void render(int cycles, std::uint32_t frames = 480) {
        for (int i = 0; i < cycles; ++i) ASSERT_EQ(units().renderCycle(liveUnit(), frames, pcm::hostTimeNow()), 0);
    }

    AudioObjectID builtIn_ = 0;
    AudioObjectID usb_ = 0;
    AudioObjectID speakers_ = 0;
};

TEST_F(TapEngineMic, PreferredDeviceChoosesPinsOrFallsBackToTheDefault) {
    struct Case {
        std::optional<std::string> preferred;
        bool missing;
        std::string device, uid;
        double rate;
        int channels;
        bool pinned;
    };
    const std::vector<Case> cases = {
        {std::nullopt, false, "Built-in Mic", "built-in", 48000, 1, false},
        {"usb", false, "USB Mic", "usb", 44100, 3, true},
        {"gone", true, "Built-in Mic", "built-in", 48000, 1, false},
        {"spk", true, "Built-in Mic", "built-in", 48000, 1, false},  // a device without input
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.preferred.value_or("none"));
        clearEvents();
        startMic(c.preferred);
        std::vector<std::string> expected = {"mic-format"};
        if (c.missing) expected.insert(expected.begin(), "mic-device-missing");
        EXPECT_EQ(eventNames(), expected);
        if (c.missing) {
            EXPECT_EQ(events("mic-device-missing")[0]["deviceUID"], *c.preferred);
        }
        const auto format = events("mic-format");
        ASSERT_EQ(format.size(), 1u);
        EXPECT_EQ(format[0]["sampleRate"].get<double>(), c.rate);
        EXPECT_EQ(format[0]["channels"], c.channels);
        EXPECT_TRUE(format[0]["channels"].is_number_integer());
        EXPECT_EQ(format[0]["device"], c.device);
        EXPECT_EQ(format[0]["deviceUID"], c.uid);
        EXPECT_EQ(format[0]["reason"], "start");
        EXPECT_EQ(format[0]["pinned"], c.pinned);
        ASSERT_EQ(units().liveUnits().size(), 1u);
        EXPECT_EQ(units().unitInfo(liveUnit())->device, c.device == "USB Mic" ? usb_ : builtIn_);

        // With a preferred UID, default-input changes never reopen the microphone.
        const auto opened = hw().created().units;
        clearEvents();
        notifyDefaultInput();
        dispatch::drainMainQueue();
        if (c.preferred) {
            EXPECT_TRUE(events().empty());
            EXPECT_EQ(hw().created().units, opened);
        } else {
            EXPECT_EQ(eventNames(), (std::vector<std::string>{"mic-format", "mic-rebound"}));
        }
        engine_->teardown();
        EXPECT_TRUE(units().liveUnits().empty());
        EXPECT_EQ(hw().listenerCount(platform::kSystemObject, kDefaultInputAddress), 0u);
    }
}

TEST_F(TapEngineMic, UnreadableDevicePropertiesReadAsZeroAndUnknown) {
    hw().makeUnreadable(builtIn_, platform::selector::nominalSampleRate);
    hw().makeUnreadable(builtIn_, platform::selector::name);
    hw().makeUnreadable(builtIn_, platform::selector::deviceUID);
    startMic();
    const auto format = events("mic-format");
    ASSERT_EQ(format.size(), 1u);
    EXPECT_EQ(format[0]["sampleRate"].get<double>(), 0.0);
    EXPECT_EQ(format[0]["device"], "unknown");
    EXPECT_EQ(format[0]["deviceUID"], "unknown");
    advance(6.0);
    const auto silent = events("mic-silent");
    ASSERT_EQ(silent.size(), 1u);
    EXPECT_EQ(silent[0]["device"], "unknown");
}

TEST_F(TapEngineMic, NoInputDeviceFailsWithoutAnEvent) {
    hw().setDefaultInputDevice(0);
    auto engine = makeEngine();
    EXPECT_EQ(errorOf([&] { engine->openMic("start"); }), "no audio input device available");
    EXPECT_TRUE(events().empty());
    EXPECT_EQ(hw().created().units, 0u);
}

TEST_F(TapEngineMic, UnitStartFailureIsRethrownAndLeavesNoUnitBehind) {
    hw().injectFault(sim::Fault::failing("initialize", -10867));
    auto engine = makeEngine();
    EXPECT_EQ(errorOf([&] { engine->openMic("start"); }), "AudioUnitInitialize failed (OSStatus -10867)");
    EXPECT_TRUE(events("mic-format").empty());
    EXPECT_TRUE(units().liveUnits().empty());
}

// ------------------------------------------------------------------ watchdog

TEST_F(TapEngineMic, SilentMicIsReportedOnceWithItsBufferCount) {
    // Exactly the threshold is not signal.
    hw().setDeviceSignal(builtIn_, [](std::uint32_t, std::uint64_t) { return 0.0005f; });
    startMic();
    render(7);
    advance(5.9);
    EXPECT_TRUE(events("mic-silent").empty());
    advance(0.1);
    auto silent = events("mic-silent");
    ASSERT_EQ(silent.size(), 1u);
    EXPECT_EQ(silent[0]["seenBuffers"], 7);
    EXPECT_EQ(silent[0]["reason"], "no-signal");
    EXPECT_EQ(silent[0]["device"], "Built-in Mic");
    render(3);
    advance(60.0);
    EXPECT_EQ(events("mic-silent").size(), 1u);
}

TEST_F(TapEngineMic, MicWithoutBuffersIsReportedAsNoBuffers) {
    startMic();
    advance(6.0);
    const auto silent = events("mic-silent");
    ASSERT_EQ(silent.size(), 1u);
    EXPECT_EQ(silent[0]["seenBuffers"], 0);
    EXPECT_EQ(silent[0]["reason"], "no-buffers");
}

TEST_F(TapEngineMic, OneBufferAboveTheThresholdKeepsTheWatchdogQuiet) {
    hw().setDeviceSignal(builtIn_, [](std::uint32_t, std::uint64_t frame) { return frame == 1000 ? -0.00051f : 0.f; });
    startMic();
    render(3);
    advance(7.0);
    EXPECT_TRUE(events("mic-silent").empty());
}

TEST_F(TapEngineMic, RebindVoidsTheEarlierWatchdogAndArmsANewOne) {
    startMic();
    advance(3.0);
    hw().setDefaultInputDevice(usb_);
    dispatch::drainMainQueue();
    const auto format = events("mic-format");
    ASSERT_EQ(format.size(), 2u);
    EXPECT_EQ(format[1]["reason"], "route-change");
    EXPECT_EQ(format[1]["device"], "USB Mic");
    EXPECT_EQ(format[1]["pinned"], false);
    const auto rebound = events("mic-rebound");
    ASSERT_EQ(rebound.size(), 1u);
    EXPECT_EQ(rebound[0]["device"], "USB Mic");

    advance(3.5);  // past the first arm's deadline
    EXPECT_TRUE(events("mic-silent").empty());
    advance(2.5);  // past the rebind's deadline
    const auto silent = events("mic-silent");
    ASSERT_EQ(silent.size(), 1u);
    EXPECT_EQ(silent[0]["device"], "USB Mic");
    EXPECT_EQ(silent[0]["reason"], "no-buffers");
}

TEST_F(TapEngineMic, StopWithinTheWindowSilencesTheWatchdog) {
    startMic();
    advance(3.0);
    engine_->stopAndFinalize(std::nullopt);
    advance(10.0);
    EXPECT_TRUE(events("mic-silent").empty());
}

TEST_F(TapEngineMic, FailedRebindReportsAndLeavesThePendingWatchdogSilent) {
    startMic();
    advance(3.0);
    hw().removeDevice(builtIn_);
    hw().removeDevice(usb_);
    dispatch::drainMainQueue();
    const auto failed = events("mic-rebind-failed");
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0]["message"], "no audio input device available");
    EXPECT_TRUE(events("mic-rebound").empty());
    EXPECT_TRUE(units().liveUnits().empty());
    advance(10.0);
    EXPECT_TRUE(events("mic-silent").empty());

    // The next change brings the microphone back.
    const auto fresh = hw().addDevice(SimDevice::input("new", "New Mic", {1}));
    hw().setDefaultInputDevice(fresh);
    dispatch::drainMainQueue();
    EXPECT_EQ(units().liveUnits().size(), 1u);
    EXPECT_EQ(events("mic-rebound").size(), 1u);
}

TEST_F(TapEngineMic, SignalCountsOnlyForTheUnitThatDeliveredIt) {
    hw().setDeviceSignal(builtIn_, [](std::uint32_t, std::uint64_t) { return 0.5f; });
    startMic();
    render(2);
    hw().setDefaultInputDevice(usb_);  // silent device: the reopen resets the counters
    dispatch::drainMainQueue();
    advance(6.0);
    const auto silent = events("mic-silent");
    ASSERT_EQ(silent.size(), 1u);
    EXPECT_EQ(silent[0]["seenBuffers"], 0);
}

// ------------------------------------------------------------------ listener

TEST_F(TapEngineMic, ListenerIsInstalledOnceAndEveryNotificationReopens) {
    startMic();
    engine_->observeConfigurationChanges();
    EXPECT_EQ(hw().listenerCount(platform::kSystemObject, kDefaultInputAddress), 1u);
    EXPECT_EQ(hw().created().listeners, 1u);

    clearEvents();
    const auto before = hw().created().units;
    notifyDefaultInput();  // the same default device twice
    notifyDefaultInput();
    dispatch::drainMainQueue();
    EXPECT_EQ(eventNames(), (std::vector<std::string>{"mic-format", "mic-rebound", "mic-format", "mic-rebound"}));
    EXPECT_EQ(hw().created().units, before + 2);
    EXPECT_EQ(units().liveUnits().size(), 1u);
    for (const auto& e : events("mic-rebound")) EXPECT_EQ(e["device"], "Built-in Mic");

    engine_->teardown();
    EXPECT_EQ(hw().listenerCount(platform::kSystemObject, kDefaultInputAddress), 0u);
    EXPECT_TRUE(hw().violations().empty());
}

TEST_F(TapEngineMic, FailedListenerRegistrationIsSilentAndCanBeRetried) {
    sim::Fault fault = sim::Fault::failing("addPropertyListener", -1);
    fault.times = 1;
    hw().injectFault(fault);
    auto engine = makeEngine();
    engine->observeConfigurationChanges();
    EXPECT_EQ(hw().listenerCount(platform::kSystemObject, kDefaultInputAddress), 0u);
    EXPECT_TRUE(events().empty());
    engine->observeConfigurationChanges();
    EXPECT_EQ(hw().listenerCount(platform::kSystemObject, kDefaultInputAddress), 1u);
}

TEST_F(TapEngineMic, NotificationsAfterTheStopOrTheEngineAreIgnored) {
    startMic();
    notifyDefaultInput();  // already queued when the stop begins
    engine_->stopAndFinalize(std::nullopt);
    dispatch::drainMainQueue();
    EXPECT_TRUE(events("mic-format").size() == 1u && events("mic-rebound").empty());

    startMic();
    const auto opened = hw().created().units;
    std::weak_ptr<AudioTapEngine> weak = engine_;
    engine_.reset();  // no teardown: the listener stays registered but finds no engine
    ASSERT_TRUE(weak.expired());
    clearEvents();
    notifyDefaultInput();
    advance(10.0);
    EXPECT_TRUE(events().empty());
    EXPECT_EQ(hw().created().units, opened);
}

TEST_F(TapEngineMic, SinkFeedsPeakAndCountersFromTheCaptureThread) {
    hw().setDeviceSignal(builtIn_, [](std::uint32_t, std::uint64_t frame) { return frame % 480 == 5 ? 0.2f : 0.f; });
    startMic();
    engine_->startLevelsTimer();
    std::thread capture([&] { render(4); });
    capture.join();
    advance(0.1);
    const auto levels = events("levels");
    ASSERT_EQ(levels.size(), 1u);
    EXPECT_EQ(levels[0]["mic"].get<double>(), static_cast<double>(0.2f));
    advance(6.0);
    EXPECT_TRUE(events("mic-silent").empty());
}

}  // namespace
}  // namespace velomar
