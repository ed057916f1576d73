#include "platform/sim/sim_platform.h"

#include "platform/sim/sim_audio_hardware.h"
#include "platform/sim/sim_stream_capture.h"

namespace velomar::sim {

SimPlatform::SimPlatform()
    : hardware_(std::make_unique<SimAudioHardware>()),
      units_(std::make_unique<SimAudioUnits>(*hardware_)),
      authorization_(std::make_unique<SimAuthorization>()),
      streamCapture_(std::make_unique<SimStreamCapture>()) {}

SimPlatform::~SimPlatform() = default;

platform::Platform SimPlatform::platform() {
    return platform::Platform{*hardware_, *units_, *authorization_, *streamCapture_};
}

}  // namespace velomar::sim
