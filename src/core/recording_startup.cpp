#include "core/recording_startup.h"

#include <exception>
#include <utility>

#include "core/audio_tap_engine.h"
#include "core/capture_error.h"
#include "core/capturer.h"
#include "core/events.h"
#include "core/process_exit.h"

namespace velomar {

void deviceReport(platform::Platform& platform) {
    Value::List devices;
    for (const auto& entry : AudioTapEngine::inputDevices(platform.hardware)) {
        devices.push_back(Fields{{"uid", entry.uid}, {"name", entry.name}, {"isDefault", entry.isDefault}});
    }
    emit("devices", {{"devices", std::move(devices)}});
    exitProcess(0);
}

void createRecordingObjects(RecordingState& state, platform::Platform& platform) {
    state.mixer = std::make_shared<Mixer>(state.writer);
    state.stopHandler = nullptr;
    state.capturer = std::make_shared<Capturer>(state.mixer, state.outPath.value_or(std::string()),
                                                platform.streamCapture);
}

void startCapture(RecordingState& state, platform::Platform& platform, const std::string& out) {
    if (state.preferredEngine == "tap") {
        auto engine = AudioTapEngine::make(state.mixer, out, state.micDeviceUID, platform);
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
    startScreenCaptureKit(state);
}

void startScreenCaptureKit(RecordingState& state) {
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
