#pragma once
// Everything a recording needs from the machine, handed to the front end and engines.

#include "platform/audio_hardware.h"
#include "platform/stream_capture.h"

namespace velomar::platform {

struct Platform {
    AudioHardware& hardware;
    AudioUnits& units;
    MicrophoneAuthorization& authorization;
    StreamCapture& streamCapture;
};

}  // namespace velomar::platform
