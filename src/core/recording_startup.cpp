#include "core/recording_startup.h"

#include <exception>
#include <utility>

#include "core/audio_tap_engine.h"
#include "core/capture_error.h"
#include "core/capturer.h"
#include "core/device_directory.h"
#include "core/events.h"
#include "core/process_exit.h"

namespace velomar {

void deviceReport(platform::Platform& platform) {
    Value::List devices;
    for (const auto& entry : DeviceDirectory(platform.hardware).inputDevices()) {
        devices.push_back(Fields{{"uid", entry.uid}, {"name", entry.name}, {"isDefault", entry.isDefault}});
    }
    emit("devices", {{"devices", std::move(devices)}});
    exitProcess(0);
}

void createRecordingObjects(RecordingState& state) {
    state.mixer = std::make_shared<Mixer>(state.writer);
    state.stopHandler = nullptr;
}

void startCapture(RecordingState& state, platform::Platform& platform, const std::string& out) {
    if (state.options.preferredEngine == "tap") {
        auto engine = AudioTapEngine::make(state.mixer, out, state.options.micDeviceUID, platform);
        try {
            engine->ensureMicAuthorized();
            engine->openMic("start");
            engine->armMicWatchdog();
            engine->observeConfigurationChanges();
            engine->startLevelsTimer();
            engine->startSystemTap();
            // The stop closure is the only owner of the running engine.
            state.stopHandler = [engine](const std::string& reason) { engine->stopAndFinalize(reason); };
            emit("started", {{"out", out}, {"engine", "tap"}});
            return;
        } catch (const std::exception& error) {
            engine->teardown();
            emit("engine-fallback", {{"reason", errorText(error)}});
            engine.reset();
        }
    }
    startScreenCaptureKit(state, platform, out);
}

void startScreenCaptureKit(RecordingState& state, platform::Platform& platform, const std::string& out) {
    state.capturer = std::make_shared<Capturer>(state.mixer, out, platform.streamCapture);
    std::weak_ptr<Capturer> weak = state.capturer;
    state.stopHandler = [weak](const std::string& reason) {
        if (auto capturer = weak.lock()) {
            capturer->requestStop();
            capturer->finish(reason);
        }
    };
    dispatch::Queue::global().async([weak] {
        if (auto capturer = weak.lock()) capturer->start();
    });
}

}  // namespace velomar
