#pragma once
// The HAL-style input unit: one record stream of the unit's current device, in the
// client format, handed to the input callback on the input queue, where render() copies
// the chunk at hand into the caller's buffers.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "platform/audio_hardware.h"
#include "platform/pulse/device_properties.h"

namespace velomar::pulse {

class InputUnits {
public:
    InputUnits(std::shared_ptr<ServerWatch> watch, std::shared_ptr<NameRegistry> registry,
               std::shared_ptr<DeviceProperties> properties, std::shared_ptr<std::atomic<double>> grantedFragment);
    // Stops every callback and closes every stream; nothing runs after this.
    void shutdown();

    platform::AudioComponent findNext(platform::AudioComponent previous,
                                      const platform::ComponentDescription& description);
    platform::OSStatus instanceNew(platform::AudioComponent component, platform::AudioUnit& outUnit);
    platform::OSStatus setProperty(platform::AudioUnit unit, std::uint32_t property, std::uint32_t scope,
                                   std::uint32_t element, const void* data, std::uint32_t size);
    platform::OSStatus getProperty(platform::AudioUnit unit, std::uint32_t property, std::uint32_t scope,
                                   std::uint32_t element, void* data, std::uint32_t& ioSize);
    platform::OSStatus initialize(platform::AudioUnit unit) { return setInitialized(unit, true); }
    platform::OSStatus outputUnitStart(platform::AudioUnit unit);
    platform::OSStatus render(platform::AudioUnit unit, std::uint32_t* flags, const platform::AudioTimeStamp& timeStamp,
                              std::uint32_t bus, std::uint32_t frames, pcm::AudioBufferList& list);
    platform::OSStatus outputUnitStop(platform::AudioUnit unit);
    platform::OSStatus uninitialize(platform::AudioUnit unit) { return setInitialized(unit, false); }
    platform::OSStatus instanceDispose(platform::AudioUnit unit);

private:
    struct IO;
    struct Unit;
    platform::OSStatus setInitialized(platform::AudioUnit unit, bool initialized);

    std::shared_ptr<ServerWatch> watch_;
    std::shared_ptr<NameRegistry> registry_;
    std::shared_ptr<DeviceProperties> properties_;
    std::shared_ptr<std::atomic<double>> grantedFragment_;

    std::mutex mutex_;  // everything below and the units' fields
    std::map<platform::AudioUnit, std::shared_ptr<Unit>> units_;
    platform::AudioUnit nextUnit_ = 1;
};

}  // namespace velomar::pulse
