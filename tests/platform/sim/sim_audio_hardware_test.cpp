#include "platform/sim/sim_audio_hardware.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <future>
#include <thread>

namespace velomar::sim {
namespace {
using namespace platform;

void flush(dispatch::Queue& queue) {
    queue.sync([] {});
}

const PropertyAddress kDefaultInput{selector::defaultInputDevice, scope::global, 0};
const PropertyAddress kDevices{selector::devices, scope::global, 0};

TEST(SimAudioHardware, DefaultInputListenerFiresOnItsQueueUntilRemoved) {
    SimAudioHardware hw;
    auto queuePtr = dispatch::Queue::makeSerial("velomar.test.listener");
    auto& queue = *queuePtr;
    auto a = hw.addDevice(SimDevice::input("a", "A", {1}));
    auto b = hw.addDevice(SimDevice::input("b", "B", {2}, 44100));
    std::atomic<int> calls{0};
    std::atomic<bool> onQueue{true};
    auto listener = std::make_shared<const PropertyListener>([&](std::uint32_t n, const PropertyAddress* addr) {
        onQueue = onQueue && queue.isCurrent() && n == 1 && *addr == kDefaultInput;
        ++calls;
    });
    ASSERT_EQ(hw.addPropertyListener(kSystemObject, kDefaultInput, queue, listener), kNoError);
    hw.setDefaultInputDevice(a);
    hw.setDefaultInputDevice(a);  // unchanged: no notification
    hw.setDefaultInputDevice(b);
    flush(queue);
    EXPECT_EQ(calls, 2);
    EXPECT_TRUE(onQueue);

    // Identity is the shared object: an equal copy does not remove it.
    auto copy = std::make_shared<const PropertyListener>(*listener);
    EXPECT_NE(hw.removePropertyListener(kSystemObject, kDefaultInput, queue, copy), kNoError);
    EXPECT_EQ(hw.removePropertyListener(kSystemObject, kDefaultInput, queue, listener), kNoError);
    hw.removeDevice(b);  // the default goes away, nobody listens any more
    flush(queue);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(hw.defaultInputDevice(), 0u);

    // A notification still queued when its listener is removed is not delivered.
    ASSERT_EQ(hw.addPropertyListener(kSystemObject, kDefaultInput, queue, listener), kNoError);
    std::promise<void> gate;
    queue.async([f = gate.get_future().share()] { f.wait(); });
    hw.setDefaultInputDevice(a);
    EXPECT_EQ(hw.removePropertyListener(kSystemObject, kDefaultInput, queue, listener), kNoError);
    gate.set_value();
    flush(queue);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(hw.live().listeners, 0u);
}

TEST(SimAudioHardware, DeviceListShrinksBetweenSizeAndRead) {
    SimAudioHardware hw;
    auto a = hw.addDevice(SimDevice::input("a", "A", {1}));
    auto b = hw.addDevice(SimDevice::input("b", "B", {1}));
    hw.afterNextDeviceListSize([&] { hw.removeDevice(b); });
    std::uint32_t size = 0;
    ASSERT_EQ(hw.getPropertyDataSize(kSystemObject, kDevices, size), kNoError);
    EXPECT_EQ(size, 8u);
    AudioObjectID ids[2] = {0, 0};
    ASSERT_EQ(hw.getPropertyData(kSystemObject, kDevices, size, ids), kNoError);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(ids[0], a);
    EXPECT_EQ(ids[1], 0u);
}

TEST(SimAudioHardware, FaultsMatchByNameAndFilters) {
    SimAudioHardware hw;
    auto a = hw.addDevice(SimDevice::input("a", "A", {1, 2}));
    hw.makeUnreadable(a, selector::name);
    std::string s;
    EXPECT_EQ(hw.getStringProperty(a, {selector::deviceUID, scope::global, 0}, s), kNoError);
    EXPECT_EQ(s, "a");
    EXPECT_EQ(hw.getStringProperty(a, {selector::name, scope::global, 0}, s), kErrUnknownProperty);

    Fault once = Fault::failing("createProcessTap", -1);
    once.times = 1;
    hw.injectFault(once);
    hw.injectFault(Fault::zeroResult("createAggregateDevice"));
    AudioObjectID tap = 77;
    EXPECT_EQ(hw.createProcessTap({}, tap), -1);
    EXPECT_EQ(hw.createProcessTap({}, tap), kNoError);
    EXPECT_NE(tap, 0u);
    AudioObjectID agg = 77;
    EXPECT_EQ(hw.createAggregateDevice({}, agg), kNoError);
    EXPECT_EQ(agg, 0u);
    EXPECT_EQ(hw.live().aggregates, 0u);
    EXPECT_EQ(hw.tapDescriptions().size(), 2u);  // attempts are recorded too
}

TEST(SimAudioHardware, IOCyclesRunOnTheQueueAndStopWaitsForTheRunningBlock) {
    SimAudioHardware hw;
    auto queue = dispatch::Queue::makeSerial("velomar.test.io");
    AudioObjectID tap = 0, agg = 0;
    ASSERT_EQ(hw.createProcessTap({}, tap), kNoError);
    AggregateDeviceDescription desc;
    desc.uid = "velomar-agg-x";
    std::string tapUID;
    ASSERT_EQ(hw.getStringProperty(tap, {selector::tapUID, scope::global, 0}, tapUID), kNoError);
    desc.taps.push_back({tapUID, true});
    const pcm::StreamDescription stereo{44100, pcm::kFormatLinearPCM, pcm::kFlagIsFloat | pcm::kFlagIsPacked,
                                        8, 1, 8, 2, 32, 0};
    hw.setAggregateStreamFormat(stereo);
    ASSERT_EQ(hw.createAggregateDevice(desc, agg), kNoError);
    pcm::StreamDescription read{};
    std::uint32_t size = sizeof read;
    ASSERT_EQ(hw.getPropertyData(agg, {selector::streamFormat, scope::input, 0}, size, &read), kNoError);
    EXPECT_EQ(std::memcmp(&read, &stereo, sizeof read), 0);

    std::promise<void> entered;
    std::promise<void> release;
    auto releaseFuture = release.get_future().share();
    std::atomic<int> calls{0};
    std::vector<float> seen;
    std::uint64_t seenHost = 0;
    IOProcID proc = 0;
    ASSERT_EQ(hw.createIOProcIDWithBlock(
                  proc, agg, queue,
                  [&](const AudioTimeStamp&, const pcm::AudioBufferList* in, const AudioTimeStamp& inTime,
                      pcm::AudioBufferList*, const AudioTimeStamp&) {
                      if (calls++ == 0) {
                          const auto& b = in->buffers.at(0);
                          seen.resize(b.dataByteSize / 4);
                          std::memcpy(seen.data(), b.data, b.dataByteSize);
                          seenHost = inTime.hostTime;
                          return;
                      }
                      entered.set_value();
                      releaseFuture.wait();
                  }),
              kNoError);
    EXPECT_EQ(hw.deliverIOCycle(agg, 3, pcm::StreamDescription{}, 5), 0u);  // not started yet
    ASSERT_EQ(hw.deviceStart(agg, proc), kNoError);
    const pcm::StreamDescription monoFloat{48000, pcm::kFormatLinearPCM, pcm::kFlagIsFloat | pcm::kFlagIsPacked,
                                           4, 1, 4, 1, 32, 0};
    EXPECT_EQ(hw.deliverIOCycle(agg, 3, monoFloat, 1234, {{0.25f, -0.5f, 1.0f}}), 1u);
    EXPECT_EQ(seen, (std::vector<float>{0.25f, -0.5f, 1.0f}));
    EXPECT_EQ(seenHost, 1234u);

    // A second cycle blocks inside the block; deviceStop must not return before it ends.
    hw.deliverIOCycle(agg, 1, pcm::StreamDescription{}, 0, {}, /*wait=*/false);
    entered.get_future().wait();
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        hw.deviceStop(agg, proc);
        stopped = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(stopped);
    release.set_value();
    stopper.join();
    EXPECT_TRUE(stopped);
    hw.deliverIOCycle(agg, 1, pcm::StreamDescription{}, 0);
    EXPECT_EQ(calls, 2);

    EXPECT_EQ(hw.destroyIOProcID(agg, proc), kNoError);
    EXPECT_EQ(hw.destroyAggregateDevice(agg), kNoError);
    EXPECT_EQ(hw.destroyProcessTap(tap), kNoError);
    EXPECT_TRUE(hw.live().empty());
    EXPECT_TRUE(hw.violations().empty());
    EXPECT_EQ((hw.created()), (Inventory{1, 1, 1, 1, 0, 0, 0, 0}));
}

TEST(SimAudioHardware, TeardownOutOfOrderIsFlagged) {
    SimAudioHardware hw;
    auto queue = dispatch::Queue::makeSerial("velomar.test.io");
    AudioObjectID tap = 0, agg = 0;
    hw.createProcessTap({}, tap);
    AggregateDeviceDescription desc;
    desc.taps.push_back({*hw.tapUID(tap), true});
    hw.createAggregateDevice(desc, agg);
    IOProcID proc = 0;
    hw.createIOProcIDWithBlock(proc, agg, queue, [](auto&&...) {});
    hw.destroyProcessTap(tap);
    hw.destroyAggregateDevice(agg);
    EXPECT_EQ(hw.violations().size(), 2u);
}

struct RenderProbe {
    SimAudioUnits* units = nullptr;
    AudioUnit unit = 0;
    std::vector<std::vector<float>> channels;
    OSStatus lastRender = 0;
    static OSStatus callback(void* refCon, std::uint32_t* flags, const AudioTimeStamp* ts, std::uint32_t bus,
                             std::uint32_t frames, pcm::AudioBufferList*) {
        auto* self = static_cast<RenderProbe*>(refCon);
        pcm::AudioBufferList list;
        for (auto& c : self->channels) {
            c.assign(frames, -9.0f);
            list.buffers.push_back({1, frames * 4, c.data()});
        }
        self->lastRender = self->units->render(self->unit, flags, *ts, bus, frames, list);
        return self->lastRender;
    }
};

TEST(SimAudioUnits, RenderFillsTheClientChannelsOnlyInsideTheCallback) {
    SimAudioHardware hw;
    SimAudioUnits units(hw);
    auto dev = hw.addDevice(SimDevice::input("mic", "Mic", {1, 2}, 44100));
    hw.setDeviceSignal(dev, [](std::uint32_t c, std::uint64_t f) { return float(c) * 1000.0f + float(f); });
    auto comp = units.findNext(0, {kUnitTypeOutput, kUnitSubTypeHALOutput, kUnitManufacturerApple, 0, 0});
    ASSERT_NE(comp, 0u);
    AudioUnit unit = 0;
    ASSERT_EQ(units.instanceNew(comp, unit), kNoError);
    ASSERT_EQ(units.setProperty(unit, unitprop::currentDevice, unitscope::global, 0, &dev, 4), kNoError);
    pcm::StreamDescription hwFormat;
    std::uint32_t size = sizeof hwFormat;
    ASSERT_EQ(units.getProperty(unit, unitprop::streamFormat, unitscope::input, 1, &hwFormat, size), kNoError);
    EXPECT_EQ(hwFormat.channelsPerFrame, 3u);
    EXPECT_EQ(hwFormat.sampleRate, 44100.0);

    pcm::StreamDescription client{44100, pcm::kFormatLinearPCM,
                                  pcm::kFlagIsFloat | pcm::kFlagIsPacked | pcm::kFlagIsNonInterleaved, 4, 1, 4, 2, 32, 0};
    ASSERT_EQ(units.setProperty(unit, unitprop::streamFormat, unitscope::output, 1, &client, sizeof client), kNoError);
    client.sampleRate = 48000;  // the unit does not convert rates
    EXPECT_EQ(units.setProperty(unit, unitprop::streamFormat, unitscope::output, 1, &client, sizeof client),
              unitstatus::invalidPropertyValue);

    RenderProbe probe{&units, unit, {{}, {}}};
    InputCallback cb{&RenderProbe::callback, &probe};
    ASSERT_EQ(units.setProperty(unit, unitprop::setInputCallback, unitscope::global, 0, &cb, sizeof cb), kNoError);
    EXPECT_EQ(units.renderCycle(unit, 4, 0), std::nullopt);  // not running
    ASSERT_EQ(units.outputUnitStart(unit), unitstatus::uninitialized);
    ASSERT_EQ(units.initialize(unit), kNoError);
    ASSERT_EQ(units.outputUnitStart(unit), kNoError);

    EXPECT_EQ(units.renderCycle(unit, 2, 0), kNoError);
    EXPECT_EQ(units.renderCycle(unit, 3, 0), kNoError);
    EXPECT_EQ(probe.channels[0], (std::vector<float>{2, 3, 4}));  // frames continue across cycles
    EXPECT_EQ(probe.channels[1], (std::vector<float>{1002, 1003, 1004}));

    Fault f = Fault::failing("render", -42);
    f.times = 1;
    hw.injectFault(f);
    EXPECT_EQ(units.renderCycle(unit, 3, 0), -42);

    std::vector<float> buf(3);
    pcm::AudioBufferList list{{{1, 12, buf.data()}, {1, 12, buf.data()}}};
    std::uint32_t flags = 0;
    EXPECT_EQ(units.render(unit, &flags, AudioTimeStamp{}, 1, 3, list), unitstatus::cannotDoInCurrentContext);
    EXPECT_EQ(hw.violations().size(), 1u);

    EXPECT_EQ(units.outputUnitStop(unit), kNoError);
    EXPECT_EQ(units.renderCycle(unit, 3, 0), std::nullopt);
    EXPECT_EQ(units.uninitialize(unit), kNoError);
    EXPECT_EQ(units.instanceDispose(unit), kNoError);
    EXPECT_TRUE(hw.live().empty());
}

TEST(SimAuthorization, AnswersOnAnotherThreadAndSettlesTheStatus) {
    SimAuthorization auth;
    auth.setStatus(authorization::notDetermined);
    auth.setAnswer(false);
    auth.holdAnswers(true);
    std::promise<std::pair<bool, std::thread::id>> answer;
    auth.requestAccess([&](bool granted) { answer.set_value({granted, std::this_thread::get_id()}); });
    auto future = answer.get_future();
    EXPECT_EQ(future.wait_for(std::chrono::milliseconds(10)), std::future_status::timeout);
    auth.releaseAnswers();
    auto [granted, thread] = future.get();
    EXPECT_FALSE(granted);
    EXPECT_NE(thread, std::this_thread::get_id());
    EXPECT_EQ(auth.status(), authorization::denied);
    EXPECT_EQ(auth.requests(), 1);
}

}  // namespace
}  // namespace velomar::sim
