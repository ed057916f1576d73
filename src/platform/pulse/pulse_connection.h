#pragma once
// One connection to the sound server: a threaded mainloop with its context, plus the
// record streams and the few queries the backend needs. Every wait has a time-out and
// none holds the mainloop lock, so a hung server gives an error instead of a hang.
// Callbacks set from outside run on the mainloop thread with the lock held: they must
// only copy data and hand work to a queue.

#include <pulse/pulseaudio.h>
#include <sys/time.h>

#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace velomar::pulse {

constexpr double kWaitSeconds = 5.0;

struct ServerInfo {
    std::string defaultSinkName;
    std::string defaultSourceName;
    std::string serverName;
    std::string serverVersion;
};

struct DeviceInfo {
    std::uint32_t index = 0;
    std::string name;
    std::string description;
    std::uint32_t rate = 0;
    std::uint32_t channels = 0;
    std::string monitorSourceName;  // sinks only
    bool isMonitor = false;         // sources only
};

// Host time of a stream's frames: t(frame) = anchor + frame / rate. The anchor comes
// from the server's timing reports (the capture position at a known instant), each
// giving one reading; no reading may put a frame after the moment it reached us
// (arrival bounds). The anchor takes a low percentile of recent readings: between two
// device periods a reading only grows, so the low ones are the fresh ones. It then
// moves slowly, and jumps only when readings stay far away (frames lost in an
// overrun). Until the first reading there is no anchor: the stream holds its chunks.
class HostTimeline {
public:
    explicit HostTimeline(double rate) : rate_(rate) {}
    // A timing report: frame `frame` was captured at host time `seconds`.
    void addReading(double frame, double seconds);
    // Frames up to `endFrame` had arrived by host time `seconds`.
    void addArrival(double endFrame, double seconds);
    // With no reading after this many seconds of holding data, the arrival bounds alone decide.
    bool giveUpWaiting(double heldSeconds);
    std::optional<double> anchor() const { return anchor_; }
    // The latest reading lies far from the anchor: frames may have gone missing, and the
    // window of readings has not decided yet whether to jump.
    bool unsettled() const { return anchor_ && lastReading_ && std::fabs(*lastReading_ - *anchor_) > kJumpSeconds; }
    double timeOf(std::int64_t frame) const { return anchor_.value_or(0) + static_cast<double>(frame) / rate_; }

    static constexpr std::size_t kWindow = 15;
    static constexpr double kMaxStepSeconds = 0.0002;
    static constexpr double kJumpSeconds = 0.05;
    static constexpr double kMaxHoldSeconds = 0.5;
    static constexpr std::size_t kArrivalWindow = 200;

private:
    std::optional<double> arrivalBound() const;
    double rate_;
    std::optional<double> anchor_;
    std::deque<double> arrivals_;
    std::deque<double> readings_;
    double bias_ = 0;      // subtracted from readings the arrivals proved late
    bool jumped_ = false;  // the last reading moved the anchor at once
    std::optional<double> lastReading_;
};

class Connection;

// A record stream: float32 samples, interleaved, delivered chunk by chunk.
class RecordStream {
public:
    struct Chunk {
        std::vector<float> samples;  // frames × channels, interleaved
        std::uint32_t frames = 0;
        std::uint32_t channels = 0;
        double rate = 0;
        double hostSeconds = 0;     // first frame, CLOCK_MONOTONIC
        std::int64_t firstFrame = 0;
    };
    // Mainloop thread, lock held: copy, hand off, return.
    using ChunkHandler = std::function<void(Chunk&& chunk)>;
    using FailureHandler = std::function<void(const std::string& error)>;

    struct Options {
        std::string source;
        std::uint32_t rate = 48000;
        std::uint32_t channels = 1;
        double fragmentSeconds = 0.025;
        std::string streamName = "Velomar Capture";
    };

    // Connects and waits (with time-out) until the stream records; nullptr with *error.
    static std::unique_ptr<RecordStream> open(std::shared_ptr<Connection> connection, const Options& options,
                                              ChunkHandler onChunk, FailureHandler onFailure,
                                              std::string* error);
    ~RecordStream();
    RecordStream(const RecordStream&) = delete;
    RecordStream& operator=(const RecordStream&) = delete;

    // Longest a stream waits for its timeline to decide after readings said frames went missing.
    static constexpr double kMaxDoubtSeconds = 1.5;

    // At a stop, before the stream goes: waits (at most kMaxTailSeconds) until the server has
    // sent everything captured up to now, then hands over all the stream holds, whether or
    // not the other streams have caught up. False when the stream was not recording. The
    // caller then lets its own queue run, so that the tail reaches the engine before the
    // stream is marked stopped. Not on the mainloop thread.
    bool collectTail();
    static constexpr double kMaxTailSeconds = 0.1;

    // Fragment size the server granted, in seconds (0 when unknown).
    double grantedFragmentSeconds() const { return grantedFragmentSeconds_; }
    const Options& options() const { return options_; }

private:
    friend class Connection;
    RecordStream(std::shared_ptr<Connection> connection, Options options);
    static void stateCallback(pa_stream* stream, void* userdata);
    static void readCallback(pa_stream* stream, std::size_t bytes, void* userdata);
    void readAvailable();
    // Cuts what this stream holds into fragment-sized chunks on its timeline, for the outbox.
    void postPending();
    void post(Chunk&& chunk);
    // Whether a chunk of another stream captured at host time `t` must wait for this one.
    bool behind(double t) const;

    std::shared_ptr<Connection> connection_;
    Options options_;
    pa_stream* stream_ = nullptr;
    ChunkHandler onChunk_;
    FailureHandler onFailure_;
    HostTimeline timeline_;
    std::int64_t frames_ = 0;
    Chunk pending_;  // collects a fragment; holds everything until the first timing report
    std::optional<timeval> lastReport_;
    double lastTimingRequest_ = 0;
    std::size_t readingsTaken_ = 0;
    double heldSince_ = -1;  // host time the first held data arrived; -1 while nothing is held
    bool holding_ = true;    // nothing handed over yet (mainloop lock)
    double unsettledSince_ = -1;  // host time the timeline became unsettled; -1 while settled
    std::deque<Chunk> outbox_;                  // placed, waiting for the other streams
    double dataEnd_ = 0;                        // host time just after the last chunk posted
    double lastArrivalService_ = 0;             // the connection's service clock at our last data
    double lastArrival_ = -1;                   // host time of our last data; -1 before any
    bool ready_ = false;   // under the connection's wait mutex
    bool failed_ = false;  // under the connection's wait mutex
    bool failureReported_ = false;
    double grantedFragmentSeconds_ = 0;
};

class Connection : public std::enable_shared_from_this<Connection> {
public:
    // Connects without autospawn to PULSE_SERVER or the default socket; waits at most
    // kWaitSeconds. nullptr with *error on failure.
    static std::shared_ptr<Connection> connect(const std::string& clientName, std::string* error);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Holds the mainloop lock; never held while waiting for the server.
    class Lock {
    public:
        explicit Lock(Connection& connection);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        pa_threaded_mainloop* mainloop_;
    };

    // Called once, on the mainloop thread, when the connection breaks.
    void setFailureHandler(std::function<void(const std::string& error)> handler);
    // Subscribes to server changes (default sink or source) and to sinks and sources
    // appearing or going; handler on the mainloop thread.
    bool subscribeServerChanges(std::function<void()> handler);

    bool alive() const;
    std::string errorText() const;  // text of the context's last error

    std::optional<ServerInfo> serverInfo();
    std::optional<std::vector<DeviceInfo>> sources();
    std::optional<std::vector<DeviceInfo>> sinks();
    std::optional<DeviceInfo> source(const std::string& name);
    std::optional<DeviceInfo> sink(const std::string& name);

private:
    friend class RecordStream;
    Connection() = default;
    static void stateCallback(pa_context* context, void* userdata);
    static void subscribeCallback(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index,
                                  void* userdata);

    // Starts an operation under the lock, waits for done (or failure, or the time-out)
    // without the lock, and cancels what is still pending.
    bool runOperation(const std::function<pa_operation*()>& start, const bool& done);
    // Waits on the wait mutex until predicate() or the connection failed or time-out.
    bool waitFor(const std::function<bool()>& predicate);
    void markDone(bool& flag);
    // Hands the streams' chunks over in capture order across streams: a chunk waits while
    // another live stream has not reached its time yet. Mainloop thread, lock held.
    void deliver(double now);
    static constexpr double kLeadSeconds = 0.2;    // how far one stream may run ahead
    static constexpr double kSilentSeconds = 0.5;  // a stream without data this long is not waited for
    static constexpr double kServiceStep = 0.1;    // a stall counts as this much service time
    // Sources and sinks come through the same list protocol; Info is the server's record.
    template <typename Info>
    std::optional<std::vector<DeviceInfo>> deviceList(
        pa_operation* (*list)(pa_context*, void (*)(pa_context*, const Info*, int, void*), void*),
        DeviceInfo (*convert)(const Info&));
    template <typename Info>
    std::optional<DeviceInfo> deviceByName(
        pa_operation* (*get)(pa_context*, const char*, void (*)(pa_context*, const Info*, int, void*), void*),
        const std::string& name, DeviceInfo (*convert)(const Info&));

    pa_threaded_mainloop* mainloop_ = nullptr;
    pa_context* context_ = nullptr;

    mutable std::mutex waitMutex_;
    std::condition_variable waitCv_;
    bool failed_ = false;  // under waitMutex_
    bool ready_ = false;   // under waitMutex_
    std::function<void(const std::string&)> onFailure_;  // mainloop lock
    std::function<void()> onServerChange_;               // mainloop lock
    std::vector<RecordStream*> streams_;                 // mainloop lock
    // Advances with the time between our servicing of the streams, but by at most
    // kServiceStep at once: after the whole process stalled, every stream is as fresh as
    // the others, and none counts as silent for the length of the stall.
    double serviceClock_ = 0;   // mainloop lock
    double lastServiced_ = -1;  // mainloop lock
};

}  // namespace velomar::pulse
