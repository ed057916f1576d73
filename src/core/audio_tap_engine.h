#pragma once
// The default capture engine: system audio from a process tap on the global output mix
// (through a private aggregate device and an I/O block), the microphone through a
// MicUnit, a levels meter and the microphone's supervision. Held by a shared_ptr; every
// callback that may outlive it holds a weak_ptr and does nothing once it is gone.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/device_directory.h"
#include "core/mic_unit.h"
#include "core/mixer.h"
#include "platform/audio_hardware.h"
#include "platform/dispatch.h"
#include "platform/pcm.h"
#include "platform/stream_capture.h"

namespace velomar {

class AudioTapEngine : public std::enable_shared_from_this<AudioTapEngine> {
public:
    static std::shared_ptr<AudioTapEngine> make(std::shared_ptr<Mixer> mixer, std::string out,
                                                std::optional<std::string> preferredDeviceUID,
                                                platform::Platform& platform);

    // System-audio tap (all throw CaptureError).
    void startSystemTap();
    std::string readTapUID(platform::AudioObjectID tapID);
    static pcm::BufferPtr deepCopy(const pcm::Buffer& source);
    static float peak(const pcm::Buffer& buffer);
    // Runs once; ends with exitProcess(0).
    void stopAndFinalize(std::optional<std::string> reason);
    void teardown();

    // Levels meter.
    void startLevelsTimer();

    // Microphone supervision.
    void ensureMicAuthorized();
    std::optional<platform::AudioObjectID> resolveInputDevice();
    void openMic(const std::string& reason);
    void armMicWatchdog();
    void observeConfigurationChanges();

    // Device directory used by --list-devices.
    static std::vector<InputDeviceEntry> inputDevices(platform::AudioHardware& hardware);

    // Read-only views for tests.
    platform::AudioObjectID tapID() const { return tapID_; }
    platform::AudioObjectID aggregateID() const { return aggregateID_; }
    std::optional<platform::IOProcID> ioProcID() const { return ioProcID_; }
    bool finished() const { return finished_; }
    bool hasMic() const { return mic_ != nullptr; }
    bool hasConfigObserver() const { return configObserver_ != nullptr; }
    bool hasLevelsTimer() const { return levelsTimer_ != nullptr; }

    static constexpr float kSignalThreshold = 0.0005f;
    static constexpr double kWatchdogDelaySeconds = 6.0;
    static constexpr double kLevelsIntervalSeconds = 0.1;

private:
    AudioTapEngine(std::shared_ptr<Mixer> mixer, std::string out,
                   std::optional<std::string> preferredDeviceUID, platform::Platform& platform);

    void handleIOCycle(const pcm::AudioBufferList* input, const platform::AudioTimeStamp& inputTime);
    void micSink(pcm::BufferPtr buffer, double hostSeconds);
    void watchdogCheck(std::int64_t generation);
    void defaultInputChanged();
    void levelsTick();

    std::shared_ptr<Mixer> mixer_;
    std::string out_;
    std::optional<std::string> preferredDeviceUID_;
    platform::Platform& platform_;
    DeviceDirectory directory_;

    std::shared_ptr<MicUnit> mic_;
    platform::AudioObjectID tapID_ = 0;
    platform::AudioObjectID aggregateID_ = 0;
    std::optional<platform::IOProcID> ioProcID_;
    std::optional<pcm::Format> systemFormat_;
    std::shared_ptr<dispatch::Queue> ioQueue_;
    bool finished_ = false;
    std::atomic<std::int64_t> micBuffersSeen_{0};
    std::atomic<bool> micSignalSeen_{false};
    std::int64_t micWatchdogGeneration_ = 0;
    platform::PropertyListenerRef configObserver_;
    std::mutex levelsLock_;
    float micPeak_ = 0;
    float systemPeak_ = 0;
    std::shared_ptr<dispatch::TimerSource> levelsTimer_;
};

}  // namespace velomar
