#pragma once
// The two running peaks (microphone and system audio) and the timer that reports them
// as "levels" on the main queue, resetting both after each report. The audio threads
// raise the peaks; the lock guards the two peaks and nothing else.

#include <memory>
#include <mutex>

#include "platform/dispatch.h"

namespace velomar {

class LevelsMeter : public std::enable_shared_from_this<LevelsMeter> {
public:
    static constexpr double kIntervalSeconds = 0.1;

    // Use make(): the timer reaches the meter through a weak reference.
    static std::shared_ptr<LevelsMeter> make();

    // Starts the repeating report; the first one comes one interval from now.
    void start();
    // No report is emitted once this returns; safe to call any number of times.
    void stop();

    void raiseMic(float level);
    void raiseSystem(float level);

private:
    LevelsMeter() = default;
    void report();

    std::mutex levelsLock_;
    float micPeak_ = 0;
    float systemPeak_ = 0;
    std::shared_ptr<dispatch::TimerSource> levelsTimer_;
};

}  // namespace velomar
