#include "core/mic_unit.h"

#include <algorithm>

#include "core/capture_error.h"
#include "core/number_text.h"

namespace velomar {
using namespace platform;

namespace {

// Cycles this long would overflow the 32-bit byte size of a channel (frames × 4).
constexpr std::uint32_t kMaxCycleFrames = 1u << 30;
constexpr OSStatus kParamError = -50;

// Registered with the unit; refCon is the MicUnit's callbackRef_. The strong reference
// keeps the MicUnit alive for the whole cycle.
OSStatus micRenderCallback(void* refCon, std::uint32_t* flags, const AudioTimeStamp* timeStamp,
                           std::uint32_t bus, std::uint32_t frames, pcm::AudioBufferList* /*data*/) {
    auto* ref = static_cast<std::weak_ptr<MicUnit>*>(refCon);
    if (ref == nullptr || timeStamp == nullptr) return kNoError;
    auto mic = ref->lock();
    if (!mic) return kNoError;
    return mic->render(flags, *timeStamp, bus, frames);
}

}  // namespace

std::shared_ptr<MicUnit> MicUnit::make(AudioUnits& units, Sink sink) {
    return std::shared_ptr<MicUnit>(new MicUnit(units, std::move(sink)));
}

MicUnit::MicUnit(AudioUnits& units, Sink sink) : units_(units), sink_(std::move(sink)) {}

MicUnit::~MicUnit() {
    // The unit's refCon points into this object; a unit left running would call into
    // freed memory, so a forgotten stop() is made up for here.
    stop();
}

void MicUnit::check(OSStatus status, const std::string& what) {
    if (status == kNoError) return;
    throw statusFailure(what + " failed", status);
}

void MicUnit::start(AudioObjectID device) {
    // A second start must not orphan a running unit that still calls back into us.
    stop();

    const ComponentDescription description{kUnitTypeOutput, kUnitSubTypeHALOutput, kUnitManufacturerApple, 0, 0};
    const AudioComponent component = units_.findNext(0, description);
    if (component == 0) throw CaptureError::capture("no HAL audio unit available");

    AudioUnit instance = 0;
    check(units_.instanceNew(component, instance), "AudioComponentInstanceNew");
    if (instance == 0) throw CaptureError::capture("HAL unit was not created");
    unit_ = instance;

    const std::uint32_t on = 1;
    const std::uint32_t off = 0;
    check(units_.setProperty(unit_, unitprop::enableIO, unitscope::input, 1, &on, sizeof on), "enable input");
    check(units_.setProperty(unit_, unitprop::enableIO, unitscope::output, 0, &off, sizeof off), "disable output");

    check(units_.setProperty(unit_, unitprop::currentDevice, unitscope::global, 0, &device, sizeof device),
          "set current device");
    deviceID_ = device;

    pcm::StreamDescription hardware{};
    std::uint32_t size = sizeof hardware;
    check(units_.getProperty(unit_, unitprop::streamFormat, unitscope::input, 1, &hardware, size),
          "read hardware format");
    if (!(hardware.sampleRate > 0) || hardware.channelsPerFrame == 0) {
        throw CaptureError::capture("microphone reports no audio (channels=" +
                                    std::to_string(hardware.channelsPerFrame) +
                                    ", sampleRate=" + decimalWithFraction(hardware.sampleRate) +
                                    ") — probably a permission or routing problem");
    }

    const std::uint32_t channels = std::min<std::uint32_t>(hardware.channelsPerFrame, 2);
    auto client = pcm::Format::common(pcm::SampleType::float32, hardware.sampleRate, channels, false);
    if (!client) throw CaptureError::capture("could not build a client format for the microphone");
    const pcm::StreamDescription clientDescription = client->streamDescription();
    check(units_.setProperty(unit_, unitprop::streamFormat, unitscope::output, 1, &clientDescription,
                             sizeof clientDescription),
          "set client format");
    format_ = client;

    if (!callbackRef_) callbackRef_ = std::make_unique<std::weak_ptr<MicUnit>>(weak_from_this());
    const InputCallback callback{&micRenderCallback, callbackRef_.get()};
    check(units_.setProperty(unit_, unitprop::setInputCallback, unitscope::global, 0, &callback, sizeof callback),
          "set input callback");

    check(units_.initialize(unit_), "AudioUnitInitialize");
    check(units_.outputUnitStart(unit_), "AudioOutputUnitStart");
}

void MicUnit::stop() {
    if (unit_ == 0) return;
    // Once outputUnitStop has returned no cycle runs, so the list is ours alone.
    units_.outputUnitStop(unit_);
    units_.uninitialize(unit_);
    units_.instanceDispose(unit_);
    unit_ = 0;
    renderBufferList_.reset();
    renderCapacityFrames_ = 0;
}

OSStatus MicUnit::render(std::uint32_t* flags, const AudioTimeStamp& timeStamp, std::uint32_t bus,
                         std::uint32_t frames) {
    if (unit_ == 0 || !format_) return kNoError;
    if (frames >= kMaxCycleFrames) return kParamError;
    const std::uint32_t channels = format_->channelCount();

    if (!renderBufferList_ || renderCapacityFrames_ < frames) {
        renderBufferList_.emplace();
        renderBufferList_->buffers.resize(channels);
        renderCapacityFrames_ = frames;
    }

    pcm::BufferPtr buffer = pcm::Buffer::make(*format_, frames);
    if (!buffer) return kNoError;
    buffer->setFrameLength(frames);
    float* const* data = buffer->floatChannelData();
    if (data == nullptr) return kNoError;

    auto& list = *renderBufferList_;
    for (std::uint32_t i = 0; i < channels; ++i) list.buffers[i] = {1, frames * 4, data[i]};
    const OSStatus status = units_.render(unit_, flags, timeStamp, bus, frames, list);
    // The entries point into a buffer that is about to leave; do not keep them around.
    for (auto& entry : list.buffers) entry.data = nullptr;
    if (status != kNoError) return status;

    const double hostSeconds = pcm::secondsForHostTime(timeStamp.hostTime);
    if (sink_) sink_(std::move(buffer), hostSeconds);
    return kNoError;
}

}  // namespace velomar
