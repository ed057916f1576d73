// The recorder on a Linux sound server (PulseAudio, or PipeWire through its pulse server).
#include "core/front_end.h"
#include "platform/pulse/pulse_platform.h"

int main(int argc, char** argv) {
    velomar::protectStandardDescriptors();
    auto pulsePlatform = velomar::pulse::PulsePlatform::make();
    auto platform = pulsePlatform->platform();
    return velomar::runFrontEnd(argc, argv, platform);
}
