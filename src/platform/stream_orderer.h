#pragma once
// Hands the chunks of several capture streams over in capture order across the streams.
// Not thread-safe: every call comes from the one thread that services the streams (or
// under the one lock that serialises them).

#include <cstdint>
#include <functional>
#include <vector>

namespace velomar::platform {

// Captured audio: interleaved float samples and the host time of their first frame.
struct CapturedChunk {
    std::vector<float> samples;  // frames × channels, interleaved
    std::uint32_t frames = 0;
    std::uint32_t channels = 0;
    double rate = 0;
    double hostSeconds = 0;  // first frame, CLOCK_MONOTONIC
    std::int64_t firstFrame = 0;
};

// A chunk waits while another live stream has not reached its time yet. One stream's
// chunks handed over ahead of another's by more than the mixer holds back would be
// dropped there: after a stall, one stream's whole backlog can be read before the
// other's arrives (seen on PipeWire), so the earliest chunk always goes first.
class StreamOrderer {
public:
    using Handler = std::function<void(CapturedChunk&& chunk)>;

    // One stream's side of the orderer; owned by the stream, attached while it exists.
    class Lane {
    public:
        explicit Lane(Handler onChunk) : onChunk_(std::move(onChunk)) {}
        Lane(const Lane&) = delete;
        Lane& operator=(const Lane&) = delete;

        // The stream records; a lane that does not (not yet, or no more) is never waited for.
        void setLive(bool live) { live_ = live; }
        // Nothing handed over yet: the stream's first data still waits for its timeline.
        bool holding() const { return holding_; }
        void release() { holding_ = false; }
        // Data reached the stream now.
        void noteData();
        // A chunk placed on the timeline (hostSeconds set), to go out in order.
        void post(CapturedChunk&& chunk);
        // Hands over everything posted at once, whatever the other lanes' progress: at a
        // stop, when the other streams' data before it is being collected the same way.
        void flush();

    private:
        friend class StreamOrderer;
        // Whether a chunk of another stream captured at host time `t` must wait for this one.
        bool behind(double t) const;

        const StreamOrderer* orderer_ = nullptr;
        Handler onChunk_;
        // Placed, waiting for the other streams: [outboxHead_, end). A vector that keeps its
        // memory, so that passing through costs no allocation once it has held a backlog.
        bool empty() const { return outboxHead_ == outbox_.size(); }
        const CapturedChunk& front() const { return outbox_[outboxHead_]; }
        CapturedChunk popFront();

        std::vector<CapturedChunk> outbox_;
        std::size_t outboxHead_ = 0;
        double dataEnd_ = 0;                // host time just after the last chunk posted
        double lastDataService_ = 0;        // the orderer's service clock at our last data
        bool holding_ = true;
        bool live_ = false;
    };

    void attach(Lane& lane);
    void detach(Lane& lane);
    // Hands over every chunk that need not wait; `now` is the host time of this service.
    void deliver(double now);

    static constexpr double kLeadSeconds = 0.2;    // how far one stream may run ahead
    static constexpr double kSilentSeconds = 0.5;  // a stream without data this long is not waited for
    static constexpr double kServiceStep = 0.1;    // a stall counts as this much service time

private:
    std::vector<Lane*> lanes_;
    // Advances with the time between two services, but by at most kServiceStep at once:
    // after the whole process stalled, every stream is as fresh as the others, and none
    // counts as silent for the length of the stall.
    double serviceClock_ = 0;
    double lastServiced_ = -1;
};

}  // namespace velomar::platform
