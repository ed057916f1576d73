#include "platform/pulse/device_properties.h"

#include <algorithm>
#include <vector>

namespace velomar::pulse {

using namespace platform;

namespace {

// A stream configuration in the scope the device has (one buffer of all its channels),
// or an empty one (no buffers) in the other.
OSStatus writeConfiguration(bool hasScope, std::uint32_t channels, std::uint32_t& ioSize, void* data) {
    const std::uint32_t words[2] = {hasScope ? 1u : 0u, channels};
    const std::uint32_t size = hasScope ? 8 : 4;
    if (!data || ioSize < size) return kErrBadPropertySize;
    std::memcpy(data, words, size);
    ioSize = size;
    return kNoError;
}

bool hasScope(DeviceKind kind, std::uint32_t addressScope) {
    return (kind == DeviceKind::source && addressScope == scope::input) ||
           (kind == DeviceKind::sink && addressScope == scope::output);
}

}  // namespace

DeviceProperties::DeviceProperties(std::shared_ptr<NameRegistry> registry, std::shared_ptr<ServerWatch> watch,
                                   std::shared_ptr<SystemAudioFollower> systemAudio)
    : registry_(std::move(registry)), watch_(std::move(watch)), systemAudio_(std::move(systemAudio)) {}

std::optional<DeviceProperties::Resolved> DeviceProperties::resolve(AudioObjectID id, OSStatus* status) {
    auto device = registry_->deviceFor(id);
    if (!device) {
        *status = kErrBadObject;
        return std::nullopt;
    }
    auto conn = watch_->connection();
    if (!conn) {
        *status = kErrUnspecified;
        return std::nullopt;
    }
    if (device->kind == DeviceKind::source) {
        auto info = conn->source(device->name);
        if (info && !info->isMonitor) return Resolved{DeviceKind::source, *info};
    } else {
        auto info = conn->sink(device->name);
        if (info) return Resolved{DeviceKind::sink, *info};
    }
    *status = kErrBadObject;
    return std::nullopt;
}

// The system object's two properties: their data, or only their size.
OSStatus DeviceProperties::systemProperty(const PropertyAddress& address, std::uint32_t& ioSize, void* data,
                                          bool sizeOnly) {
    if (address.selector == selector::defaultInputDevice) {
        if (sizeOnly) {
            ioSize = 4;
            return kNoError;
        }
        auto conn = watch_->connection();
        if (!conn) return kErrUnspecified;
        auto current = watch_->defaults(*conn);
        if (!current) return kErrUnspecified;
        // A monitor as default source would record the speakers as a microphone.
        const AudioObjectID id =
            current->input() ? registry_->idFor({DeviceKind::source, current->source->name}) : 0;
        return writeValue(id, ioSize, data);
    }
    if (address.selector == selector::devices) {
        auto conn = watch_->connection();
        if (!conn) return kErrUnspecified;
        auto sources = conn->sources();
        auto sinks = conn->sinks();
        if (!sources || !sinks) return kErrUnspecified;
        std::vector<AudioObjectID> ids;
        for (auto& s : *sources) {
            if (!s.isMonitor) ids.push_back(registry_->idFor({DeviceKind::source, s.name}));
        }
        for (auto& s : *sinks) ids.push_back(registry_->idFor({DeviceKind::sink, s.name}));
        const std::size_t room = sizeOnly ? ids.size() : data ? ioSize / 4 : 0;
        const std::size_t n = std::min(room, ids.size());
        if (!sizeOnly && n) std::memcpy(data, ids.data(), n * 4);
        ioSize = static_cast<std::uint32_t>(n * 4);
        return kNoError;
    }
    return kErrUnknownProperty;
}

OSStatus DeviceProperties::getPropertyDataSize(AudioObjectID object, const PropertyAddress& address,
                                               std::uint32_t& outSize) {
    if (object == kSystemObject) return systemProperty(address, outSize, nullptr, true);
    switch (address.selector) {
    case selector::deviceUID:  // a string slot
    case selector::name:
    case selector::tapUID:
    case selector::nominalSampleRate:  // a double
        outSize = 8;
        return kNoError;
    case selector::streamFormat:
        outSize = sizeof(pcm::StreamDescription);
        return kNoError;
    case selector::streamConfiguration: {
        if (systemAudio_->aggregate(object)) {
            outSize = address.scope == scope::input ? 8 : 4;
            return kNoError;
        }
        OSStatus status = kNoError;
        auto dev = resolve(object, &status);
        if (!dev) return status;
        outSize = hasScope(dev->kind, address.scope) ? 8 : 4;
        return kNoError;
    }
    default:
        return kErrUnknownProperty;
    }
}

OSStatus DeviceProperties::aggregateProperty(const SystemAudioFollower::AggregateView& agg,
                                             const PropertyAddress& address, std::uint32_t& ioSize, void* data) {
    if (address.selector == selector::streamFormat && address.scope == scope::input) {
        return writeValue(pcm::linearDescription(pcm::SampleType::float32, agg.rate, agg.channels, true), ioSize, data);
    }
    if (address.selector == selector::nominalSampleRate) return writeValue(double(agg.rate), ioSize, data);
    if (address.selector == selector::streamConfiguration) {
        return writeConfiguration(address.scope == scope::input, agg.channels, ioSize, data);
    }
    return kErrUnknownProperty;
}

OSStatus DeviceProperties::getPropertyData(AudioObjectID object, const PropertyAddress& address,
                                           std::uint32_t& ioSize, void* data) {
    if (object == kSystemObject) return systemProperty(address, ioSize, data, false);
    if (auto agg = systemAudio_->aggregate(object)) return aggregateProperty(*agg, address, ioSize, data);

    switch (address.selector) {
    case selector::nominalSampleRate:
    case selector::streamFormat:
    case selector::streamConfiguration:
        break;
    default:
        return kErrUnknownProperty;
    }
    OSStatus status = kNoError;
    auto dev = resolve(object, &status);
    if (!dev) return status;
    const bool inScope = hasScope(dev->kind, address.scope);
    switch (address.selector) {
    case selector::nominalSampleRate:
        return writeValue(static_cast<double>(dev->info.rate), ioSize, data);
    case selector::streamFormat: {
        if (!inScope) return kErrUnknownProperty;
        const auto description = pcm::linearDescription(pcm::SampleType::float32, dev->info.rate, dev->info.channels, true);
        return writeValue(description, ioSize, data);
    }
    case selector::streamConfiguration:
        return writeConfiguration(inScope, dev->info.channels, ioSize, data);
    default:
        return kErrUnknownProperty;
    }
}

OSStatus DeviceProperties::getStringProperty(AudioObjectID object, const PropertyAddress& address,
                                             std::string& out) {
    if (auto uid = systemAudio_->tapUID(object)) {
        if (address.selector != selector::tapUID) return kErrUnknownProperty;
        out = *uid;
        return kNoError;
    }
    if (auto agg = systemAudio_->aggregate(object)) {
        if (address.selector == selector::deviceUID) {
            out = agg->uid;
            return kNoError;
        }
        if (address.selector == selector::name) {
            out = agg->name;
            return kNoError;
        }
        return kErrUnknownProperty;
    }
    if (address.selector != selector::deviceUID && address.selector != selector::name) return kErrUnknownProperty;
    OSStatus status = kNoError;
    auto dev = resolve(object, &status);
    if (!dev) return status;
    out = address.selector == selector::deviceUID ? dev->info.name : dev->info.description;
    return kNoError;
}

}  // namespace velomar::pulse
