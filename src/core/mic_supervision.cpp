#include "core/mic_supervision.h"

#include "core/awaited_answer.h"
#include "core/capture_error.h"
#include "core/events.h"

namespace velomar {

using platform::AudioObjectID;

namespace {

const platform::PropertyAddress kDefaultInputAddress{platform::selector::defaultInputDevice,
                                                     platform::scope::global, 0};

}  // namespace

std::shared_ptr<MicSupervisor> MicSupervisor::make(std::shared_ptr<Mixer> mixer, std::shared_ptr<LevelsMeter> levels,
                                                   std::optional<std::string> preferredDeviceUID,
                                                   platform::Platform& platform) {
    return std::shared_ptr<MicSupervisor>(
        new MicSupervisor(std::move(mixer), std::move(levels), std::move(preferredDeviceUID), platform));
}

MicSupervisor::MicSupervisor(std::shared_ptr<Mixer> mixer, std::shared_ptr<LevelsMeter> levels,
                             std::optional<std::string> preferredDeviceUID, platform::Platform& platform)
    : mixer_(std::move(mixer)),
      levels_(std::move(levels)),
      preferredDeviceUID_(std::move(preferredDeviceUID)),
      platform_(platform),
      directory_(platform.hardware) {}

void MicSupervisor::ensureMicAuthorized() {
    const std::int32_t status = platform_.authorization.status();
    if (status == platform::authorization::restricted || status == platform::authorization::denied) {
        throw CaptureError::capture(
            "microphone access denied — grant it in System Settings → Privacy & Security → Microphone");
    }
    if (status != platform::authorization::notDetermined) return;

    auto answer = std::make_shared<AwaitedAnswer<bool>>();
    platform_.authorization.requestAccess([answer](bool granted) { answer->set(granted); });
    if (!answer->wait()) throw CaptureError::capture("microphone access was denied at the system prompt");
}

std::optional<AudioObjectID> MicSupervisor::resolveInputDevice() {
    if (preferredDeviceUID_) {
        if (auto device = directory_.inputDeviceID(*preferredDeviceUID_)) return device;
    }
    return directory_.defaultInputDevice();
}

std::string MicSupervisor::deviceName(std::optional<AudioObjectID> device) const {
    if (!device) return "unknown";
    return directory_.stringProperty(platform::selector::name, *device).value_or("unknown");
}

void MicSupervisor::openMic(const std::string& reason) {
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

    std::weak_ptr<MicSupervisor> weak = weak_from_this();
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
                        {"device", deviceName(device)},
                        {"deviceUID",
                         directory_.stringProperty(platform::selector::deviceUID, *device).value_or("unknown")},
                        {"reason", reason},
                        {"pinned", pinned}});
}

void MicSupervisor::micSink(pcm::BufferPtr buffer, double hostSeconds) {
    micBuffersSeen_.fetch_add(1);
    const float level = buffer ? pcm::peak(*buffer) : 0.0f;
    if (!micSignalSeen_.load() && level > kSignalThreshold) micSignalSeen_.store(true);
    levels_->raiseMic(level);
    if (buffer) mixer_->ingest(std::move(buffer), SourceKey::mic, hostSeconds);
}

void MicSupervisor::armMicWatchdog() {
    const std::int64_t generation = ++micWatchdogGeneration_;
    std::weak_ptr<MicSupervisor> weak = weak_from_this();
    dispatch::Queue::main().asyncAfter(kWatchdogDelaySeconds, [weak, generation] {
        if (auto self = weak.lock()) self->watchdogCheck(generation);
    });
}

void MicSupervisor::watchdogCheck(std::int64_t generation) {
    if (!mic_ || stopped_ || micWatchdogGeneration_ != generation || micSignalSeen_.load()) return;
    const std::int64_t seen = micBuffersSeen_.load();
    emit("mic-silent",
         {{"seenBuffers", seen}, {"reason", seen == 0 ? "no-buffers" : "no-signal"}, {"device", deviceName(mic_->deviceID())}});
}

void MicSupervisor::observeConfigurationChanges() {
    if (configObserver_) return;
    std::weak_ptr<MicSupervisor> weak = weak_from_this();
    auto listener = std::make_shared<const platform::PropertyListener>(
        [weak](std::uint32_t, const platform::PropertyAddress*) {
            if (auto self = weak.lock()) self->defaultInputChanged();
        });
    const platform::OSStatus status = platform_.hardware.addPropertyListener(
        platform::kSystemObject, kDefaultInputAddress, dispatch::Queue::main(), listener);
    if (status != platform::kNoError) return;
    configObserver_ = std::move(listener);
}

void MicSupervisor::defaultInputChanged() {
    if (stopped_ || preferredDeviceUID_) return;
    try {
        openMic("route-change");
    } catch (const std::exception& error) {
        emit("mic-rebind-failed", {{"message", errorText(error)}});
        return;
    }
    armMicWatchdog();
    emit("mic-rebound", {{"device", deviceName(resolveInputDevice())}});
}

void MicSupervisor::stop() {
    stopped_ = true;
    if (configObserver_) {
        platform_.hardware.removePropertyListener(platform::kSystemObject, kDefaultInputAddress,
                                                  dispatch::Queue::main(), configObserver_);
        configObserver_.reset();
    }
    if (mic_) {
        mic_->stop();
        mic_.reset();
    }
}

}  // namespace velomar
