#pragma once
// The tap engine's microphone: permission, opening the chosen (or default) input device
// through a MicUnit, the silence watchdog, and reopening on a change of the default
// input. Every microphone buffer raises the levels meter's peak and goes to the mixer
// as "mic". Timers and the listener reach it through weak references only.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/device_directory.h"
#include "core/levels_meter.h"
#include "core/mic_unit.h"
#include "core/mixer.h"
#include "platform/audio_hardware.h"
#include "platform/platform.h"

namespace velomar {

class MicSupervisor : public std::enable_shared_from_this<MicSupervisor> {
public:
    // A buffer counts as signal when its peak is strictly above this.
    static constexpr float kSignalThreshold = 0.0005f;
    static constexpr double kWatchdogDelaySeconds = 6.0;

    static std::shared_ptr<MicSupervisor> make(std::shared_ptr<Mixer> mixer, std::shared_ptr<LevelsMeter> levels,
                                               std::optional<std::string> preferredDeviceUID,
                                               platform::Platform& platform);

    // Throws CaptureError; may block until the user has answered the system prompt.
    void ensureMicAuthorized();
    std::optional<platform::AudioObjectID> resolveInputDevice();
    // Stops the current unit, if any, and opens a new one; throws CaptureError.
    void openMic(const std::string& reason);
    // One silence check ahead; supersedes any check armed before.
    void armMicWatchdog();
    // Installs the default-input listener; a second call does nothing.
    void observeConfigurationChanges();
    // Removes the listener and stops the unit; afterwards no check or listener call
    // reports anything. Safe to call any number of times.
    void stop();

private:
    MicSupervisor(std::shared_ptr<Mixer> mixer, std::shared_ptr<LevelsMeter> levels,
                  std::optional<std::string> preferredDeviceUID, platform::Platform& platform);

    void micSink(pcm::BufferPtr buffer, double hostSeconds);
    void watchdogCheck(std::int64_t generation);
    void defaultInputChanged();
    std::string deviceName(std::optional<platform::AudioObjectID> device) const;

    std::shared_ptr<Mixer> mixer_;
    std::shared_ptr<LevelsMeter> levels_;
    std::optional<std::string> preferredDeviceUID_;
    platform::Platform& platform_;
    DeviceDirectory directory_;

    std::shared_ptr<MicUnit> mic_;
    bool stopped_ = false;
    std::atomic<std::int64_t> micBuffersSeen_{0};
    std::atomic<bool> micSignalSeen_{false};
    std::int64_t micWatchdogGeneration_ = 0;
    platform::PropertyListenerRef configObserver_;
};

}  // namespace velomar
