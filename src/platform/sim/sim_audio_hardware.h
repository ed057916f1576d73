#pragma once
// Simulated audio hardware, HAL-style units and microphone authorisation.
// (Starting point: an empty machine on which every object lookup fails.)

#include "platform/audio_hardware.h"

namespace velomar::sim {

class SimAudioHardware : public platform::AudioHardware {
public:
    platform::OSStatus getPropertyDataSize(platform::AudioObjectID, const platform::PropertyAddress&,
                                           std::uint32_t&) override;
    platform::OSStatus getPropertyData(platform::AudioObjectID, const platform::PropertyAddress&,
                                       std::uint32_t&, void*) override;
    platform::OSStatus getStringProperty(platform::AudioObjectID, const platform::PropertyAddress&,
                                         std::string&) override;
    platform::OSStatus addPropertyListener(platform::AudioObjectID, const platform::PropertyAddress&,
                                           dispatch::Queue&, platform::PropertyListenerRef) override;
    platform::OSStatus removePropertyListener(platform::AudioObjectID, const platform::PropertyAddress&,
                                              dispatch::Queue&, platform::PropertyListenerRef) override;
    platform::OSStatus createProcessTap(const platform::TapDescription&, platform::AudioObjectID&) override;
    platform::OSStatus destroyProcessTap(platform::AudioObjectID) override;
    platform::OSStatus createAggregateDevice(const platform::AggregateDeviceDescription&,
                                             platform::AudioObjectID&) override;
    platform::OSStatus destroyAggregateDevice(platform::AudioObjectID) override;
    platform::OSStatus createIOProcIDWithBlock(platform::IOProcID&, platform::AudioObjectID,
                                               std::shared_ptr<dispatch::Queue>, platform::IOBlock) override;
    platform::OSStatus destroyIOProcID(platform::AudioObjectID, platform::IOProcID) override;
    platform::OSStatus deviceStart(platform::AudioObjectID, platform::IOProcID) override;
    platform::OSStatus deviceStop(platform::AudioObjectID, platform::IOProcID) override;
};

class SimAudioUnits : public platform::AudioUnits {
public:
    explicit SimAudioUnits(SimAudioHardware& hardware) : hardware_(hardware) {}
    platform::AudioComponent findNext(platform::AudioComponent, const platform::ComponentDescription&) override;
    platform::OSStatus instanceNew(platform::AudioComponent, platform::AudioUnit&) override;
    platform::OSStatus setProperty(platform::AudioUnit, std::uint32_t, std::uint32_t, std::uint32_t,
                                   const void*, std::uint32_t) override;
    platform::OSStatus getProperty(platform::AudioUnit, std::uint32_t, std::uint32_t, std::uint32_t, void*,
                                   std::uint32_t&) override;
    platform::OSStatus initialize(platform::AudioUnit) override;
    platform::OSStatus outputUnitStart(platform::AudioUnit) override;
    platform::OSStatus render(platform::AudioUnit, std::uint32_t*, const platform::AudioTimeStamp&, std::uint32_t,
                              std::uint32_t, pcm::AudioBufferList&) override;
    platform::OSStatus outputUnitStop(platform::AudioUnit) override;
    platform::OSStatus uninitialize(platform::AudioUnit) override;
    platform::OSStatus instanceDispose(platform::AudioUnit) override;

private:
    [[maybe_unused]] SimAudioHardware& hardware_;
};

class SimAuthorization : public platform::MicrophoneAuthorization {
public:
    std::int32_t status() override;
    void requestAccess(std::function<void(bool)> handler) override;
};

}  // namespace velomar::sim
