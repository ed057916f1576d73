#pragma once
// Simulated stream capture: a machine with a scriptable list of displays, streams whose
// build steps fail or succeed as a test scripts them (one outcome per content query),
// sample buffers injected by the test, and streams that stop by themselves on request.
// Completions and delegate calls arrive on threads of the simulator's own, never on the
// caller's thread.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/stream_capture.h"

namespace velomar::sim {

// A sample buffer holding its own bytes: one byte block per buffer of the format's
// layout (one block interleaved, one per channel otherwise).
class SimSampleBuffer : public platform::SampleBuffer {
public:
    SimSampleBuffer() = default;
    // Float samples, interleaved when interleaved is set, else channel after channel.
    static std::shared_ptr<SimSampleBuffer> floats(double sampleRate, std::uint32_t channels, bool interleaved,
                                                   const std::vector<float>& samples, double presentationSeconds);
    static std::shared_ptr<SimSampleBuffer> int16s(double sampleRate, std::uint32_t channels,
                                                   const std::vector<std::int16_t>& interleavedSamples,
                                                   double presentationSeconds);

    bool isValid() const override { return valid; }
    std::int64_t numSamples() const override { return frames; }
    std::optional<pcm::StreamDescription> streamDescription() const override { return description; }
    platform::OSStatus copyPCMData(std::int32_t start, std::int32_t count, pcm::AudioBufferList& list) const override;
    double presentationSeconds() const override { return seconds; }

    bool valid = true;
    std::int64_t frames = 0;
    std::optional<pcm::StreamDescription> description;
    std::vector<std::vector<std::uint8_t>> blocks;
    double seconds = 0;
    // When set, copyPCMData fails with this status.
    std::optional<platform::OSStatus> copyStatus;

    static constexpr platform::OSStatus kCopyFailed = -12731;
};

// Where a stream build fails, for one content query and the stream made after it.
enum class FailStep { none, content, audioOutput, micOutput, start };

struct AttemptOutcome {
    FailStep step = FailStep::none;
    std::string error;  // the framework's description of the failure
};

class SimStreamCapture;

class SimStream : public platform::Stream, public std::enable_shared_from_this<SimStream> {
public:
    std::optional<platform::StreamError> addStreamOutput(std::weak_ptr<platform::StreamOutput> output,
                                                         platform::StreamOutputType type,
                                                         std::shared_ptr<dispatch::Queue> queue) override;
    void startCapture(std::function<void(std::optional<platform::StreamError>)> completion) override;
    void stopCapture(std::function<void(std::optional<platform::StreamError>)> completion) override;

    int number() const { return number_; }
    const platform::ContentFilter& filter() const { return filter_; }
    const platform::StreamConfiguration& configuration() const { return config_; }
    std::vector<platform::StreamOutputType> outputTypes() const;
    std::vector<std::string> outputQueueLabels() const;
    bool running() const;
    bool stopCalled() const;

private:
    friend class SimStreamCapture;
    struct Output {
        std::weak_ptr<platform::StreamOutput> output;
        platform::StreamOutputType type;
        std::shared_ptr<dispatch::Queue> queue;
    };

    SimStream(SimStreamCapture& owner, int number, platform::ContentFilter filter, platform::StreamConfiguration config,
              std::weak_ptr<platform::StreamDelegate> delegate, AttemptOutcome outcome);
    bool deliver(std::shared_ptr<const platform::SampleBuffer> buffer, platform::StreamOutputType type);
    bool stopByItself(const platform::StreamError& error);
    // Waits until no delivery queued before now can still reach an output.
    void drainOutputs();

    SimStreamCapture& owner_;
    const int number_;
    const platform::ContentFilter filter_;
    const platform::StreamConfiguration config_;
    const std::weak_ptr<platform::StreamDelegate> delegate_;
    const AttemptOutcome outcome_;
    mutable std::mutex mutex_;
    std::vector<Output> outputs_;
    bool running_ = false;
    bool stopCalled_ = false;
};

class SimStreamCapture : public platform::StreamCapture {
public:
    using ContentCompletion =
        std::function<void(std::optional<platform::ShareableContent>, std::optional<platform::StreamError>)>;

    SimStreamCapture();
    ~SimStreamCapture() override;

    void getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,
                             ContentCompletion completion) override;
    std::shared_ptr<platform::Stream> makeStream(const platform::ContentFilter& filter,
                                                 const platform::StreamConfiguration& config,
                                                 std::weak_ptr<platform::StreamDelegate> delegate) override;

    // ---- Script ----
    void setDisplays(std::vector<platform::Display> displays);
    // Outcomes of the next content queries, in order; afterwards the default one.
    void queueOutcomes(std::vector<AttemptOutcome> outcomes);
    void setDefaultOutcome(AttemptOutcome outcome);
    // The stop completion comes this long (real seconds) after stopCapture.
    void setStopDelay(double seconds);
    // The framework reports this error as the stream stopping by itself while a
    // stopCapture is in progress (before the stop completion).
    void setStopInterruption(std::optional<std::string> error);
    // The start completion comes this long (real seconds) after startCapture.
    void setStartDelay(double seconds);
    // Called (on a simulator thread) each time a stream has started, with how many
    // streams have started so far (1 for the first).
    void onStreamStarted(std::function<void(int ordinal)> observer);

    // ---- Driving ----
    // Hands the buffer to every output of that type of the running stream, on the
    // output's queue. False when no stream runs.
    bool deliver(std::shared_ptr<const platform::SampleBuffer> buffer, platform::StreamOutputType type);
    // The running stream stops by itself: no further buffers, then the delegate is told
    // on a simulator thread. False when no stream runs.
    bool interrupt(const std::string& error);

    // ---- Record ----
    int contentQueries() const;
    int streamsMade() const;
    int streamsStarted() const;
    int streamsStopped() const;  // stopCapture completions delivered
    std::vector<std::shared_ptr<SimStream>> streams() const;
    std::shared_ptr<SimStream> runningStream() const;
    // Waits (real time) until at least n streams have started; false on timeout.
    bool waitForStarted(int n, double timeoutSeconds) const;
    // Waits until every simulator thread started so far has finished.
    void quiesce();

private:
    friend class SimStream;
    void spawn(std::function<void()> work);
    int noteStarted();
    void notifyStarted(int ordinal);
    void noteStopped();

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<platform::Display> displays_;
    std::deque<AttemptOutcome> outcomes_;
    AttemptOutcome defaultOutcome_;
    std::optional<AttemptOutcome> pendingOutcome_;  // from the last content query
    double stopDelaySeconds_ = 0;
    double startDelaySeconds_ = 0;
    std::optional<std::string> stopInterruption_;
    std::function<void(int)> startedObserver_;
    int contentQueries_ = 0;
    int streamsStarted_ = 0;
    int streamsStopped_ = 0;
    std::vector<std::shared_ptr<SimStream>> streams_;

    // Simulator threads are detached (a process may end while they run) and counted, so
    // that quiesce() can wait for them; the count outlives the simulator.
    struct Threads {
        std::mutex mutex;
        std::condition_variable idle;
        int running = 0;
    };
    std::shared_ptr<Threads> threads_ = std::make_shared<Threads>();
};

}  // namespace velomar::sim
