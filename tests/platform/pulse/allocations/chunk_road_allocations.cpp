// The backend's chunk road, from the server's memory to the consumer's callback, counted
// with a replaced global operator new: after warm-up it allocates nothing per chunk. A
// binary of its own, so that the replacement touches no other test. libpulse allocates
// with malloc and is not counted; the dispatch queue's item list is (see kPerChunk).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/device_directory.h"
#include "platform/dispatch.h"
#include "platform/pcm.h"
#include "platform/pulse/pulse_hardware.h"
#include "platform/pulse/pulse_stream_capture.h"
#include "platform/pulse/test_server.h"

namespace {
std::atomic<bool> gCounting{false};
std::atomic<long> gAllocations{0};

void* counted(std::size_t size) {
    if (gCounting.load(std::memory_order_relaxed)) gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* countedAligned(std::size_t size, std::align_val_t align) {
    if (gCounting.load(std::memory_order_relaxed)) gAllocations.fetch_add(1, std::memory_order_relaxed);
    const auto a = static_cast<std::size_t>(align);
    if (void* p = std::aligned_alloc(a, (size + a - 1) / a * a)) return p;
    throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return counted(size); }
void* operator new[](std::size_t size) { return counted(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return counted(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& t) noexcept { return operator new(size, t); }
void* operator new(std::size_t size, std::align_val_t align) { return countedAligned(size, align); }
void* operator new[](std::size_t size, std::align_val_t align) { return countedAligned(size, align); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace velomar {
namespace {

using namespace platform;
using testing::Background;
using testing::toneCommand;
using testing::waitUntil;

// A dispatch queue keeps its items in a std::deque of 32-byte functions: one new block
// every 16 items, so 1/16 allocation per chunk and queue it passes (the tap's chunks
// pass the input queue and the block's, 2/16: measured 20 in 160 chunks); nothing else
// on the road may allocate.
constexpr double kPerChunk = 0.15;
constexpr double kWarmUpSeconds = 1.0;
constexpr double kCountedSeconds = 4.0;

// Counts allocations while chunks flow; `chunks` reads how many reached the consumer.
void expectNoAllocationPerChunk(const char* road, const std::function<long()>& chunks) {
    ASSERT_TRUE(waitUntil([&] { return chunks() > 0; }, 10)) << road << ": nothing delivered";
    std::this_thread::sleep_for(std::chrono::duration<double>(kWarmUpSeconds));
    const long before = chunks();
    gAllocations = 0;
    gCounting = true;
    std::this_thread::sleep_for(std::chrono::duration<double>(kCountedSeconds));
    gCounting = false;
    const long allocations = gAllocations;
    const long counted = chunks() - before;
    std::printf("[ figures  ] %s: %ld chunks, %ld allocations in %.0f s\n", road, counted, allocations,
                kCountedSeconds);
    EXPECT_GT(counted, static_cast<long>(kCountedSeconds * 10)) << road;
    EXPECT_LE(static_cast<double>(allocations), kPerChunk * static_cast<double>(counted) + 2) << road;
}

class ChunkRoadAllocations : public ::testing::Test {
protected:
    void SetUp() override {
        VELOMAR_REQUIRE_SERVER();
        ASSERT_TRUE(testing::setDefaults("velomar_speakers", "velomar_mic"));
        registry_ = std::make_shared<pulse::NameRegistry>();
        hw_ = std::make_shared<pulse::PulseHardware>(registry_);
    }
    std::shared_ptr<pulse::NameRegistry> registry_;
    std::shared_ptr<pulse::PulseHardware> hw_;
};

TEST_F(ChunkRoadAllocations, TapBlockOfAStereoOutputDownmixedToMono) {
    Background tone(toneCommand("velomar_speakers", 440, 0.5, 2));
    auto queue = dispatch::Queue::makeSerial("velomar.test.tap");
    std::atomic<long> calls{0};
    AudioObjectID tap = 0, aggregate = 0;
    IOProcID proc = 0;
    ASSERT_EQ(hw_->createProcessTap(TapDescription{}, tap), kNoError);
    std::string tapUID;
    ASSERT_EQ(hw_->getStringProperty(tap, {selector::tapUID, scope::global, 0}, tapUID), kNoError);
    AggregateDeviceDescription agg;
    agg.uid = "velomar-agg-alloc";
    agg.taps.push_back({tapUID, true});
    ASSERT_EQ(hw_->createAggregateDevice(agg, aggregate), kNoError);
    ASSERT_EQ(hw_->createIOProcIDWithBlock(proc, aggregate, queue,
                                           [&calls](const AudioTimeStamp&, const pcm::AudioBufferList* input,
                                                    const AudioTimeStamp&, pcm::AudioBufferList*,
                                                    const AudioTimeStamp&) {
                                               if (input && !input->buffers.empty()) ++calls;
                                           }),
              kNoError);
    ASSERT_EQ(hw_->deviceStart(aggregate, proc), kNoError);
    expectNoAllocationPerChunk("tap", [&] { return calls.load(); });
    EXPECT_EQ(hw_->deviceStop(aggregate, proc), kNoError);
    EXPECT_EQ(hw_->destroyIOProcID(aggregate, proc), kNoError);
    EXPECT_EQ(hw_->destroyAggregateDevice(aggregate), kNoError);
    EXPECT_EQ(hw_->destroyProcessTap(tap), kNoError);
}

// The input unit's callback renders into buffers of its own, made once.
struct Renderer {
    AudioUnits* units = nullptr;
    AudioUnit unit = 0;
    pcm::AudioBufferList list;
    std::vector<float> memory = std::vector<float>(48000);
    std::atomic<long> calls{0};
    std::atomic<long> failures{0};

    static OSStatus input(void* refCon, std::uint32_t* flags, const AudioTimeStamp* ts, std::uint32_t bus,
                          std::uint32_t frames, pcm::AudioBufferList*) {
        auto* self = static_cast<Renderer*>(refCon);
        self->list.buffers[0].dataByteSize = static_cast<std::uint32_t>(self->memory.size() * sizeof(float));
        if (self->units->render(self->unit, flags, *ts, bus, frames, self->list) != kNoError) {
            ++self->failures;
        } else {
            ++self->calls;
        }
        return kNoError;
    }
};

TEST_F(ChunkRoadAllocations, InputUnitCallbackAndRender) {
    Background tone(toneCommand("velomar_mic_feed", 300, 0.4, 1));
    DeviceDirectory directory(*hw_);
    auto mic = directory.inputDeviceID("velomar_mic");
    ASSERT_TRUE(mic);
    AudioUnits& units = *hw_;
    ComponentDescription description;
    description.type = kUnitTypeOutput;
    description.subType = kUnitSubTypeHALOutput;
    description.manufacturer = kUnitManufacturerApple;
    const AudioComponent component = units.findNext(0, description);
    ASSERT_NE(component, 0u);
    Renderer r;
    r.units = &units;
    ASSERT_EQ(units.instanceNew(component, r.unit), kNoError);
    r.list.buffers.push_back({1, static_cast<std::uint32_t>(r.memory.size() * sizeof(float)), r.memory.data()});
    const std::uint32_t on = 1, off = 0;
    const AudioObjectID device = *mic;
    ASSERT_EQ(units.setProperty(r.unit, unitprop::enableIO, unitscope::input, 1, &on, sizeof on), kNoError);
    ASSERT_EQ(units.setProperty(r.unit, unitprop::enableIO, unitscope::output, 0, &off, sizeof off), kNoError);
    ASSERT_EQ(units.setProperty(r.unit, unitprop::currentDevice, unitscope::global, 0, &device, sizeof device),
              kNoError);
    pcm::StreamDescription client{};
    client.sampleRate = 48000;
    client.formatID = pcm::kFormatLinearPCM;
    client.formatFlags = pcm::kFlagIsFloat | pcm::kFlagIsPacked | pcm::kFlagIsNonInterleaved;
    client.framesPerPacket = 1;
    client.bytesPerFrame = 4;
    client.bytesPerPacket = 4;
    client.channelsPerFrame = 1;
    client.bitsPerChannel = 32;
    ASSERT_EQ(units.setProperty(r.unit, unitprop::streamFormat, unitscope::output, 1, &client, sizeof client),
              kNoError);
    const InputCallback callback{&Renderer::input, &r};
    ASSERT_EQ(units.setProperty(r.unit, unitprop::setInputCallback, unitscope::global, 0, &callback, sizeof callback),
              kNoError);
    ASSERT_EQ(units.initialize(r.unit), kNoError);
    ASSERT_EQ(units.outputUnitStart(r.unit), kNoError);
    expectNoAllocationPerChunk("input unit", [&] { return r.calls.load(); });
    EXPECT_EQ(units.outputUnitStop(r.unit), kNoError);
    EXPECT_EQ(r.failures, 0);
    units.uninitialize(r.unit);
    units.instanceDispose(r.unit);
}

struct Counter : StreamOutput, StreamDelegate {
    std::atomic<long> buffers{0};
    void streamDidOutput(Stream&, const SampleBuffer& buffer, StreamOutputType) override {
        if (buffer.isValid() && buffer.numSamples() > 0) ++buffers;
    }
    void streamDidStop(Stream&, const StreamError&) override {}
};

TEST_F(ChunkRoadAllocations, StreamCaptureOfSystemAudioAndMicrophone) {
    Background system(toneCommand("velomar_speakers", 500, 0.5, 2));
    Background mic(toneCommand("velomar_mic_feed", 700, 0.5, 1));
    pulse::PulseStreamCapture capture(registry_);
    std::promise<std::optional<ShareableContent>> content;
    capture.getShareableContent(false, false, [&](auto c, auto) { content.set_value(c); });
    auto c = content.get_future().get();
    ASSERT_TRUE(c && !c->displays.empty());
    auto counter = std::make_shared<Counter>();
    StreamConfiguration config;
    config.capturesAudio = true;
    config.captureMicrophone = true;
    auto stream = capture.makeStream({c->displays[0], {}}, config, counter);
    auto queue = dispatch::Queue::makeSerial("velomar.test.capture");
    ASSERT_FALSE(stream->addStreamOutput(counter, StreamOutputType::audio, queue));
    ASSERT_FALSE(stream->addStreamOutput(counter, StreamOutputType::microphone, queue));
    std::promise<std::optional<StreamError>> started;
    stream->startCapture([&](std::optional<StreamError> e) { started.set_value(e); });
    ASSERT_FALSE(started.get_future().get());
    expectNoAllocationPerChunk("stream capture", [&] { return counter->buffers.load(); });
    std::promise<void> stopped;
    stream->stopCapture([&](std::optional<StreamError>) { stopped.set_value(); });
    stopped.get_future().wait();
}

}  // namespace
}  // namespace velomar
