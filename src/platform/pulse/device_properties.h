#pragma once
// The property tables of the hardware layer: the system object (default input, device
// list), the server's devices (sources are inputs, sinks output-only) and our own taps
// and aggregate devices, answered from the server's current view.

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "platform/audio_hardware.h"
#include "platform/pulse/name_registry.h"
#include "platform/pulse/server_watch.h"
#include "platform/pulse/system_audio.h"

namespace velomar::pulse {

// Copies a fixed-size property value out, as the hardware layer's callers expect.
template <typename T>
platform::OSStatus writeValue(const T& value, std::uint32_t& ioSize, void* data) {
    if (!data || ioSize < sizeof(T)) return platform::kErrBadPropertySize;
    std::memcpy(data, &value, sizeof(T));
    ioSize = sizeof(T);
    return platform::kNoError;
}

class DeviceProperties {
public:
    DeviceProperties(std::shared_ptr<NameRegistry> registry, std::shared_ptr<ServerWatch> watch,
                     std::shared_ptr<SystemAudioFollower> systemAudio);

    platform::OSStatus getPropertyDataSize(platform::AudioObjectID object, const platform::PropertyAddress& address,
                                           std::uint32_t& outSize);
    platform::OSStatus getPropertyData(platform::AudioObjectID object, const platform::PropertyAddress& address,
                                       std::uint32_t& ioSize, void* data);
    platform::OSStatus getStringProperty(platform::AudioObjectID object, const platform::PropertyAddress& address,
                                         std::string& out);

    struct Resolved {
        DeviceKind kind;
        DeviceInfo info;
    };
    // A device object: its current info, or nullopt (status in *status). Monitors are no inputs.
    std::optional<Resolved> resolve(platform::AudioObjectID id, platform::OSStatus* status);

private:
    platform::OSStatus systemProperty(const platform::PropertyAddress& address, std::uint32_t& ioSize, void* data,
                                      bool sizeOnly);
    platform::OSStatus aggregateProperty(const SystemAudioFollower::AggregateView& agg,
                                         const platform::PropertyAddress& address, std::uint32_t& ioSize,
                                         void* data);

    std::shared_ptr<NameRegistry> registry_;
    std::shared_ptr<ServerWatch> watch_;
    std::shared_ptr<SystemAudioFollower> systemAudio_;
};

}  // namespace velomar::pulse
