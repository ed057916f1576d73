#pragma once
// The Linux backend: every platform service over libpulse (PulseAudio, or PipeWire
// through its pulse server). Constructing it connects to nothing; the first call that
// needs the server connects.

#include <memory>

#include "platform/platform.h"
#include "platform/stream_capture.h"

namespace velomar::pulse {

class PulsePlatform {
public:
    static std::unique_ptr<PulsePlatform> make();
    virtual ~PulsePlatform() = default;
    virtual platform::Platform platform() = 0;
};

}  // namespace velomar::pulse
