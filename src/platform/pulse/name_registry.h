#pragma once
// Stable object IDs for the server's named devices, and fresh IDs for objects of our
// own. A device keeps its ID across server restarts, bound to its kind and name. ID 1
// is the system object, so IDs start at 2.

#include <compare>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "platform/audio_hardware.h"

namespace velomar::pulse {

enum class DeviceKind { source, sink };

struct DeviceName {
    DeviceKind kind;
    std::string name;
    auto operator<=>(const DeviceName&) const = default;
};

class NameRegistry {
public:
    platform::AudioObjectID idFor(const DeviceName& device);
    // The device behind an ID; nullopt for an unknown ID or one of our own objects.
    std::optional<DeviceName> deviceFor(platform::AudioObjectID id) const;
    platform::AudioObjectID fresh();

private:
    mutable std::mutex mutex_;
    std::map<DeviceName, platform::AudioObjectID> ids_;
    std::map<platform::AudioObjectID, DeviceName> devices_;
    platform::AudioObjectID next_ = 2;
};

}  // namespace velomar::pulse
