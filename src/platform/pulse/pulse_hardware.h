#pragma once
// The audio hardware layer, the HAL-style input unit and the microphone permission
// over one sound-server connection: a facade over the server watch, the system-audio
// follower, the device property tables and the input units.
//
// Devices: sources other than monitors are input devices, sinks are output-only
// devices; object IDs stay bound to names across server restarts. A process tap with
// its aggregate device records the monitor of the default sink (following it when the
// default sink changes or the server comes back); an input unit records one source.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/audio_hardware.h"
#include "platform/pulse/device_properties.h"
#include "platform/pulse/input_unit.h"
#include "platform/pulse/name_registry.h"
#include "platform/pulse/server_watch.h"
#include "platform/pulse/system_audio.h"

namespace velomar::pulse {

class PulseHardware : public platform::AudioHardware,
                      public platform::AudioUnits,
                      public platform::MicrophoneAuthorization {
public:
    explicit PulseHardware(std::shared_ptr<NameRegistry> registry);
    ~PulseHardware() override;

    // AudioHardware
    platform::OSStatus getPropertyDataSize(platform::AudioObjectID object, const platform::PropertyAddress& address,
                                           std::uint32_t& outSize) override;
    platform::OSStatus getPropertyData(platform::AudioObjectID object, const platform::PropertyAddress& address,
                                       std::uint32_t& ioSize, void* data) override;
    platform::OSStatus getStringProperty(platform::AudioObjectID object, const platform::PropertyAddress& address,
                                         std::string& out) override;
    platform::OSStatus addPropertyListener(platform::AudioObjectID object, const platform::PropertyAddress& address,
                                           dispatch::Queue& queue, platform::PropertyListenerRef listener) override;
    platform::OSStatus removePropertyListener(platform::AudioObjectID object,
                                              const platform::PropertyAddress& address, dispatch::Queue& queue,
                                              platform::PropertyListenerRef listener) override;
    platform::OSStatus createProcessTap(const platform::TapDescription& description,
                                        platform::AudioObjectID& outTap) override;
    platform::OSStatus destroyProcessTap(platform::AudioObjectID tap) override;
    platform::OSStatus createAggregateDevice(const platform::AggregateDeviceDescription& description,
                                             platform::AudioObjectID& outDevice) override;
    platform::OSStatus destroyAggregateDevice(platform::AudioObjectID device) override;
    platform::OSStatus createIOProcIDWithBlock(platform::IOProcID& outID, platform::AudioObjectID device,
                                               std::shared_ptr<dispatch::Queue> queue,
                                               platform::IOBlock block) override;
    platform::OSStatus destroyIOProcID(platform::AudioObjectID device, platform::IOProcID id) override;
    platform::OSStatus deviceStart(platform::AudioObjectID device, platform::IOProcID id) override;
    platform::OSStatus deviceStop(platform::AudioObjectID device, platform::IOProcID id) override;

    // AudioUnits
    platform::AudioComponent findNext(platform::AudioComponent previous,
                                      const platform::ComponentDescription& description) override;
    platform::OSStatus instanceNew(platform::AudioComponent component, platform::AudioUnit& outUnit) override;
    platform::OSStatus setProperty(platform::AudioUnit unit, std::uint32_t property, std::uint32_t scope,
                                   std::uint32_t element, const void* data, std::uint32_t size) override;
    platform::OSStatus getProperty(platform::AudioUnit unit, std::uint32_t property, std::uint32_t scope,
                                   std::uint32_t element, void* data, std::uint32_t& ioSize) override;
    platform::OSStatus initialize(platform::AudioUnit unit) override;
    platform::OSStatus outputUnitStart(platform::AudioUnit unit) override;
    platform::OSStatus render(platform::AudioUnit unit, std::uint32_t* flags, const platform::AudioTimeStamp& timeStamp,
                              std::uint32_t bus, std::uint32_t frames, pcm::AudioBufferList& list) override;
    platform::OSStatus outputUnitStop(platform::AudioUnit unit) override;
    platform::OSStatus uninitialize(platform::AudioUnit unit) override;
    platform::OSStatus instanceDispose(platform::AudioUnit unit) override;

    // MicrophoneAuthorization: the server asks no permission.
    std::int32_t status() override;
    void requestAccess(std::function<void(bool granted)> handler) override;

    // Test views.
    std::string tapSinkName(platform::AudioObjectID aggregate) { return systemAudio_->sinkName(aggregate); }
    double lastGrantedFragmentSeconds() const { return grantedFragment_->load(); }

private:
    std::shared_ptr<std::atomic<double>> grantedFragment_ = std::make_shared<std::atomic<double>>(0);
    std::shared_ptr<ServerWatch> watch_;
    std::shared_ptr<SystemAudioFollower> systemAudio_;
    std::shared_ptr<DeviceProperties> properties_;
    InputUnits units_;
};

}  // namespace velomar::pulse
