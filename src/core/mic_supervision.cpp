#include <condition_variable>
#include <mutex>

#include "core/audio_tap_engine.h"
#include "core/capture_error.h"
#include "core/events.h"

namespace velomar {

using platform::AudioObjectID;

namespace {

const platform::PropertyAddress kDefaultInputAddress{platform::selector::defaultInputDevice,
                                                     platform::scope::global, 0};

}  // namespace

void AudioTapEngine::ensureMicAuthorized() {
    const std::int32_t status = platform_.authorization.status();
    if (status == platform::authorization::restricted || status == platform::authorization::denied) {
        throw CaptureError::capture(
            "microphone access denied — grant it in System Settings → Privacy & Security → Microphone");
    }
    if (status != platform::authorization::notDetermined) return;

    // Shared with the handler, which may still be finishing after the wait returns.
    struct Answer {
        std::mutex lock;
        std::condition_variable answered;
        bool done = false;
        bool granted = false;
    };
    auto answer = std::make_shared<Answer>();
    platform_.authorization.requestAccess([answer](bool granted) {
        std::lock_guard<std::mutex> lock(answer->lock);
        if (answer->done) return;
        answer->granted = granted;
        answer->done = true;
        answer->answered.notify_all();
    });
    std::unique_lock<std::mutex> lock(answer->lock);
    answer->answered.wait(lock, [&] { return answer->done; });
    if (!answer->granted) throw CaptureError::capture("microphone access was denied at the system prompt");
}

std::optional<AudioObjectID> AudioTapEngine::resolveInputDevice() {
    if (preferredDeviceUID_) {
        if (auto device = directory_.inputDeviceID(*preferredDeviceUID_)) return device;
    }
    return directory_.defaultInputDevice();
}

void AudioTapEngine::openMic(const std::string& reason) {
    if (mic_) mic_->stop();
    mic_.reset();

    const auto device = resolveInputDevice();
    if (!device) throw CaptureError::capture("no audio input device available");

    bool pinned = false;
    if (preferredDeviceUID_) {
        const auto named = directory_.inputDeviceID(*preferredDeviceUID_);
        pinned = named && *named == *device;
        if (!pinned) emit("mic-device-missing", {{"deviceUID", *preferredDeviceUID_}});
    }

    std::weak_ptr<AudioTapEngine> weak = weak_from_this();
    auto unit = MicUnit::make(platform_.units, [weak](pcm::BufferPtr buffer, double hostSeconds) {
        if (auto self = weak.lock()) self->micSink(std::move(buffer), hostSeconds);
    });
    micBuffersSeen_.store(0);
    micSignalSeen_.store(false);
    try {
        unit->start(*device);
    } catch (...) {
        // A unit that failed part-way may hold an instance that was never started.
        unit->stop();
        throw;
    }
    mic_ = std::move(unit);

    emit("mic-format", {{"sampleRate", directory_.nominalSampleRate(*device).value_or(0.0)},
                        {"channels", directory_.inputChannelCount(*device)},
                        {"device", directory_.stringProperty(platform::selector::name, *device).value_or("unknown")},
                        {"deviceUID",
                         directory_.stringProperty(platform::selector::deviceUID, *device).value_or("unknown")},
                        {"reason", reason},
                        {"pinned", pinned}});
}

void AudioTapEngine::micSink(pcm::BufferPtr buffer, double hostSeconds) {
    micBuffersSeen_.fetch_add(1);
    const float level = buffer ? peak(*buffer) : 0.0f;
    if (!micSignalSeen_.load() && level > kSignalThreshold) micSignalSeen_.store(true);
    {
        std::lock_guard<std::mutex> lock(levelsLock_);
        if (micPeak_ <= level) micPeak_ = level;
    }
    if (buffer) mixer_->ingest(std::move(buffer), SourceKey::mic, hostSeconds);
}

void AudioTapEngine::armMicWatchdog() {
    const std::int64_t generation = ++micWatchdogGeneration_;
    std::weak_ptr<AudioTapEngine> weak = weak_from_this();
    dispatch::Queue::main().asyncAfter(kWatchdogDelaySeconds, [weak, generation] {
        if (auto self = weak.lock()) self->watchdogCheck(generation);
    });
}

void AudioTapEngine::watchdogCheck(std::int64_t generation) {
    if (!mic_ || finished_ || micWatchdogGeneration_ != generation || micSignalSeen_.load()) return;
    const std::int64_t seen = micBuffersSeen_.load();
    std::string device = "unknown";
    if (const auto id = mic_->deviceID()) {
        device = directory_.stringProperty(platform::selector::name, *id).value_or("unknown");
    }
    emit("mic-silent", {{"seenBuffers", seen}, {"reason", seen == 0 ? "no-buffers" : "no-signal"}, {"device", device}});
}

void AudioTapEngine::observeConfigurationChanges() {
    if (configObserver_) return;
    std::weak_ptr<AudioTapEngine> weak = weak_from_this();
    auto listener = std::make_shared<const platform::PropertyListener>(
        [weak](std::uint32_t, const platform::PropertyAddress*) {
            if (auto self = weak.lock()) self->defaultInputChanged();
        });
    const platform::OSStatus status = platform_.hardware.addPropertyListener(
        platform::kSystemObject, kDefaultInputAddress, dispatch::Queue::main(), listener);
    if (status != platform::kNoError) return;
    configObserver_ = std::move(listener);
}

void AudioTapEngine::defaultInputChanged() {
    if (finished_ || preferredDeviceUID_) return;
    try {
        openMic("route-change");
    } catch (const std::exception& error) {
        emit("mic-rebind-failed", {{"message", errorText(error)}});
        return;
    }
    armMicWatchdog();
    std::string device = "unknown";
    if (const auto id = resolveInputDevice()) {
        device = directory_.stringProperty(platform::selector::name, *id).value_or("unknown");
    }
    emit("mic-rebound", {{"device", device}});
}

}  // namespace velomar
