#include "core/audio_tap_engine.h"
#include "core/events.h"

namespace velomar {

void AudioTapEngine::startLevelsTimer() {
    std::weak_ptr<AudioTapEngine> weak = weak_from_this();
    auto timer = dispatch::TimerSource::make(dispatch::Queue::main(), kLevelsIntervalSeconds, kLevelsIntervalSeconds,
                                             [weak] {
                                                 if (auto self = weak.lock()) self->levelsTick();
                                             });
    timer->resume();
    levelsTimer_ = std::move(timer);
}

void AudioTapEngine::levelsTick() {
    if (finished_) return;
    float mic = 0;
    float system = 0;
    {
        std::lock_guard<std::mutex> lock(levelsLock_);
        mic = micPeak_;
        system = systemPeak_;
        micPeak_ = 0;
        systemPeak_ = 0;
    }
    emit("levels", {{"mic", static_cast<double>(mic)}, {"system", static_cast<double>(system)}});
}

}  // namespace velomar
