#include "core/device_directory.h"

#include <algorithm>

namespace velomar {
using namespace platform;

namespace {
constexpr PropertyAddress global(std::uint32_t sel) { return {sel, scope::global, 0}; }
}  // namespace

std::vector<AudioObjectID> DeviceDirectory::allDeviceIDs() const {
    const PropertyAddress address = global(selector::devices);
    std::uint32_t size = 0;
    if (hw_.getPropertyDataSize(kSystemObject, address, size) != kNoError) return {};
    const std::uint32_t n = size / 4;
    if (n == 0) return {};
    // Zero-filled: when the list shrinks before the read, the tail stays 0 and every
    // later read on such an ID fails, so it drops out of every answer.
    std::vector<AudioObjectID> ids(n, 0);
    std::uint32_t ioSize = n * 4;
    if (hw_.getPropertyData(kSystemObject, address, ioSize, ids.data()) != kNoError) return {};
    return ids;
}

std::int64_t DeviceDirectory::inputChannelCount(AudioObjectID device) const {
    const PropertyAddress address{selector::streamConfiguration, scope::input, 0};
    std::uint32_t size = 0;
    if (hw_.getPropertyDataSize(device, address, size) != kNoError || size == 0) return 0;
    std::vector<std::uint32_t> block((size + 3) / 4, 0);
    std::uint32_t ioSize = size;
    if (hw_.getPropertyData(device, address, ioSize, block.data()) != kNoError) return 0;
    // Never trust the count beyond the bytes that were actually written.
    const std::uint32_t written = std::min(ioSize, size);
    if (written < sizeof(StreamConfigurationHeader)) return 0;
    const std::size_t streams = std::min<std::size_t>(block[0], (written - 4) / 4);
    std::int64_t sum = 0;
    for (std::size_t i = 0; i < streams; ++i) sum += block[1 + i];
    return sum;
}

std::optional<std::string> DeviceDirectory::stringProperty(std::uint32_t sel, AudioObjectID object) const {
    std::string value;
    if (hw_.getStringProperty(object, global(sel), value) != kNoError) return std::nullopt;
    return value;
}

std::optional<AudioObjectID> DeviceDirectory::inputDeviceID(const std::string& uid) const {
    for (AudioObjectID id : allDeviceIDs()) {
        auto deviceUID = stringProperty(selector::deviceUID, id);
        if (!deviceUID || *deviceUID != uid) continue;
        if (inputChannelCount(id) <= 0) continue;
        return id;
    }
    return std::nullopt;
}

std::vector<InputDeviceEntry> DeviceDirectory::inputDevices() const {
    std::optional<std::string> defaultUID;
    if (auto def = defaultInputDevice()) defaultUID = stringProperty(selector::deviceUID, *def);

    std::vector<InputDeviceEntry> entries;
    for (AudioObjectID id : allDeviceIDs()) {
        if (inputChannelCount(id) <= 0) continue;
        auto uid = stringProperty(selector::deviceUID, id);
        if (!uid) continue;
        auto name = stringProperty(selector::name, id);
        bool isDefault = defaultUID && *defaultUID == *uid;
        entries.push_back({*uid, name ? *name : *uid, isDefault});
    }
    return entries;
}

std::optional<AudioObjectID> DeviceDirectory::defaultInputDevice() const {
    AudioObjectID device = 0;
    std::uint32_t size = sizeof device;
    if (hw_.getPropertyData(kSystemObject, global(selector::defaultInputDevice), size, &device) != kNoError) {
        return std::nullopt;
    }
    if (device == 0) return std::nullopt;
    return device;
}

std::optional<double> DeviceDirectory::nominalSampleRate(AudioObjectID device) const {
    double rate = 0;
    std::uint32_t size = sizeof rate;
    if (hw_.getPropertyData(device, global(selector::nominalSampleRate), size, &rate) != kNoError) {
        return std::nullopt;
    }
    return rate;
}

}  // namespace velomar
