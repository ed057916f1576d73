#include "core/audio_tap_engine.h"

#include <cmath>
#include <cstring>
#include <random>

#include "core/capture_error.h"
#include "core/events.h"
#include "core/process_exit.h"

namespace velomar {

using platform::AudioObjectID;
using platform::OSStatus;
using platform::PropertyAddress;

namespace {

[[noreturn]] void fail(const std::string& text, OSStatus status) {
    throw CaptureError::capture(text + " (OSStatus " + std::to_string(status) + ")");
}

// Random (version 4) UUID in its 36-character upper-case form.
std::string newUUIDString() {
    std::random_device entropy;
    std::seed_seq seed{entropy(), entropy(), entropy(), entropy(), entropy(), entropy(), entropy(), entropy()};
    std::mt19937 generator(seed);
    std::uint8_t bytes[16];
    for (int i = 0; i < 16; i += 4) {
        const auto word = static_cast<std::uint32_t>(generator());
        for (int b = 0; b < 4; ++b) bytes[i + b] = static_cast<std::uint8_t>(word >> (8 * b));
    }
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 0x0F]);
    }
    return text;
}

// Later entries replace earlier ones of the same key in place.
void mergeField(Fields& fields, std::string key, Value value) {
    for (auto& [existing, current] : fields) {
        if (existing == key) {
            current = std::move(value);
            return;
        }
    }
    fields.emplace_back(std::move(key), std::move(value));
}

}  // namespace

std::shared_ptr<AudioTapEngine> AudioTapEngine::make(std::shared_ptr<Mixer> mixer, std::string out,
                                                     std::optional<std::string> preferredDeviceUID,
                                                     platform::Platform& platform) {
    return std::shared_ptr<AudioTapEngine>(
        new AudioTapEngine(std::move(mixer), std::move(out), std::move(preferredDeviceUID), platform));
}

AudioTapEngine::AudioTapEngine(std::shared_ptr<Mixer> mixer, std::string out,
                               std::optional<std::string> preferredDeviceUID, platform::Platform& platform)
    : mixer_(std::move(mixer)),
      out_(std::move(out)),
      preferredDeviceUID_(std::move(preferredDeviceUID)),
      platform_(platform),
      directory_(platform.hardware),
      ioQueue_(dispatch::Queue::makeSerial("velomar.tap.io")) {}

std::vector<InputDeviceEntry> AudioTapEngine::inputDevices(platform::AudioHardware& hardware) {
    return DeviceDirectory(hardware).inputDevices();
}

void AudioTapEngine::startSystemTap() {
    auto& hw = platform_.hardware;

    platform::TapDescription tap;
    tap.mono = true;
    tap.global = true;
    tap.isPrivate = true;
    tap.muteBehavior = 0;

    AudioObjectID newTap = 0;
    OSStatus status = hw.createProcessTap(tap, newTap);
    if (status != platform::kNoError) fail("AudioHardwareCreateProcessTap failed", status);
    if (newTap == 0) fail("AudioHardwareCreateProcessTap failed", 0);
    tapID_ = newTap;

    const std::string tapUID = readTapUID(tapID_);

    platform::AggregateDeviceDescription aggregate;
    aggregate.name = "Velomar Capture";
    aggregate.uid = "velomar-agg-" + newUUIDString();
    aggregate.isPrivate = true;
    aggregate.isStacked = false;
    aggregate.taps.push_back({tapUID, true});

    AudioObjectID newDevice = 0;
    status = hw.createAggregateDevice(aggregate, newDevice);
    if (status != platform::kNoError) fail("AudioHardwareCreateAggregateDevice failed", status);
    if (newDevice == 0) fail("AudioHardwareCreateAggregateDevice failed", 0);
    aggregateID_ = newDevice;

    pcm::StreamDescription description{};
    std::uint32_t size = sizeof(description);
    status = hw.getPropertyData(aggregateID_,
                                PropertyAddress{platform::selector::streamFormat, platform::scope::input, 0},
                                size, &description);
    if (status != platform::kNoError) fail("could not read tap stream format", status);
    const auto format = pcm::Format::fromStreamDescription(description);
    if (!format) fail("could not read tap stream format", 0);
    systemFormat_ = format;

    std::weak_ptr<AudioTapEngine> weak = weak_from_this();
    platform::IOProcID newProc = 0;
    status = hw.createIOProcIDWithBlock(
        newProc, aggregateID_, ioQueue_,
        [weak](const platform::AudioTimeStamp&, const pcm::AudioBufferList* input,
               const platform::AudioTimeStamp& inputTime, pcm::AudioBufferList*, const platform::AudioTimeStamp&) {
            if (auto self = weak.lock()) self->handleIOCycle(input, inputTime);
        });
    if (status != platform::kNoError) fail("AudioDeviceCreateIOProcIDWithBlock failed", status);
    if (newProc == 0) fail("AudioDeviceCreateIOProcIDWithBlock failed", 0);
    ioProcID_ = newProc;

    status = hw.deviceStart(aggregateID_, *ioProcID_);
    if (status != platform::kNoError) fail("AudioDeviceStart failed", status);
}

std::string AudioTapEngine::readTapUID(AudioObjectID tapID) {
    std::string uid;
    const OSStatus status = platform_.hardware.getStringProperty(
        tapID, PropertyAddress{platform::selector::tapUID, platform::scope::global, 0}, uid);
    if (status != platform::kNoError) fail("read tap UID failed", status);
    return uid;
}

void AudioTapEngine::handleIOCycle(const pcm::AudioBufferList* input, const platform::AudioTimeStamp& inputTime) {
    // Written once before the block is registered, read only here afterwards.
    if (!systemFormat_ || input == nullptr) return;
    const auto wrapper = pcm::Buffer::wrap(*systemFormat_, *input);
    if (!wrapper || wrapper->frameLength() == 0) return;
    // The wrapped memory belongs to the device only for this call; ingest queues its
    // work, so only an owning copy may leave.
    auto copy = deepCopy(*wrapper);
    if (!copy) return;
    const double hostSeconds = pcm::secondsForHostTime(inputTime.hostTime);
    const float level = peak(*copy);
    {
        std::lock_guard<std::mutex> lock(levelsLock_);
        systemPeak_ = std::max(systemPeak_, level);
    }
    mixer_->ingest(std::move(copy), SourceKey::system, hostSeconds);
}

pcm::BufferPtr AudioTapEngine::deepCopy(const pcm::Buffer& source) {
    auto copy = pcm::Buffer::make(source.format(), source.frameCapacity());
    if (!copy) return nullptr;
    copy->setFrameLength(source.frameLength());

    const std::uint32_t frames = source.frameLength();
    const std::uint32_t channels = source.format().channelCount();
    const bool interleaved = source.format().isInterleaved();
    const std::uint32_t blocks = interleaved ? (channels == 0 ? 0 : 1) : channels;
    const std::size_t samplesPerBlock = interleaved ? std::size_t(frames) * channels : frames;
    if (blocks == 0) return copy;

    auto copyBlocks = [&](auto* const* from, auto* const* to) {
        if (samplesPerBlock == 0) return;
        for (std::uint32_t b = 0; b < blocks; ++b)
            std::memcpy(to[b], from[b], samplesPerBlock * sizeof(**from));
    };
    if (source.floatChannelData() && copy->floatChannelData()) {
        copyBlocks(source.floatChannelData(), copy->floatChannelData());
    } else if (source.int16ChannelData() && copy->int16ChannelData()) {
        copyBlocks(source.int16ChannelData(), copy->int16ChannelData());
    } else if (source.int32ChannelData() && copy->int32ChannelData()) {
        copyBlocks(source.int32ChannelData(), copy->int32ChannelData());
    } else {
        return nullptr;
    }
    return copy;
}

float AudioTapEngine::peak(const pcm::Buffer& buffer) {
    float* const* data = buffer.floatChannelData();
    if (data == nullptr) return 0;
    const std::uint32_t frames = buffer.frameLength();
    if (frames == 0) return 0;
    const std::uint32_t channels = buffer.format().channelCount();
    if (channels == 0) return 0;

    // Interleaved float has one block holding every channel; otherwise one per channel.
    const std::uint32_t blocks = buffer.format().isInterleaved() ? 1 : channels;
    const std::size_t samples = buffer.format().isInterleaved() ? std::size_t(frames) * channels : frames;
    float m = 0;
    for (std::uint32_t b = 0; b < blocks; ++b) {
        const float* block = data[b];
        for (std::size_t i = 0; i < samples; ++i) {
            const float magnitude = std::fabs(block[i]);
            if (m < magnitude) m = magnitude;  // NaN never wins
        }
    }
    return m;
}

void AudioTapEngine::stopAndFinalize(std::optional<std::string> reason) {
    if (finished_) return;
    finished_ = true;
    teardown();
    mixer_->finish();

    Fields fields;
    fields.emplace_back("out", out_);
    fields.emplace_back("seconds", mixer_->writer().recordedSeconds());
    for (auto& [key, value] : mixer_->diagnostics()) mergeField(fields, key, value);
    if (reason) mergeField(fields, "reason", *reason);
    emit("stopped", fields);
    exitProcess(0);
}

void AudioTapEngine::teardown() {
    auto& hw = platform_.hardware;
    if (levelsTimer_) {
        levelsTimer_->cancel();
        levelsTimer_.reset();
    }
    if (configObserver_) {
        hw.removePropertyListener(
            platform::kSystemObject,
            PropertyAddress{platform::selector::defaultInputDevice, platform::scope::global, 0},
            dispatch::Queue::main(), configObserver_);
        configObserver_.reset();
    }
    if (mic_) {
        mic_->stop();
        mic_.reset();
    }
    if (ioProcID_) {
        hw.deviceStop(aggregateID_, *ioProcID_);
        hw.destroyIOProcID(aggregateID_, *ioProcID_);
        ioProcID_.reset();
    }
    if (aggregateID_ != 0) {
        hw.destroyAggregateDevice(aggregateID_);
        aggregateID_ = 0;
    }
    if (tapID_ != 0) {
        hw.destroyProcessTap(tapID_);
        tapID_ = 0;
    }
}

}  // namespace velomar
