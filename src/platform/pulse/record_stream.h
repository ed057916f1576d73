#pragma once
// A record stream on a server connection: float32 samples placed on the host clock and
// handed over in capture order with the connection's other streams.

#include <pulse/pulseaudio.h>
#include <sys/time.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/chunk_pool.h"
#include "platform/host_timeline.h"
#include "platform/pulse/server_connection.h"
#include "platform/stream_orderer.h"

namespace velomar::pulse {

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
        // Where chunk buffers come from; the consumer hands them back when done.
        std::shared_ptr<platform::ChunkPool> pool;
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
    // sent everything captured up to host time `stopAt`, then hands over all the stream holds
    // up to that moment, whether or not the other streams have caught up. Streams stopped
    // together share one `stopAt`, so the later ones add nothing captured while the earlier
    // ones were collected. False when the stream was not recording. The caller then lets
    // its own queue run, so that the tail reaches the engine before the stream is marked
    // stopped. Not on the mainloop thread.
    bool collectTail(double stopAt);
    static constexpr double kMaxTailSeconds = 0.1;

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
    // A fresh pending chunk starting at the next frame, its buffer from the pool.
    void restartPending();

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
    double stopAt_ = -1;          // host time of the stop whose tail is collected; -1 while recording
    double lastArrival_ = -1;      // host time of our last data; -1 before any
    bool ready_ = false;   // under the connection's wait mutex
    bool failed_ = false;  // under the connection's wait mutex
    bool failureReported_ = false;
    double grantedFragmentSeconds_ = 0;
};

}  // namespace velomar::pulse
