#pragma once
// The default capture engine: system audio from a process tap on the global output mix
// (through a private aggregate device and an I/O block), the microphone through its
// supervisor, and the levels meter both feed. Held by a shared_ptr; every callback that
// may outlive it holds a weak_ptr and does nothing once it is gone.

#include <memory>
#include <optional>
#include <string>

#include "core/levels_meter.h"
#include "core/mic_supervision.h"
#include "core/mixer.h"
#include "platform/audio_hardware.h"
#include "platform/dispatch.h"
#include "platform/pcm.h"
#include "platform/platform.h"

namespace velomar {

class AudioTapEngine : public std::enable_shared_from_this<AudioTapEngine> {
public:
    static std::shared_ptr<AudioTapEngine> make(std::shared_ptr<Mixer> mixer, std::string out,
                                                std::optional<std::string> preferredDeviceUID,
                                                platform::Platform& platform);

    // System-audio tap (all throw CaptureError).
    void startSystemTap();
    std::string readTapUID(platform::AudioObjectID tapID);
    static pcm::BufferPtr deepCopy(const pcm::Buffer& source) { return pcm::deepCopy(source); }
    static float peak(const pcm::Buffer& buffer) { return pcm::peak(buffer); }
    // Runs once; ends with exitProcess(0).
    void stopAndFinalize(std::optional<std::string> reason);
    // Releases whatever exists, in reverse order of creation; safe to call again.
    void teardown();

    // The start sequence's steps, in the order the front end calls them.
    void ensureMicAuthorized() { mic_->ensureMicAuthorized(); }
    std::optional<platform::AudioObjectID> resolveInputDevice() { return mic_->resolveInputDevice(); }
    void openMic(const std::string& reason) { mic_->openMic(reason); }
    void armMicWatchdog() { mic_->armMicWatchdog(); }
    void observeConfigurationChanges() { mic_->observeConfigurationChanges(); }
    void startLevelsTimer() { levels_->start(); }

private:
    AudioTapEngine(std::shared_ptr<Mixer> mixer, std::string out,
                   std::optional<std::string> preferredDeviceUID, platform::Platform& platform);

    void handleIOCycle(const pcm::AudioBufferList* input, const platform::AudioTimeStamp& inputTime);

    std::shared_ptr<Mixer> mixer_;
    std::string out_;
    platform::Platform& platform_;
    std::shared_ptr<LevelsMeter> levels_;
    std::shared_ptr<MicSupervisor> mic_;

    platform::AudioObjectID tapID_ = 0;
    platform::AudioObjectID aggregateID_ = 0;
    std::optional<platform::IOProcID> ioProcID_;
    std::optional<pcm::Format> systemFormat_;
    std::shared_ptr<dispatch::Queue> ioQueue_;
    bool finished_ = false;
};

}  // namespace velomar
