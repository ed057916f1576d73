#include "platform/sim/sim_audio_hardware.h"

#include <thread>

namespace velomar::sim {
using namespace platform;

OSStatus SimAudioHardware::getPropertyDataSize(AudioObjectID, const PropertyAddress&, std::uint32_t&) { return kErrBadObject; }
OSStatus SimAudioHardware::getPropertyData(AudioObjectID, const PropertyAddress&, std::uint32_t&, void*) { return kErrBadObject; }
OSStatus SimAudioHardware::getStringProperty(AudioObjectID, const PropertyAddress&, std::string&) { return kErrBadObject; }
OSStatus SimAudioHardware::addPropertyListener(AudioObjectID, const PropertyAddress&, dispatch::Queue&, PropertyListenerRef) { return kErrBadObject; }
OSStatus SimAudioHardware::removePropertyListener(AudioObjectID, const PropertyAddress&, dispatch::Queue&, PropertyListenerRef) { return kErrBadObject; }
OSStatus SimAudioHardware::createProcessTap(const TapDescription&, AudioObjectID&) { return kErrUnspecified; }
OSStatus SimAudioHardware::destroyProcessTap(AudioObjectID) { return kErrBadObject; }
OSStatus SimAudioHardware::createAggregateDevice(const AggregateDeviceDescription&, AudioObjectID&) { return kErrUnspecified; }
OSStatus SimAudioHardware::destroyAggregateDevice(AudioObjectID) { return kErrBadObject; }
OSStatus SimAudioHardware::createIOProcIDWithBlock(IOProcID&, AudioObjectID, std::shared_ptr<dispatch::Queue>, IOBlock) { return kErrBadObject; }
OSStatus SimAudioHardware::destroyIOProcID(AudioObjectID, IOProcID) { return kErrBadObject; }
OSStatus SimAudioHardware::deviceStart(AudioObjectID, IOProcID) { return kErrBadObject; }
OSStatus SimAudioHardware::deviceStop(AudioObjectID, IOProcID) { return kErrBadObject; }

AudioComponent SimAudioUnits::findNext(AudioComponent, const ComponentDescription&) { return 0; }
OSStatus SimAudioUnits::instanceNew(AudioComponent, AudioUnit&) { return kErrUnspecified; }
OSStatus SimAudioUnits::setProperty(AudioUnit, std::uint32_t, std::uint32_t, std::uint32_t, const void*, std::uint32_t) { return kErrUnspecified; }
OSStatus SimAudioUnits::getProperty(AudioUnit, std::uint32_t, std::uint32_t, std::uint32_t, void*, std::uint32_t&) { return kErrUnspecified; }
OSStatus SimAudioUnits::initialize(AudioUnit) { return kErrUnspecified; }
OSStatus SimAudioUnits::outputUnitStart(AudioUnit) { return kErrUnspecified; }
OSStatus SimAudioUnits::render(AudioUnit, std::uint32_t*, const AudioTimeStamp&, std::uint32_t, std::uint32_t, pcm::AudioBufferList&) { return kErrUnspecified; }
OSStatus SimAudioUnits::outputUnitStop(AudioUnit) { return kErrUnspecified; }
OSStatus SimAudioUnits::uninitialize(AudioUnit) { return kErrUnspecified; }
OSStatus SimAudioUnits::instanceDispose(AudioUnit) { return kErrUnspecified; }

std::int32_t SimAuthorization::status() { return authorization::authorized; }
void SimAuthorization::requestAccess(std::function<void(bool)> handler) {
    std::thread([h = std::move(handler)] { h(true); }).detach();
}

}  // namespace velomar::sim
