#pragma once
// What every part of the backend shares: its own queues, the one-at-a-time retry of
// the recovery paths, and how it introduces itself to the server and what it asks for.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/dispatch.h"

namespace velomar::pulse {

// Connection upkeep: reconnects, default-device changes, stream reopening.
dispatch::Queue& controlQueue();
// Where the input unit's callback runs: never the mainloop thread, so that the engine's
// work can never hold up the server connection or a stop.
dispatch::Queue& inputQueue();

inline constexpr const char* kClientName = "VelomarCapture";

// Fragment size asked of the server for every record stream.
inline constexpr double kFragmentSeconds = 0.025;

// The moment a stop cuts its streams' tails at. The engine stops its streams one after
// the other and each stop waits for the server; a stream whose stop follows another's at
// once is cut at that one's moment, so it adds nothing captured while the first waited.
class StopMoment {
public:
    // At a stream's stop, before its tail is collected: the host time to cut at.
    double begin();
    // That stream's tail is collected.
    void end();
    // How soon after the previous collection a stop counts as part of the same stop.
    static constexpr double kFollowSeconds = 0.05;

private:
    std::mutex mutex_;
    double moment_ = -1;
    double endedAt_ = -1;
};
StopMoment& stopMoment();

// Runs work on the control queue after a delay, at most one run waiting at a time.
class Retry {
public:
    // Unless a run already waits: `fn` in `seconds`. fn reaches its owner weakly.
    void schedule(double seconds, std::function<void()> fn);

private:
    std::shared_ptr<std::atomic<bool>> pending_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace velomar::pulse
