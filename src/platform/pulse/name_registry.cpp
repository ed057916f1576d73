#include "platform/pulse/name_registry.h"

namespace velomar::pulse {

platform::AudioObjectID NameRegistry::idFor(const DeviceName& device) {
    std::lock_guard g(mutex_);
    auto it = ids_.find(device);
    if (it != ids_.end()) return it->second;
    const platform::AudioObjectID id = next_++;
    ids_.emplace(device, id);
    devices_.emplace(id, device);
    return id;
}

std::optional<DeviceName> NameRegistry::deviceFor(platform::AudioObjectID id) const {
    std::lock_guard g(mutex_);
    auto it = devices_.find(id);
    if (it == devices_.end()) return std::nullopt;
    return it->second;
}

platform::AudioObjectID NameRegistry::fresh() {
    std::lock_guard g(mutex_);
    return next_++;
}

}  // namespace velomar::pulse
