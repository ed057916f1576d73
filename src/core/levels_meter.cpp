#include "core/levels_meter.h"

#include <algorithm>

#include "core/events.h"

namespace velomar {

std::shared_ptr<LevelsMeter> LevelsMeter::make() { return std::shared_ptr<LevelsMeter>(new LevelsMeter); }

void LevelsMeter::start() {
    std::weak_ptr<LevelsMeter> weak = weak_from_this();
    auto timer = dispatch::TimerSource::make(dispatch::Queue::main(), kIntervalSeconds, kIntervalSeconds, [weak] {
        if (auto self = weak.lock()) self->report();
    });
    timer->resume();
    levelsTimer_ = std::move(timer);
}

void LevelsMeter::stop() {
    // A tick already queued sees the cancellation and does nothing.
    if (levelsTimer_) {
        levelsTimer_->cancel();
        levelsTimer_.reset();
    }
}

void LevelsMeter::raiseMic(float level) {
    std::lock_guard<std::mutex> lock(levelsLock_);
    if (micPeak_ <= level) micPeak_ = level;
}

void LevelsMeter::raiseSystem(float level) {
    std::lock_guard<std::mutex> lock(levelsLock_);
    systemPeak_ = std::max(systemPeak_, level);
}

void LevelsMeter::report() {
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
