#pragma once
// Host time of a captured stream's frames, from the server's timing reports and the
// moments the data reached us. Pure arithmetic: no server, no clock of its own.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <array>
#include <optional>

namespace velomar::platform {

// t(frame) = anchor + frame / rate. The anchor comes from timing reports (the capture
// position at a known instant), each giving one reading; no reading may put a frame
// after the moment it reached us (arrival bounds). The anchor takes a low percentile of
// recent readings: between two device periods a reading only grows, so the low ones are
// the fresh ones. It then moves slowly, and jumps only when readings stay far away
// (frames lost in an overrun). Until the first reading there is no anchor: the stream
// holds its chunks.
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
        bool empty() const { return count == 0; }
        std::size_t size() const { return count; }
        double* begin() { return values.data(); }
        double* end() { return values.data() + count; }
        const double* begin() const { return values.data(); }
        const double* end() const { return values.data() + count; }
    };

    std::optional<double> arrivalBound() const;
    double rate_;
    std::optional<double> anchor_;
    Recent<kArrivalWindow> arrivals_;
    Recent<kWindow> readings_;
    double bias_ = 0;      // subtracted from readings the arrivals proved late
    bool jumped_ = false;  // the last reading moved the anchor at once
    std::optional<double> lastReading_;
};

}  // namespace velomar::platform
