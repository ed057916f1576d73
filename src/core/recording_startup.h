#pragma once
// The front end's side of a recording: the device report, the recording objects and
// the start of an engine (with the fall-back from the tap engine to stream capture).

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/command_line.h"
#include "core/mixer.h"
#include "core/wav_writer.h"
#include "platform/dispatch.h"
#include "platform/platform.h"

namespace velomar {

class Capturer;

// Process-wide values, created once by the front end and kept until exit.
struct RecordingState {
    // The run's command line: output path, engine choice, microphone UID, layout.
    Options options;

    std::shared_ptr<WAVWriter> writer;
    std::shared_ptr<Mixer> mixer;
    // Set by startCapture; called on the main queue only, possibly more than once.
    std::function<void(const std::string& reason)> stopHandler;
    // Built only when the stream-capture engine runs.
    std::shared_ptr<Capturer> capturer;
    std::vector<std::shared_ptr<dispatch::SignalSource>> signalSources;
};

// Emits "devices" and exits with status 0.
void deviceReport(platform::Platform& platform);
// mixer on top of writer, stopHandler cleared.
void createRecordingObjects(RecordingState& state);
// Starts the chosen engine; on a failed tap start tears it down and falls back.
void startCapture(RecordingState& state, platform::Platform& platform, const std::string& out);
// Builds the capturer, installs its stop entry and starts it on the global queue;
// returns at once.
void startScreenCaptureKit(RecordingState& state, platform::Platform& platform, const std::string& out);

}  // namespace velomar
