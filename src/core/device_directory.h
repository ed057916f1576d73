#pragma once
// Questions about the system's audio devices, answered by fresh property reads every
// time. Nothing here throws: unreadable properties make a device drop out, or give an
// empty list, nullopt or 0.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_hardware.h"

namespace velomar {

struct InputDeviceEntry {
    std::string uid;
    std::string name;
    bool isDefault = false;
};

class DeviceDirectory {
public:
    explicit DeviceDirectory(platform::AudioHardware& hardware) : hw_(hardware) {}

    std::vector<platform::AudioObjectID> allDeviceIDs() const;
    std::int64_t inputChannelCount(platform::AudioObjectID device) const;
    std::optional<std::string> stringProperty(std::uint32_t selector, platform::AudioObjectID object) const;
    std::optional<platform::AudioObjectID> inputDeviceID(const std::string& uid) const;
    std::vector<InputDeviceEntry> inputDevices() const;
    std::optional<platform::AudioObjectID> defaultInputDevice() const;
    // 'nsrt'; nullopt when unreadable.
    std::optional<double> nominalSampleRate(platform::AudioObjectID device) const;

private:
    platform::AudioHardware& hw_;
};

}  // namespace velomar
