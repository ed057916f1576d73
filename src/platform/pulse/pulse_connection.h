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

#include "platform/host_timeline.h"
#include "platform/stream_orderer.h"

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
    pa_channel_map channelMap{};    // the device's own layout
    std::string monitorSourceName;  // sinks only
    bool isMonitor = false;         // sources only
};

class Connection;

// A record stream: float32 samples, interleaved, delivered chunk by chunk.
class RecordStream {
public:
    using Chunk = platform::CapturedChunk;
    // Mainloop thread, lock held: copy, hand off, return.
    using ChunkHandler = std::function<void(Chunk&& chunk)>;
    using FailureHandler = std::function<void(const std::string& error)>;

    struct Options {
        std::string source;
        std::uint32_t rate = 48000;
        std::uint32_t channels = 1;
        // The layout asked for; without one, the server's default for `channels`.
        std::optional<pa_channel_map> channelMap;
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

    // Fragment size the server granted, in seconds (0 when unknown).
    double grantedFragmentSeconds() const { return grantedFragmentSeconds_; }
    const Options& options() const { return options_; }

private:
    friend class Connection;
    RecordStream(std::shared_ptr<Connection> connection, Options options, ChunkHandler onChunk);
    static void stateCallback(pa_stream* stream, void* userdata);
    static void readCallback(pa_stream* stream, std::size_t bytes, void* userdata);
    void readAvailable();
    // Cuts what this stream holds into fragment-sized chunks on its timeline, for the outbox.
    void postPending();
    void post(Chunk&& chunk);

    std::shared_ptr<Connection> connection_;
    Options options_;
    pa_stream* stream_ = nullptr;
    platform::StreamOrderer::Lane lane_;  // mainloop lock
    FailureHandler onFailure_;
    platform::HostTimeline timeline_;
    std::int64_t frames_ = 0;
    Chunk pending_;  // collects a fragment; holds everything until the first timing report
    std::optional<timeval> lastReport_;
    double lastTimingRequest_ = 0;
    std::size_t readingsTaken_ = 0;
    double heldSince_ = -1;  // host time the first held data arrived; -1 while nothing is held
    double unsettledSince_ = -1;  // host time the timeline became unsettled; -1 while settled
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
    // Sources and sinks come through the same list protocol; Info is the server's record.
    template <typename Info>
    using InfoCallback = void (*)(pa_context*, const Info*, int, void*);
    // Runs a query of the list kind (a list, or one device by name): its entries, or
    // nullopt when it failed or the server knows no such device.
    template <typename Info>
    std::optional<std::vector<DeviceInfo>> deviceList(
        const std::function<pa_operation*(InfoCallback<Info>, void*)>& start, DeviceInfo (*convert)(const Info&));

    pa_threaded_mainloop* mainloop_ = nullptr;
    pa_context* context_ = nullptr;

    mutable std::mutex waitMutex_;
    std::condition_variable waitCv_;
    bool failed_ = false;  // under waitMutex_
    bool ready_ = false;   // under waitMutex_
    std::function<void(const std::string&)> onFailure_;  // mainloop lock
    std::function<void()> onServerChange_;               // mainloop lock
    // The streams' chunks go out in capture order across streams (mainloop lock).
    platform::StreamOrderer orderer_;
};

}  // namespace velomar::pulse
