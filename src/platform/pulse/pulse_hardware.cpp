#include "platform/pulse/pulse_hardware.h"

namespace velomar::pulse {

using namespace platform;

PulseHardware::PulseHardware(std::shared_ptr<NameRegistry> registry)
    : watch_(std::make_shared<ServerWatch>()),
      systemAudio_(std::make_shared<SystemAudioFollower>(registry, watch_, grantedFragment_)),
      properties_(std::make_shared<DeviceProperties>(registry, watch_, systemAudio_)),
      units_(watch_, registry, properties_, grantedFragment_) {
    std::weak_ptr<SystemAudioFollower> weak = systemAudio_;
    watch_->setHooks({[weak] {
                          auto follower = weak.lock();
                          return follower && follower->running();
                      },
                      [weak] {
                          if (auto follower = weak.lock()) follower->ensureStreams();
                      }});
}

PulseHardware::~PulseHardware() {
    // Streams before their connections; blocks are stopped so nothing runs after this.
    systemAudio_->shutdown();
    units_.shutdown();
}

// ---- AudioHardware ----------------------------------------------------------------

OSStatus PulseHardware::getPropertyDataSize(AudioObjectID object, const PropertyAddress& address,
                                            std::uint32_t& outSize) {
    return properties_->getPropertyDataSize(object, address, outSize);
}

OSStatus PulseHardware::getPropertyData(AudioObjectID object, const PropertyAddress& address, std::uint32_t& ioSize,
                                        void* data) {
    return properties_->getPropertyData(object, address, ioSize, data);
}

OSStatus PulseHardware::getStringProperty(AudioObjectID object, const PropertyAddress& address, std::string& out) {
    return properties_->getStringProperty(object, address, out);
}

OSStatus PulseHardware::addPropertyListener(AudioObjectID object, const PropertyAddress& address,
                                            dispatch::Queue& queue, PropertyListenerRef listener) {
    if (object != kSystemObject || address.selector != selector::defaultInputDevice || !listener) {
        return kErrUnknownProperty;
    }
    watch_->addDefaultInputListener(queue, std::move(listener));
    return kNoError;
}

OSStatus PulseHardware::removePropertyListener(AudioObjectID object, const PropertyAddress& address,
                                               dispatch::Queue& queue, PropertyListenerRef listener) {
    if (object != kSystemObject || address.selector != selector::defaultInputDevice) return kErrUnknownProperty;
    return watch_->removeDefaultInputListener(queue, listener) ? kNoError : kErrIllegalOperation;
}

OSStatus PulseHardware::createProcessTap(const TapDescription& description, AudioObjectID& outTap) {
    return systemAudio_->createProcessTap(description, outTap);
}

OSStatus PulseHardware::destroyProcessTap(AudioObjectID tap) { return systemAudio_->destroyProcessTap(tap); }

OSStatus PulseHardware::createAggregateDevice(const AggregateDeviceDescription& description,
                                              AudioObjectID& outDevice) {
    return systemAudio_->createAggregateDevice(description, outDevice);
}

OSStatus PulseHardware::destroyAggregateDevice(AudioObjectID device) {
    return systemAudio_->destroyAggregateDevice(device);
}

OSStatus PulseHardware::createIOProcIDWithBlock(IOProcID& outID, AudioObjectID device,
                                                std::shared_ptr<dispatch::Queue> queue, IOBlock block) {
    return systemAudio_->createIOProcIDWithBlock(outID, device, std::move(queue), std::move(block));
}

OSStatus PulseHardware::destroyIOProcID(AudioObjectID device, IOProcID id) {
    return systemAudio_->destroyIOProcID(device, id);
}

OSStatus PulseHardware::deviceStart(AudioObjectID device, IOProcID id) { return systemAudio_->deviceStart(device, id); }

OSStatus PulseHardware::deviceStop(AudioObjectID device, IOProcID id) { return systemAudio_->deviceStop(device, id); }

// ---- AudioUnits -------------------------------------------------------------------

AudioComponent PulseHardware::findNext(AudioComponent previous, const ComponentDescription& description) {
    return units_.findNext(previous, description);
}

OSStatus PulseHardware::instanceNew(AudioComponent component, AudioUnit& outUnit) {
    return units_.instanceNew(component, outUnit);
}

OSStatus PulseHardware::setProperty(AudioUnit unit, std::uint32_t property, std::uint32_t unitScope,
                                    std::uint32_t element, const void* data, std::uint32_t size) {
    return units_.setProperty(unit, property, unitScope, element, data, size);
}

OSStatus PulseHardware::getProperty(AudioUnit unit, std::uint32_t property, std::uint32_t unitScope,
                                    std::uint32_t element, void* data, std::uint32_t& ioSize) {
    return units_.getProperty(unit, property, unitScope, element, data, ioSize);
}

OSStatus PulseHardware::initialize(AudioUnit unit) { return units_.initialize(unit); }

OSStatus PulseHardware::outputUnitStart(AudioUnit unit) { return units_.outputUnitStart(unit); }

OSStatus PulseHardware::render(AudioUnit unit, std::uint32_t* flags, const AudioTimeStamp& timeStamp,
                               std::uint32_t bus, std::uint32_t frames, pcm::AudioBufferList& list) {
    return units_.render(unit, flags, timeStamp, bus, frames, list);
}

OSStatus PulseHardware::outputUnitStop(AudioUnit unit) { return units_.outputUnitStop(unit); }

OSStatus PulseHardware::uninitialize(AudioUnit unit) { return units_.uninitialize(unit); }

OSStatus PulseHardware::instanceDispose(AudioUnit unit) { return units_.instanceDispose(unit); }

// ---- MicrophoneAuthorization --------------------------------------------------------

std::int32_t PulseHardware::status() { return authorization::authorized; }

void PulseHardware::requestAccess(std::function<void(bool)> handler) {
    dispatch::Queue::global().async([handler = std::move(handler)] { handler(true); });
}

}  // namespace velomar::pulse
