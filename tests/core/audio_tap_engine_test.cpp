#include "core/audio_tap_engine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "core/capture_error.h"
#include "support/tap_engine_fixture.h"

namespace velomar {
namespace {

using platform::AudioObjectID;
using sim::Fault;
using sim::Inventory;
using testing::TapEngineFixture;

std::string startError(AudioTapEngine& engine) {
    try {
        engine.startSystemTap();
    } catch (const CaptureError& e) {
        EXPECT_EQ(e.kind(), CaptureError::Kind::capture);
        return e.message();
    }
    return {};
}

bool isUpperUUID(const std::string& s) {
    if (s.size() != 36) return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash != (s[i] == '-')) return false;
        if (!dash && !std::isdigit(static_cast<unsigned char>(s[i])) && !(s[i] >= 'A' && s[i] <= 'F')) return false;
    }
    return s[14] == '4';
}

// ------------------------------------------------------------------ startSystemTap

// A tap description as one comparable (and printable) value.
auto tapFields(const platform::TapDescription& t) {
    return std::make_tuple(t.mono, t.global, t.excludedProcesses, t.isPrivate, t.muteBehavior);
}

class TapEngineStart : public TapEngineFixture {};

TEST_F(TapEngineStart, CreatesPrivateUnmutedTapInsideAFreshPrivateAggregateAndStartsIt) {
    auto engine = makeEngine();
    EXPECT_EQ(startError(*engine), "");

    platform::TapDescription expectedTap;
    expectedTap.mono = true;
    expectedTap.global = true;
    expectedTap.isPrivate = true;
    expectedTap.muteBehavior = 0;
    ASSERT_EQ(hw().tapDescriptions().size(), 1u);
    EXPECT_EQ(tapFields(hw().tapDescriptions().front()), tapFields(expectedTap));

    ASSERT_EQ(hw().aggregateDescriptions().size(), 1u);
    const auto agg = hw().aggregateDescriptions().front();
    EXPECT_EQ(agg.name, "Velomar Capture");
    ASSERT_EQ(agg.uid.rfind("velomar-agg-", 0), 0u) << agg.uid;
    EXPECT_TRUE(isUpperUUID(agg.uid.substr(12))) << agg.uid;
    EXPECT_TRUE(agg.isPrivate);
    EXPECT_FALSE(agg.isStacked);
    ASSERT_EQ(agg.taps.size(), 1u);
    EXPECT_EQ(agg.taps[0].uid, hw().tapUID(hw().liveTaps().at(0)).value_or("?"));
    EXPECT_TRUE(agg.taps[0].driftCompensation);

    Inventory expected;
    expected.taps = expected.aggregates = expected.ioProcs = expected.runningIOProcs = 1;
    EXPECT_EQ(hw().live(), expected);

    engine->teardown();
    engine->teardown();
    EXPECT_TRUE(hw().live().empty());
    EXPECT_EQ(hw().journal(), (std::vector<std::string>{"createProcessTap", "createAggregateDevice",
                                                        "createIOProcIDWithBlock", "deviceStart", "deviceStop",
                                                        "destroyIOProcID", "destroyAggregateDevice",
                                                        "destroyProcessTap"}));
    EXPECT_TRUE(hw().violations().empty());
}

TEST_F(TapEngineStart, EveryStartNamesItsAggregateAnew) {
    std::set<std::string> uids;
    for (int i = 0; i < 3; ++i) {
        auto engine = makeEngine();
        ASSERT_EQ(startError(*engine), "");
        engine->teardown();
    }
    for (const auto& d : hw().aggregateDescriptions()) uids.insert(d.uid);
    EXPECT_EQ(uids.size(), 3u);
}

struct StartFailure {
    const char* name;
    std::function<void(sim::SimAudioHardware&)> inject;
    std::string message;
    bool tap, aggregate, format, ioProc;
};

Fault withSelector(Fault f, std::uint32_t selector) {
    f.selector = selector;
    return f;
}

const std::vector<StartFailure> kStartFailures = {
    {"tap creation fails",
     [](auto& hw) { hw.injectFault(Fault::failing("createProcessTap", -4)); },
     "AudioHardwareCreateProcessTap failed (OSStatus -4)", false, false, false, false},
    {"tap created with a zero ID",
     [](auto& hw) { hw.injectFault(Fault::zeroResult("createProcessTap")); },
     "AudioHardwareCreateProcessTap failed (OSStatus 0)", false, false, false, false},
    {"tap UID unreadable",
     [](auto& hw) {
         hw.injectFault(withSelector(Fault::failing("getStringProperty", platform::kErrUnknownProperty),
                                     platform::selector::tapUID));
     },
     "read tap UID failed (OSStatus 2003332927)", true, false, false, false},
    {"aggregate creation fails",
     [](auto& hw) { hw.injectFault(Fault::failing("createAggregateDevice", -10851)); },
     "AudioHardwareCreateAggregateDevice failed (OSStatus -10851)", true, false, false, false},
    {"aggregate created with a zero ID",
     [](auto& hw) { hw.injectFault(Fault::zeroResult("createAggregateDevice")); },
     "AudioHardwareCreateAggregateDevice failed (OSStatus 0)", true, false, false, false},
    {"stream format unreadable",
     [](auto& hw) {
         hw.injectFault(withSelector(Fault::failing("getPropertyData", platform::kErrBadPropertySize),
                                     platform::selector::streamFormat));
     },
     "could not read tap stream format (OSStatus 561211770)", true, true, false, false},
    {"stream format is no PCM format",
     [](auto& hw) {
         pcm::StreamDescription d{};
         d.sampleRate = 48000;
         d.formatID = pcm::fourCC("aac ");
         d.channelsPerFrame = 1;
         hw.setAggregateStreamFormat(d);
     },
     "could not read tap stream format (OSStatus 0)", true, true, false, false},
    {"IOProc registration fails",
     [](auto& hw) { hw.injectFault(Fault::failing("createIOProcIDWithBlock", platform::kErrIllegalOperation)); },
     "AudioDeviceCreateIOProcIDWithBlock failed (OSStatus 1852797029)", true, true, true, false},
    {"IOProc registered without an ID",
     [](auto& hw) { hw.injectFault(Fault::zeroResult("createIOProcIDWithBlock")); },
     "AudioDeviceCreateIOProcIDWithBlock failed (OSStatus 0)", true, true, true, false},
    {"device start fails",
     [](auto& hw) { hw.injectFault(Fault::failing("deviceStart", -1)); },
     "AudioDeviceStart failed (OSStatus -1)", true, true, true, true},
};

TEST_F(TapEngineStart, EachFailingStepKeepsWhatExistsAndTeardownLeavesNothingBehind) {
    for (const auto& c : kStartFailures) {
        SCOPED_TRACE(c.name);
        sim::SimPlatform machine;
        auto platform = machine.platform();
        c.inject(machine.hardware());
        auto engine = AudioTapEngine::make(mixer_, path_, std::nullopt, platform);

        EXPECT_EQ(startError(*engine), c.message);
        const Inventory live = machine.hardware().live();
        EXPECT_EQ(live.taps, c.tap ? 1u : 0u);
        EXPECT_EQ(live.aggregates, c.aggregate ? 1u : 0u);
        EXPECT_EQ(live.ioProcs, c.ioProc ? 1u : 0u);
        EXPECT_EQ(live.runningIOProcs, 0u);

        machine.hardware().clearFaults();
        engine->teardown();
        EXPECT_TRUE(machine.hardware().live().empty());
        EXPECT_TRUE(machine.hardware().violations().empty());
    }
    EXPECT_TRUE(events().empty());
}

TEST_F(TapEngineStart, TeardownGoesOnPastFailingReleases) {
    auto engine = makeEngine();
    ASSERT_EQ(startError(*engine), "");
    hw().injectFault(Fault::failing("deviceStop", -1));
    hw().injectFault(Fault::failing("destroyAggregateDevice", -1));
    engine->teardown();
    EXPECT_EQ(hw().live().taps, 0u);  // the last step still ran
    engine->teardown();
    // Failed releases count as done: a second teardown retries none of them.
    for (const char* call : {"deviceStop", "destroyIOProcID", "destroyAggregateDevice", "destroyProcessTap"})
        EXPECT_EQ(hw().callCount(call), 1u) << call;
}

// ------------------------------------------------------------------ deepCopy and peak

struct CopyCase {
    pcm::SampleType type;
    bool interleaved;
};

TEST(TapEngineDeepCopy, CopiesEveryLayoutIndependentlyOfTheDeviceMemory) {
    const std::vector<CopyCase> cases = {{pcm::SampleType::float32, false}, {pcm::SampleType::float32, true},
                                         {pcm::SampleType::int16, false},   {pcm::SampleType::int16, true},
                                         {pcm::SampleType::int32, false},   {pcm::SampleType::int32, true}};
    constexpr std::uint32_t kChannels = 2;
    constexpr std::uint32_t kFrames = 5;
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "type " << int(c.type) << " interleaved " << c.interleaved);
        const auto format = pcm::Format::common(c.type, 48000, kChannels, c.interleaved);
        ASSERT_TRUE(format);
        const std::size_t bytesPerSample = format->bytesPerSample();
        // "Device memory": one block per channel, or one interleaved block.
        const std::size_t blocks = c.interleaved ? 1 : kChannels;
        const std::size_t blockBytes = bytesPerSample * kFrames * (c.interleaved ? kChannels : 1);
        std::vector<std::vector<std::uint8_t>> device(blocks, std::vector<std::uint8_t>(blockBytes));
        pcm::AudioBufferList list;
        for (std::size_t b = 0; b < blocks; ++b) {
            for (std::size_t i = 0; i < blockBytes; ++i) device[b][i] = static_cast<std::uint8_t>(1 + b * 64 + i);
            list.buffers.push_back({c.interleaved ? kChannels : 1u, std::uint32_t(blockBytes), device[b].data()});
        }
        const auto expected = device;
        const auto wrapper = pcm::Buffer::wrap(*format, list);
        ASSERT_TRUE(wrapper);

        const auto copy = AudioTapEngine::deepCopy(*wrapper);
        for (auto& block : device) std::memset(block.data(), 0xEE, block.size());  // the device reuses it

        ASSERT_TRUE(copy);
        EXPECT_TRUE(copy->format() == *format);
        EXPECT_EQ(copy->frameLength(), kFrames);
        auto& out = copy->mutableAudioBufferList();
        ASSERT_EQ(out.buffers.size(), blocks);
        for (std::size_t b = 0; b < blocks; ++b) {
            ASSERT_EQ(out.buffers[b].dataByteSize, blockBytes);
            const auto* bytes = static_cast<const std::uint8_t*>(out.buffers[b].data);
            EXPECT_EQ(std::vector<std::uint8_t>(bytes, bytes + blockBytes), expected[b]);
        }
    }
}

TEST(TapEngineDeepCopy, KeepsCapacityAndCopiesOnlyTheFrameLength) {
    const auto format = pcm::Format::common(pcm::SampleType::float32, 16000, 1, false);
    auto source = pcm::Buffer::make(*format, 8);
    ASSERT_TRUE(source);
    source->setFrameLength(3);
    for (std::uint32_t i = 0; i < 3; ++i) source->floatChannelData()[0][i] = float(i) + 0.5f;
    const auto copy = AudioTapEngine::deepCopy(*source);
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->frameCapacity(), 8u);
    EXPECT_EQ(copy->frameLength(), 3u);
    EXPECT_EQ(copy->floatChannelData()[0][2], 2.5f);
    EXPECT_NE(copy->floatChannelData()[0], source->floatChannelData()[0]);
}

pcm::BufferPtr floatBuffer(std::uint32_t channels, bool interleaved, const std::vector<float>& samples) {
    const auto format = pcm::Format::common(pcm::SampleType::float32, 48000, channels, interleaved);
    const auto frames = static_cast<std::uint32_t>(samples.size() / channels);
    auto b = pcm::Buffer::make(*format, frames);
    b->setFrameLength(frames);
    float* const* data = b->floatChannelData();
    for (std::uint32_t f = 0; f < frames; ++f) {
        for (std::uint32_t c = 0; c < channels; ++c) {
            const float v = samples[f * channels + c];  // samples given frame by frame
            if (interleaved) data[0][f * channels + c] = v;
            else data[c][f] = v;
        }
    }
    return b;
}

TEST(TapEnginePeak, LargestMagnitudeOverAllChannelsIgnoringNaN) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(AudioTapEngine::peak(*floatBuffer(1, false, {0.25f, -0.5f, 0.25f})), 0.5f);
    EXPECT_EQ(AudioTapEngine::peak(*floatBuffer(2, false, {0.1f, 0.2f, nan, -0.9f})), 0.9f);
    EXPECT_EQ(AudioTapEngine::peak(*floatBuffer(1, false, {nan, nan})), 0.0f);
    EXPECT_EQ(AudioTapEngine::peak(*floatBuffer(1, false, {1.5f, -0.2f})), 1.5f);  // not clamped
    // Interleaved: the loudest sample is the last one of the second channel.
    EXPECT_EQ(AudioTapEngine::peak(*floatBuffer(2, true, {0.1f, 0.2f, 0.3f, -0.8f})), 0.8f);

    auto empty = floatBuffer(1, false, {0.7f});
    empty->setFrameLength(0);
    EXPECT_EQ(AudioTapEngine::peak(*empty), 0.0f);

    const auto intFormat = pcm::Format::common(pcm::SampleType::int16, 48000, 1, false);
    auto ints = pcm::Buffer::make(*intFormat, 2);
    ints->setFrameLength(2);
    ints->int16ChannelData()[0][0] = 30000;
    EXPECT_EQ(AudioTapEngine::peak(*ints), 0.0f);
}

// ------------------------------------------------------------------ IOProc cycles

class TapEngineIOCycle : public TapEngineFixture {};

std::vector<std::int16_t> wavSamples(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::int16_t> samples;
    for (std::size_t i = 44; i + 1 < bytes.size(); i += 2) {
        std::int16_t s;
        std::memcpy(&s, &bytes[i], 2);
        samples.push_back(s);
    }
    return samples;
}

TEST_F(TapEngineIOCycle, OwnedCopiesReachTheMixerAsSystemAudio) {
    auto engine = makeEngine();
    hw().setAggregateStreamFormat(testing::packedFloatDescription(16000, 1));
    ASSERT_EQ(startError(*engine), "");

    // One second at a constant 0.5 in cycles of 160 frames. The sim frees each cycle's
    // memory once the block returns, so only owned copies may reach the mixer (a buffer
    // still pointing there is a use after free that the address sanitizer reports).
    const std::vector<float> level(160, 0.5f);
    for (int cycle = 0; cycle < 100; ++cycle) {
        ASSERT_EQ(hw().deliverIOCycle(liveAggregate(), 160, testing::packedFloatDescription(16000, 1),
                                      pcm::hostTimeForSeconds(100.0 + 0.01 * cycle), {level}),
                  1u);
    }
    engine->teardown();
    mixer_->finish();

    const auto samples = wavSamples(path_);
    ASSERT_GT(samples.size(), 8000u);
    // 0.5 × 0.707 × 32767 ≈ 11583 in the settled middle of the second.
    const std::int16_t middle = samples[samples.size() / 2];
    EXPECT_NEAR(middle, 11583, 400);
}

TEST_F(TapEngineIOCycle, ZeroFrameCycleChangesNothing) {
    auto engine = makeEngine();
    ASSERT_EQ(startError(*engine), "");
    engine->startLevelsTimer();
    EXPECT_EQ(hw().deliverIOCycle(liveAggregate(), 0, testing::packedFloatDescription(48000, 1),
                                  pcm::hostTimeNow()),
              1u);
    advance(0.1);
    const auto levels = events("levels");
    ASSERT_EQ(levels.size(), 1u);
    EXPECT_EQ(levels[0]["system"], 0.0);
    engine->teardown();
    mixer_->finish();
    EXPECT_EQ(writer_->dataBytes(), 0u);
}

TEST_F(TapEngineIOCycle, CyclesAfterTheEngineIsGoneDoNothing) {
    auto engine = makeEngine();
    ASSERT_EQ(startError(*engine), "");
    const AudioObjectID aggregate = liveAggregate();
    engine->startLevelsTimer();
    engine.reset();
    engine_.reset();  // no teardown: the platform objects stay, the callbacks find no engine
    EXPECT_EQ(hw().deliverIOCycle(aggregate, 480, testing::packedFloatDescription(48000, 1), pcm::hostTimeNow(),
                                  {std::vector<float>(480, 0.9f)}),
              1u);
    advance(1.0);
    EXPECT_TRUE(events().empty());
    mixer_->finish();
    EXPECT_EQ(writer_->dataBytes(), 0u);
}

// ------------------------------------------------------------------ stop path

class TapEngineStop : public TapEngineFixture {
protected:
    void stopTwice(const std::optional<std::string>& reason) {
        hw().setDefaultInputDevice(hw().addDevice(sim::SimDevice::input("mic", "Mic", {1})));
        auto engine = makeEngine();
        engine->openMic("start");
        engine->armMicWatchdog();
        engine->observeConfigurationChanges();
        engine->startLevelsTimer();
        ASSERT_EQ(startError(*engine), "");
        // 3.99 s of audio already in the file.
        writer_->write(std::vector<float>(63840, 0.0f));
        clearEvents();

        engine->stopAndFinalize(reason);
        engine->stopAndFinalize("stdin");  // a second stop source does nothing

        advance(1.0);  // no levels report once stopped

        EXPECT_EQ(exits(), std::vector<int>{0});
        EXPECT_TRUE(hw().live().empty());  // listener included
        EXPECT_TRUE(units().liveUnits().empty());

        const auto stopped = events("stopped");
        ASSERT_EQ(stopped.size(), 1u);
        const auto& s = stopped[0];
        EXPECT_EQ(s["out"], path_);
        EXPECT_EQ(s["seconds"], 3);
        EXPECT_TRUE(s["seconds"].is_number_integer());
        for (const char* key : {"resyncs", "clockClamps", "silenceInsertedSamples", "samplesDropped", "limitedSamples",
                                "samplesNotWritten"})
            EXPECT_TRUE(s.contains(key) && s[key].is_number_integer()) << key;
        EXPECT_EQ(s.contains("reason"), reason.has_value());
        if (reason) {
            EXPECT_EQ(s["reason"], *reason);
        }
        EXPECT_EQ(eventNames(), std::vector<std::string>{"stopped"});

        // finish() ran before the event: the header already names the data written.
        std::ifstream in(path_, std::ios::binary);
        std::vector<char> header(44);
        in.read(header.data(), 44);
        std::uint32_t dataSize = 0;
        std::memcpy(&dataSize, &header[40], 4);
        EXPECT_EQ(dataSize, 127680u);

        advance(10.0);  // no levels, no watchdog after the stop
        EXPECT_EQ(eventNames(), std::vector<std::string>{"stopped"});
    }
};

TEST_F(TapEngineStop, WithoutReasonRunsOnceReleasesEverythingAndTruncatesSeconds) { stopTwice(std::nullopt); }
TEST_F(TapEngineStop, WithReasonRunsOnceAndCarriesIt) { stopTwice("signal"); }

}  // namespace
}  // namespace velomar
