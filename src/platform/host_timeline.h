#pragma once
// Host time of a captured stream's frames, from the server's timing reports and the
// moments the data reached us. Pure arithmetic: no server, no clock of its own.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <array>
#include <optional>
#include <utility>

namespace velomar::platform {

// t(frame) = anchor + frame / rate. The anchor comes from timing reports (the capture
// position at a known instant), each giving one reading; no reading may put a frame
// after the moment it reached us (arrival bounds). The anchor takes a low percentile of
// recent readings: between two device periods a reading only grows, so the low ones are
// the fresh ones. It then moves slowly, and jumps only when readings stay far away
// (frames lost in an overrun). Until the first reading there is no anchor: the stream
// holds its chunks.
//
// Two ways of PipeWire's are handled for a stream on PipeWire only: on PulseAudio,
// readings and arrivals also move together by several ms with no frame lost.
//
// A stream's first moments mislead: on PipeWire the first reports put frames 15 to 31 ms
// too early, and the first chunks come faster than they were captured, so their arrivals
// bound the anchor too early as well. Readings and arrivals of the first kSettleSeconds
// of frames only make a provisional anchor; the first reading after them starts afresh,
// and the timeline is settled after kSettleReadings such readings. Since the first chunk
// placed decides where the stream lands, the stream holds its chunks until then.
//
// Frames lost by the server in a short stall (PipeWire drops a few ms, now and then, on
// a busy machine) move readings and arrivals later by the same step and keep them there.
// Followed slowly, the step would shift everything after it against the other stream;
// instead the lost frames are counted back in: the stream fills them with silence
// (missingFrames) and the anchor stays where it is.
class HostTimeline {
public:
    explicit HostTimeline(double rate) : rate_(rate) {}
    // The stream is served by PipeWire: before the first reading.
    void expectPipeWire() { pipeWire_ = true; }
    // A timing report: frame `frame` was captured at host time `seconds`.
    void addReading(double frame, double seconds);
    // Frames up to `endFrame` had arrived by host time `seconds`.
    void addArrival(double endFrame, double seconds);
    // With no settled reading after this many seconds of holding data, what there is decides:
    // the anchor so far, or the arrival bounds alone.
    bool giveUpWaiting(double heldSeconds);
    bool settled() const { return settled_; }
    std::optional<double> anchor() const { return anchor_; }
    // The latest reading lies far from the anchor: frames may have gone missing, and the
    // window of readings has not decided yet whether to jump.
    // So does a small step that the readings suggest and the arrivals since do not refute,
    // until it is confirmed or refuted.
    bool unsettled() const {
        return anchor_ && lastReading_ && (std::fabs(*lastReading_ - *anchor_) > kJumpSeconds || stepSuspected());
    }
    // Frames the server lost since the last call, to be filled with silence where the data
    // not yet stamped begins.
    std::int64_t takeMissingFrames() { return std::exchange(missingFrames_, 0); }
    double timeOf(std::int64_t frame) const { return anchor_.value_or(0) + static_cast<double>(frame) / rate_; }

    static constexpr std::size_t kWindow = 15;
    static constexpr double kMaxStepSeconds = 0.0002;
    static constexpr double kJumpSeconds = 0.05;
    static constexpr double kMaxHoldSeconds = 0.5;
    static constexpr std::size_t kArrivalWindow = 200;
    static constexpr double kStepSeconds = 0.002;
    static constexpr int kStepReadings = 3;
    static constexpr int kStepArrivals = 8;  // enough to see the arrivals' floor through their jitter
    static constexpr double kSettleSeconds = 0.2;
    static constexpr int kSettleReadings = 3;

private:
    // The last N values, in no particular order: all the timeline asks of them is a
    // minimum or a percentile. Fixed memory: a value comes with every fragment.
    template <std::size_t N>
    struct Recent {
        std::array<double, N> values{};
        std::size_t count = 0;
        std::size_t next = 0;
        void push(double v) {
            values[next] = v;
            next = (next + 1) % N;
            if (count < N) ++count;
        }
        void clear() { count = next = 0; }
        // The i-th newest value (0 = the last pushed); i < size().
        double& newest(std::size_t i) { return values[(next + N - 1 - i) % N]; }
        bool empty() const { return count == 0; }
        std::size_t size() const { return count; }
        double* begin() { return values.data(); }
        double* end() { return values.data() + count; }
        const double* begin() const { return values.data(); }
        const double* end() const { return values.data() + count; }
    };

    std::optional<double> arrivalBound() const;
    bool stepSuspected() const;
    // Counts a confirmed small step in as lost frames; true when it did.
    bool takeStep(double reading, std::optional<double> bound);
    double rate_;
    std::optional<double> anchor_;
    Recent<kArrivalWindow> arrivals_;
    Recent<kWindow> readings_;
    double bias_ = 0;      // subtracted from readings the arrivals proved late
    bool jumped_ = false;  // the last reading moved the anchor at once
    std::optional<double> lastReading_;
    // A step in progress: consecutive readings above the anchor, the lowest of them, and the
    // earliest arrival since the first; and the frames found lost, not yet taken.
    int stepReadings_ = 0;
    double stepLow_ = 0;
    std::optional<double> stepArrivals_;
    int stepArrivalCount_ = 0;
    std::int64_t missingFrames_ = 0;
    bool pipeWire_ = false;
    int settledReadings_ = 0;  // readings past the first moments, up to kSettleReadings
    bool settled_ = false;
};

}  // namespace velomar::platform
