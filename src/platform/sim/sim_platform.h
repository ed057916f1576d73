#pragma once
// The simulated machine: every platform service in memory, scriptable by tests.

#include <memory>

#include "platform/platform.h"
#include "platform/stream_capture.h"

namespace velomar::sim {

class SimAudioHardware;
class SimAudioUnits;
class SimAuthorization;
class SimStreamCapture;

class SimPlatform {
public:
    SimPlatform();
    ~SimPlatform();

    SimAudioHardware& hardware() { return *hardware_; }
    SimAudioUnits& units() { return *units_; }
    SimAuthorization& authorization() { return *authorization_; }
    SimStreamCapture& streamCapture() { return *streamCapture_; }
    platform::Platform platform();

private:
    std::unique_ptr<SimAudioHardware> hardware_;
    std::unique_ptr<SimAudioUnits> units_;
    std::unique_ptr<SimAuthorization> authorization_;
    std::unique_ptr<SimStreamCapture> streamCapture_;
};

}  // namespace velomar::sim
