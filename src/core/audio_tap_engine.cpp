#include "core/audio_tap_engine.h"

#include <random>

#include "core/capture_error.h"
#include "core/recording_end.h"

namespace velomar {

using platform::AudioObjectID;
using platform::OSStatus;
using platform::PropertyAddress;

namespace {

[[noreturn]] void fail(const std::string& text, OSStatus status) { throw statusFailure(text, status); }

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
      platform_(platform),
      levels_(LevelsMeter::make()),
      mic_(MicSupervisor::make(mixer_, levels_, std::move(preferredDeviceUID), platform)),
      ioQueue_(dispatch::Queue::makeSerial("velomar.tap.io")) {}

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
    auto copy = pcm::deepCopy(*wrapper);
    if (!copy) return;
    const double hostSeconds = pcm::secondsForHostTime(inputTime.hostTime);
    levels_->raiseSystem(pcm::peak(*copy));
    mixer_->ingest(std::move(copy), SourceKey::system, hostSeconds);
}

void AudioTapEngine::stopAndFinalize(std::optional<std::string> reason) {
    if (finished_) return;
    finished_ = true;
    teardown();
    finalizeRecording(*mixer_, out_, reason);
}

void AudioTapEngine::teardown() {
    auto& hw = platform_.hardware;
    levels_->stop();
    mic_->stop();
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
