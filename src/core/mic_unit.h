#pragma once
// Records one input device through the HAL-style input unit: float, non-interleaved,
// the device's own rate, at most two channels. Each cycle is rendered straight into a
// fresh buffer that goes to the sink with the host time of its first frame.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/audio_hardware.h"
#include "platform/pcm.h"

namespace velomar {

class MicUnit : public std::enable_shared_from_this<MicUnit> {
public:
    using Sink = std::function<void(pcm::BufferPtr buffer, double hostSeconds)>;

    // Use make(): the input callback reaches the unit through a weak reference.
    static std::shared_ptr<MicUnit> make(platform::AudioUnits& units, Sink sink);
    ~MicUnit();

    // Throws CaptureError::capture with the step's message.
    void start(platform::AudioObjectID device);
    // Stops and disposes the unit, frees the list; harmless when there is no unit.
    void stop();
    platform::OSStatus render(std::uint32_t* flags, const platform::AudioTimeStamp& timeStamp,
                              std::uint32_t bus, std::uint32_t frames);

    // Throws "{what} failed (OSStatus {status})" for a non-zero status.
    static void check(platform::OSStatus status, const std::string& what);

    platform::AudioUnit unit() const { return unit_; }
    const std::optional<pcm::Format>& format() const { return format_; }
    std::optional<platform::AudioObjectID> deviceID() const { return deviceID_; }
    bool hasRenderBufferList() const { return renderBufferList_.has_value(); }
    std::uint32_t renderCapacityFrames() const { return renderCapacityFrames_; }

private:
    MicUnit(platform::AudioUnits& units, Sink sink);

    platform::AudioUnits& units_;
    platform::AudioUnit unit_ = 0;
    std::optional<pcm::Format> format_;
    Sink sink_;
    std::optional<pcm::AudioBufferList> renderBufferList_;
    std::uint32_t renderCapacityFrames_ = 0;
    std::optional<platform::AudioObjectID> deviceID_;
    // What the unit's refCon points at; lets a late callback find the unit gone.
    std::unique_ptr<std::weak_ptr<MicUnit>> callbackRef_;
};

}  // namespace velomar
