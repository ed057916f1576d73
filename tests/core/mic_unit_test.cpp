#include "core/mic_unit.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <mutex>
#include <thread>
#include <functional>
#include <limits>

#include "core/capture_error.h"
#include "platform/sim/sim_audio_hardware.h"

namespace velomar {
namespace {
using namespace platform;
using sim::Fault;
using sim::SimAudioHardware;
using sim::SimAudioUnits;
using sim::SimDevice;

struct Delivery {
    pcm::BufferPtr buffer;
    double hostSeconds = 0;
};

class MicUnitTest : public testing::Test {
protected:
    AudioObjectID addMic(std::vector<std::uint32_t> streams, double rate = 48000.0) {
        auto id = hw.addDevice(SimDevice::input("mic", "Mic", std::move(streams), rate));
        hw.setDeviceSignal(id, [](std::uint32_t c, std::uint64_t f) { return float(c) * 10000.0f + float(f); });
        return id;
    }
    std::shared_ptr<MicUnit> makeMic() {
        return MicUnit::make(units, [this](pcm::BufferPtr b, double s) { delivered.push_back({std::move(b), s}); });
    }

    SimAudioHardware hw;
    SimAudioUnits units{hw};
    std::vector<Delivery> delivered;
};

struct StartFailure {
    const char* step;
    std::function<void(SimAudioHardware&, SimAudioUnits&, AudioObjectID)> breakIt;
    std::string message;
    bool unitSet;
    bool deviceSet;
    bool formatSet;
};

pcm::StreamDescription hardwareFormat(double rate, std::uint32_t channels) {
    pcm::StreamDescription d{};
    d.sampleRate = rate;
    d.formatID = pcm::kFormatLinearPCM;
    d.formatFlags = pcm::kFlagIsFloat | pcm::kFlagIsPacked;
    d.channelsPerFrame = channels;
    d.bitsPerChannel = 32;
    d.bytesPerFrame = d.bytesPerPacket = 4 * channels;
    d.framesPerPacket = 1;
    return d;
}

Fault onUnitProperty(const char* call, std::uint32_t property, std::uint32_t scope, OSStatus status) {
    Fault f = Fault::failing(call, status);
    f.selector = property;
    f.scope = scope;
    return f;
}

const std::string kNoAudio = ") \xE2\x80\x94 probably a permission or routing problem";

const std::vector<StartFailure> kStartFailures = {
    {"no component", [](auto&, SimAudioUnits& u, auto) { u.setComponentAvailable(false); },
     "no HAL audio unit available", false, false, false},
    {"instance creation", [](SimAudioHardware& h, auto&, auto) { h.injectFault(Fault::failing("instanceNew", -10)); },
     "AudioComponentInstanceNew failed (OSStatus -10)", false, false, false},
    {"no instance", [](SimAudioHardware& h, auto&, auto) { h.injectFault(Fault::zeroResult("instanceNew")); },
     "HAL unit was not created", false, false, false},
    {"enable input",
     [](SimAudioHardware& h, auto&, auto) {
         h.injectFault(onUnitProperty("setProperty", unitprop::enableIO, unitscope::input, kErrIllegalOperation));
     },
     "enable input failed (OSStatus 1852797029)", true, false, false},
    {"disable output",
     [](SimAudioHardware& h, auto&, auto) {
         h.injectFault(onUnitProperty("setProperty", unitprop::enableIO, unitscope::output, -10879));
     },
     "disable output failed (OSStatus -10879)", true, false, false},
    {"set current device",
     [](SimAudioHardware& h, auto&, auto) {
         h.injectFault(onUnitProperty("setProperty", unitprop::currentDevice, unitscope::global, -1));
     },
     "set current device failed (OSStatus -1)", true, false, false},
    {"read hardware format",
     [](SimAudioHardware& h, auto&, auto) {
         h.injectFault(onUnitProperty("getProperty", unitprop::streamFormat, unitscope::input, -2147483647 - 1));
     },
     "read hardware format failed (OSStatus -2147483648)", true, true, false},
    {"zeroed hardware format",
     [](SimAudioHardware& h, auto&, AudioObjectID d) { h.setHardwareFormat(d, pcm::StreamDescription{}); },
     "microphone reports no audio (channels=0, sampleRate=0.0" + kNoAudio, true, true, false},
    {"rate not a number",
     [](SimAudioHardware& h, auto&, AudioObjectID d) {
         h.setHardwareFormat(d, hardwareFormat(std::numeric_limits<double>::quiet_NaN(), 2));
     },
     "microphone reports no audio (channels=2, sampleRate=nan" + kNoAudio, true, true, false},
    {"no channels",
     [](SimAudioHardware& h, auto&, AudioObjectID d) { h.setHardwareFormat(d, hardwareFormat(48000, 0)); },
     "microphone reports no audio (channels=0, sampleRate=48000.0" + kNoAudio, true, true, false},
    {"negative rate",
     [](SimAudioHardware& h, auto&, AudioObjectID d) { h.setHardwareFormat(d, hardwareFormat(-44100.5, 1)); },
     "microphone reports no audio (channels=1, sampleRate=-44100.5" + kNoAudio, true, true, false},
    {"no client format",
     [](SimAudioHardware& h, auto&, AudioObjectID d) {
         h.setHardwareFormat(d, hardwareFormat(std::numeric_limits<double>::infinity(), 1));
     },
     "could not build a client format for the microphone", true, true, false},
    {"set client format",
     [](SimAudioHardware& h, auto&, auto) {
         h.injectFault(onUnitProperty("setProperty", unitprop::streamFormat, unitscope::output, -10868));
     },
     "set client format failed (OSStatus -10868)", true, true, false},
    {"set input callback",
     [](SimAudioHardware& h, auto&, auto) {
         h.injectFault(onUnitProperty("setProperty", unitprop::setInputCallback, unitscope::global, -3));
     },
     "set input callback failed (OSStatus -3)", true, true, true},
    {"initialise", [](SimAudioHardware& h, auto&, auto) { h.injectFault(Fault::failing("initialize", -4)); },
     "AudioUnitInitialize failed (OSStatus -4)", true, true, true},
    {"start", [](SimAudioHardware& h, auto&, auto) { h.injectFault(Fault::failing("outputUnitStart", -5)); },
     "AudioOutputUnitStart failed (OSStatus -5)", true, true, true},
};

TEST_F(MicUnitTest, StartFailuresReportTheStepAndKeepWhatExists) {
    for (const auto& c : kStartFailures) {
        SCOPED_TRACE(c.step);
        SimAudioHardware machine;
        SimAudioUnits halUnits(machine);
        auto device = machine.addDevice(SimDevice::input("mic", "Mic", {2}));
        c.breakIt(machine, halUnits, device);
        auto mic = MicUnit::make(halUnits, [](pcm::BufferPtr, double) {});
        try {
            mic->start(device);
            ADD_FAILURE() << "start succeeded";
        } catch (const CaptureError& e) {
            EXPECT_EQ(e.kind(), CaptureError::Kind::capture);
            EXPECT_EQ(e.message(), c.message);
        }
        EXPECT_EQ(mic->unit() != 0, c.unitSet);
        EXPECT_EQ(mic->deviceID().has_value(), c.deviceSet);
        if (c.deviceSet) {
            EXPECT_EQ(mic->deviceID(), device);
        }
        EXPECT_EQ(mic->format().has_value(), c.formatSet);
        EXPECT_EQ(machine.live().runningUnits, 0u);

        mic->stop();  // releases whatever start left behind
        EXPECT_EQ(mic->unit(), 0u);
        EXPECT_TRUE(machine.live().empty());
        EXPECT_EQ(machine.violations(), std::vector<std::string>{});
    }
}

TEST_F(MicUnitTest, ClientFormatIsFloatNonInterleavedAtTheHardwareRateWithAtMostTwoChannels) {
    struct Case {
        std::vector<std::uint32_t> streams;
        double rate;
        std::uint32_t clientChannels;
    };
    for (const auto& c : {Case{{1}, 44100, 1}, Case{{2}, 48000, 2}, Case{{6}, 96000, 2}, Case{{1, 2}, 16000, 2}}) {
        SCOPED_TRACE(c.streams.size() == 1 ? c.streams[0] : 3);
        SimAudioHardware machine;
        SimAudioUnits halUnits(machine);
        auto device = machine.addDevice(SimDevice::input("mic", "Mic", c.streams, c.rate));
        auto mic = MicUnit::make(halUnits, [](pcm::BufferPtr, double) {});
        mic->start(device);
        ASSERT_TRUE(mic->format());
        EXPECT_EQ(mic->format()->channelCount(), c.clientChannels);
        EXPECT_EQ(mic->format()->sampleRate(), c.rate);
        EXPECT_EQ(mic->format()->sampleType(), pcm::SampleType::float32);
        EXPECT_FALSE(mic->format()->isInterleaved());

        auto info = halUnits.unitInfo(mic->unit());
        ASSERT_TRUE(info);
        EXPECT_TRUE(info->inputEnabled);
        EXPECT_FALSE(info->outputEnabled);
        EXPECT_EQ(info->device, device);
        EXPECT_TRUE(info->running);
        ASSERT_TRUE(info->clientFormat);
        EXPECT_EQ(info->clientFormat->channelsPerFrame, c.clientChannels);
        EXPECT_NE(info->clientFormat->formatFlags & pcm::kFlagIsNonInterleaved, 0u);
        mic->stop();
    }
}

TEST_F(MicUnitTest, CyclesRenderIntoFreshBuffersAndGrowTheListOnlyWhenLonger) {
    auto device = addMic({2}, 48000);
    auto mic = makeMic();
    mic->start(device);
    const AudioUnit unit = mic->unit();

    const std::uint32_t cycles[] = {512, 512, 1024, 256};
    const std::uint32_t capacities[] = {512, 512, 1024, 1024};
    std::uint64_t host = pcm::hostTimeForSeconds(10.0);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(units.renderCycle(unit, cycles[i], host + std::uint64_t(i) * 1000), kNoError);
        EXPECT_TRUE(mic->hasRenderBufferList());
        EXPECT_EQ(mic->renderCapacityFrames(), capacities[i]);
    }
    ASSERT_EQ(delivered.size(), 4u);
    std::uint64_t firstFrame = 0;
    for (int i = 0; i < 4; ++i) {
        const auto& d = delivered[i];
        ASSERT_TRUE(d.buffer);
        EXPECT_EQ(d.buffer->frameLength(), cycles[i]);
        EXPECT_EQ(d.hostSeconds, pcm::secondsForHostTime(host + std::uint64_t(i) * 1000));
        for (int j = 0; j < i; ++j) EXPECT_NE(d.buffer.get(), delivered[j].buffer.get());
        // Every buffer still holds its own cycle's samples, so none was reused.
        float* const* data = d.buffer->floatChannelData();
        ASSERT_NE(data, nullptr);
        for (std::uint32_t f : {0u, cycles[i] - 1}) {
            EXPECT_EQ(data[0][f], float(firstFrame + f));
            EXPECT_EQ(data[1][f], 10000.0f + float(firstFrame + f));
        }
        firstFrame += cycles[i];
    }
}

TEST_F(MicUnitTest, FailingOrOversizedCycleReturnsAStatusAndCallsNoSink) {
    auto device = addMic({1});
    auto mic = makeMic();
    mic->start(device);
    Fault f = Fault::failing("render", -10863);
    f.times = 1;
    hw.injectFault(f);
    EXPECT_EQ(units.renderCycle(mic->unit(), 256, 0), -10863);
    EXPECT_TRUE(delivered.empty());

    for (std::uint32_t frames : {1u << 30, 0xFFFFFFFFu}) {
        auto status = units.renderCycle(mic->unit(), frames, 0);
        ASSERT_TRUE(status);
        EXPECT_NE(*status, kNoError);
    }
    EXPECT_TRUE(delivered.empty());

    EXPECT_EQ(units.renderCycle(mic->unit(), 256, 0), kNoError);
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_EQ(delivered[0].buffer->frameLength(), 256u);
}

TEST_F(MicUnitTest, StopReleasesTheUnitOnceAndKeepsFormatAndDevice) {
    auto device = addMic({2});
    auto mic = makeMic();
    mic->stop();  // never started
    EXPECT_EQ(hw.journal(), std::vector<std::string>{});

    mic->start(device);
    const AudioUnit unit = mic->unit();
    units.renderCycle(unit, 128, 0);
    mic->stop();
    mic->stop();
    EXPECT_EQ(mic->unit(), 0u);
    EXPECT_FALSE(mic->hasRenderBufferList());
    EXPECT_EQ(mic->renderCapacityFrames(), 0u);
    EXPECT_TRUE(mic->format());
    EXPECT_EQ(mic->deviceID(), device);
    EXPECT_EQ(units.renderCycle(unit, 128, 0), std::nullopt);
    EXPECT_TRUE(hw.live().empty());
    EXPECT_EQ(hw.violations(), std::vector<std::string>{});
    EXPECT_EQ(hw.callCount("outputUnitStop"), 1u);
    EXPECT_EQ(hw.callCount("instanceDispose"), 1u);
}

TEST_F(MicUnitTest, DroppingAStartedUnitStopsIt) {
    auto device = addMic({1});
    auto mic = makeMic();
    mic->start(device);
    mic.reset();
    EXPECT_TRUE(hw.live().empty());
    EXPECT_EQ(hw.violations(), std::vector<std::string>{});
}

// The unit's I/O thread keeps cycling while the control side stops the unit, or drops
// the last reference to it: cycles end cleanly, nothing is left running.
TEST_F(MicUnitTest, CyclesOnTheIOThreadEndCleanlyOnStopOrRelease) {
    auto device = addMic({2});
    for (bool dropInsteadOfStop : {false, true}) {
        SCOPED_TRACE(dropInsteadOfStop ? "drop" : "stop");
        std::mutex mutex;
        std::size_t count = 0;
        auto mic = MicUnit::make(units, [&](pcm::BufferPtr b, double) {
            std::lock_guard lock(mutex);
            count += b && b->frameLength() == 64 ? 1 : 0;
        });
        mic->start(device);
        const AudioUnit unit = mic->unit();
        std::atomic<std::size_t> cycles{0};
        std::thread io([&] {
            while (units.renderCycle(unit, 64, 0)) ++cycles;
        });
        while (cycles < 20) std::this_thread::yield();
        if (dropInsteadOfStop) {
            mic.reset();
        } else {
            mic->stop();
        }
        io.join();
        std::lock_guard lock(mutex);
        EXPECT_GE(count, 20u);
        EXPECT_TRUE(hw.live().empty());
        EXPECT_EQ(hw.violations(), std::vector<std::string>{});
    }
}

}  // namespace
}  // namespace velomar
