#pragma once
// A test's description of the simulated machine, for the test-only program: one
// directive per line, words separated by blanks, the last argument of a directive that
// takes a text running to the end of the line; '#' starts a comment line.
//
//   display <id> <name>                    a display (none: the machine has no display)
//   attempt ok                             outcome of the next stream build, in order
//   attempt fail <step> <text>             step: content | audio-output | mic-output | start
//   attempt-default ok | fail <step> <text>  outcome once the queued ones are used up
//   start-delay <ms>                       the stream start completes this late
//   stop-delay <ms>                        the stream stop completes this late
//   stop-interrupts <text>                 a stream being stopped also reports stopping by itself
//   interrupt <n> <ms> <text>              the n-th stream to start stops by itself ms after it started
//   audio <system|mic> <rate> <channels> <frames> <period-ms>
//                                          sample buffers delivered to the running stream
//   clock virtual <seconds> <period-ms>    process clock in virtual time, advanced by
//                                          <seconds> every <period-ms> of real time
//
//   device <uid> <channels> <rate> <name>  an input device (in list order), a sine on its input
//   default-input <uid> | none
//   auth status <n>                        microphone authorisation status
//   auth answer grant | deny               the answer to the access request
//   fault <call> <status> [times]          hardware or unit calls of that name fail
//   tap-audio <frames> <period-ms>         I/O cycles for every live aggregate device and
//                                          render cycles for every live input unit

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <istream>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch.h"
#include "platform/platform.h"
#include "platform/stream_capture.h"

namespace velomar::sim {

class SimPlatform;

class ScenarioError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Scenario {
public:
    // Applies every directive to the platform (and the process clock); throws
    // ScenarioError naming the line that cannot be read.
    static std::unique_ptr<Scenario> parse(std::istream& input, SimPlatform& platform);
    static std::unique_ptr<Scenario> load(const std::string& path, SimPlatform& platform);
    ~Scenario();

    // Starts the clock and audio drivers.
    void run();
    // Stops and joins every thread of the scenario.
    void stop();

private:
    struct AudioSource {
        bool mic = false;
        double rate = 48000;
        std::uint32_t channels = 2;
        std::uint32_t frames = 480;
        double periodSeconds = 0.01;
    };
    struct Interruption {
        int ordinal = 0;
        double afterSeconds = 0;
        std::string error;
    };

    explicit Scenario(SimPlatform& platform) : platform_(platform) {}
    void apply(const std::string& line);
    void spawn(std::function<void()> work);
    // Sleeps real time; false when the scenario is stopping.
    bool pause(double seconds);
    void streamStarted(int ordinal);
    void runTapAudio();

    SimPlatform& platform_;
    std::shared_ptr<dispatch::ManualClock> clock_;
    double clockStep_ = 0;
    double clockPeriod_ = 0;
    std::vector<platform::Display> displays_;
    std::vector<AudioSource> audio_;
    std::vector<Interruption> interruptions_;
    std::map<std::string, std::uint32_t> deviceIDs_;
    std::uint32_t tapFrames_ = 0;
    double tapPeriod_ = 0;

    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    int running_ = 0;  // detached threads still running
};

}  // namespace velomar::sim
