// Conversion to the mixer's canonical stream: channels averaged to mono, integers
// scaled to [-1, 1), then resampled to 16 kHz by libsoxr (HQ, linear phase).
//
// Timing: soxr compensates its filter delay but holds output back (6-115 ms depending
// on rate and block phase) and releases it in bursts. The mixer places each converted
// block at the host time of the buffer it came with, so bursts would misplace audio
// and sources of different formats would drift apart. Every converter therefore starts
// its output with kDelayFrames of silence and hands out, per call, exactly the frames
// the input so far is worth at the rate ratio. The silence covers what soxr holds, so
// output is steady and every input frame appears kDelayFrames after its own time.
//
// Steering: a source whose clock is off gets a ratio near 1 from the mixer. soxr's
// variable-rate mode costs about 15 times its fixed HQ conversion (measured at 48 to
// 16 kHz) and re-creating soxr per ratio breaks the stream, so the fixed HQ conversion
// stays and a short windowed-sinc interpolator reads its 16 kHz output at the steered
// pace. At phase 0 the interpolator is the identity, so switching it on mid-stream
// leaves no seam; it looks kSteeringFrames ahead, well within the leading silence.

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>

#include "platform/pcm.h"

namespace velomar::pcm {

namespace {

constexpr double kOutputRate = kCanonicalRate;
constexpr double kMinRate = 1;
constexpr double kMaxRate = 1073741824.0;  // 2^30

struct SoxrDeleter {
    void operator()(soxr_t s) const { soxr_delete(s); }
};
using SoxrPtr = std::unique_ptr<std::remove_pointer_t<soxr_t>, SoxrDeleter>;

template <typename T>
inline float toUnit(T v) {
    if constexpr (std::is_same_v<T, float>) {
        return v;
    } else if constexpr (std::is_same_v<T, std::int16_t>) {
        return float(v) * (1.0f / 32768.0f);
    } else {
        return float(double(v) * (1.0 / 2147483648.0));
    }
}

template <typename T>
void averageChannels(T* const* data, bool interleaved, std::uint32_t channels, std::uint32_t frames, float* out) {
    if (channels == 1) {
        if constexpr (std::is_same_v<T, float>) {
            std::memcpy(out, data[0], std::size_t(frames) * sizeof(float));
        } else {
            for (std::uint32_t f = 0; f < frames; ++f) out[f] = toUnit(data[0][f]);
        }
        return;
    }
    if (channels == 2) {  // the usual case, kept simple enough to vectorise
        const T* a = data[0];
        const T* b = interleaved ? data[0] + 1 : data[1];
        const std::size_t step = interleaved ? 2 : 1;
        for (std::uint32_t f = 0; f < frames; ++f) out[f] = (toUnit(a[f * step]) + toUnit(b[f * step])) * 0.5f;
        return;
    }
    const float scale = 1.0f / float(channels);
    if (interleaved) {
        const T* p = data[0];
        for (std::uint32_t f = 0; f < frames; ++f) {
            float sum = 0;
            for (std::uint32_t c = 0; c < channels; ++c) sum += toUnit(p[std::size_t(f) * channels + c]);
            out[f] = sum * scale;
        }
    } else {
        for (std::uint32_t f = 0; f < frames; ++f) out[f] = toUnit(data[0][f]);
        for (std::uint32_t c = 1; c < channels; ++c)
            for (std::uint32_t f = 0; f < frames; ++f) out[f] += toUnit(data[c][f]);
        for (std::uint32_t f = 0; f < frames; ++f) out[f] *= scale;
    }
}

// False when the buffer lacks the data pointers its format promises.
bool toMono(const Buffer& buffer, std::vector<float>& out) {
    const Format& f = buffer.format();
    const std::uint32_t frames = buffer.frameLength();
    out.resize(frames);
    if (frames == 0) return true;
    switch (f.sampleType()) {
        case SampleType::float32:
            if (!buffer.floatChannelData()) return false;
            averageChannels(buffer.floatChannelData(), f.isInterleaved(), f.channelCount(), frames, out.data());
            return true;
        case SampleType::int16:
            if (!buffer.int16ChannelData()) return false;
            averageChannels(buffer.int16ChannelData(), f.isInterleaved(), f.channelCount(), frames, out.data());
            return true;
        case SampleType::int32:
            if (!buffer.int32ChannelData()) return false;
            averageChannels(buffer.int32ChannelData(), f.isInterleaved(), f.channelCount(), frames, out.data());
            return true;
    }
    return false;
}

constexpr std::size_t kHistory = Converter::kSteeringFrames;  // frames kept before the read position
constexpr std::size_t kTaps = 2 * Converter::kSteeringFrames;  // taps -15 ... +16 around it
constexpr std::size_t kPhases = 256;

// Kaiser-windowed sinc, one row of taps per phase (kPhases + 1 rows, so that a phase
// between two rows interpolates them), each row normalised to unity gain. Row 0 is the
// exact identity.
const std::vector<float>& steeringTable() {
    static const std::vector<float> table = [] {
        const auto bessel0 = [](double x) {
            double sum = 1, term = 1;
            for (int k = 1; k < 30; ++k) {
                term *= (x / (2 * k)) * (x / (2 * k));
                sum += term;
            }
            return sum;
        };
        constexpr double beta = 6;
        constexpr double half = double(Converter::kSteeringFrames);
        std::vector<float> t((kPhases + 1) * kTaps);
        for (std::size_t p = 0; p <= kPhases; ++p) {
            const double frac = double(p) / double(kPhases);
            double sum = 0;
            std::vector<double> row(kTaps);
            for (std::size_t j = 0; j < kTaps; ++j) {
                const double x = double(j) - (half - 1) - frac;  // tap's distance from the read position
                const double sinc = x == 0 ? 1.0 : std::sin(std::numbers::pi * x) / (std::numbers::pi * x);
                const double r = x / half;
                const double window = std::abs(r) >= 1 ? 0.0 : bessel0(beta * std::sqrt(1 - r * r)) / bessel0(beta);
                row[j] = (p == 0 || p == kPhases) ? 0.0 : sinc * window;
                sum += row[j];
            }
            if (p == 0) row[kHistory - 1] = sum = 1;
            if (p == kPhases) row[kHistory] = sum = 1;
            for (std::size_t j = 0; j < kTaps; ++j) t[p * kTaps + j] = float(row[j] / sum);
        }
        return t;
    }();
    return table;
}

class CanonicalConverter final : public Converter {
public:
    // steeringOnly: canonical input, steered from the start, no leading silence.
    CanonicalConverter(const Format& from, SoxrPtr soxr, bool steeringOnly)
        : from_(from),
          soxr_(std::move(soxr)),
          fifo_(kHistory + (steeringOnly ? 0 : kDelayFrames), 0.0f),
          head_(kHistory),
          steeringOnly_(steeringOnly),
          steering_(steeringOnly) {}

    std::uint32_t delayFrames() const override { return steeringOnly_ ? kSteeringFrames : kDelayFrames; }

    void setRatio(double ratio) override {
        if (!std::isfinite(ratio) || ratio <= 0 || (!steering_ && ratio == 1)) return;
        steering_ = true;
        step_ = 1 / ratio;
    }

    bool convertInto(std::span<float> output, std::size_t* frames, std::string* error,
                     const InputBlock& input) override {
        *frames = 0;
        auto fail = [&](const char* message) {
            if (error) *error = message;
            return false;
        };
        const std::uint64_t capacity = output.size();
        while (input && !ended_ && (steering_ ? steeredReady(capacity) < capacity : ready() < capacity)) {
            InputStatus status = InputStatus::noDataNow;
            BufferPtr in = input(status);
            if (status == InputStatus::haveData) {
                if (!in) return fail("input block reported data without a buffer");
                if (!(in->format() == from_)) return fail("input buffer does not match the converter's input format");
                if (in->frameLength() == 0) break;  // no progress: pulling again could loop for ever
                if (const char* message = feed(*in)) return fail(message);
            } else if (status == InputStatus::endOfStream) {
                if (const char* message = flushResampler()) return fail(message);
                ended_ = true;
                trimToInput();
            } else {
                break;
            }
        }
        if (steering_) {
            *frames = std::size_t(steer(output.data(), capacity));
            return true;
        }
        const std::uint64_t n = std::min(capacity, ready());
        if (n > 0) std::memcpy(output.data(), fifo_.data() + head_, std::size_t(n) * sizeof(float));
        head_ += std::size_t(n);
        sHead_ += n;
        outFrames_ += n;
        *frames = std::size_t(n);
        return true;
    }

private:
    // Resampled stream frames that may be read now: what the input so far is worth (a
    // steering-only converter holds back the interpolator's look-ahead), or the whole
    // stream once the input has ended.
    double steeredDue() const {
        if (ended_) return double(streamEnd_);
        if (steeringOnly_) return inFrames_ > kSteeringFrames ? double(inFrames_ - kSteeringFrames) : 0.0;
        return std::floor(double(inFrames_) * kOutputRate / from_.sampleRate());
    }

    // Whether one more steered frame can leave now.
    bool steeredFrameReady() const {
        return double(sHead_) + frac_ < steeredDue() && head_ + kHistory < fifo_.size();
    }

    // Steered frames that could leave now, counted up to limit.
    std::uint64_t steeredReady(std::uint64_t limit) const {
        if (!steeredFrameReady()) return 0;
        // Ahead by at most kSteeringFrames, the fifo is what bounds the count in practice.
        const double due = std::min(steeredDue(), double(sHead_ + (fifo_.size() - head_ - kHistory)));
        const double n = std::ceil((due - double(sHead_) - frac_) / step_);
        return n >= double(limit) ? limit : std::uint64_t(std::max(n, 0.0));
    }

    std::uint64_t steer(float* out, std::uint64_t capacity) {
        const std::vector<float>& table = steeringTable();
        // Read positions up to due (counted from head_ here) with all their taps present.
        const double due = steeredDue() - double(sHead_);
        const std::size_t start = head_, end = fifo_.size() - kHistory;
        std::uint64_t n = 0;
        while (n < capacity && double(head_ - start) + frac_ < due && head_ < end) {
            const double scaled = frac_ * double(kPhases);
            const auto phase = std::min(std::size_t(int(scaled)), kPhases - 1);
            const float mix = float(scaled - double(phase));
            const float* a = table.data() + phase * kTaps;
            const float* b = a + kTaps;
            const float* x = fifo_.data() + head_ - (kHistory - 1);
            // Separate lanes let the compiler vectorise without reordering a sum.
            constexpr std::size_t kLanes = 4;
            float laneA[kLanes] = {}, laneB[kLanes] = {};
            for (std::size_t j = 0; j < kTaps; j += kLanes)
                for (std::size_t l = 0; l < kLanes; ++l) {
                    laneA[l] += a[j + l] * x[j + l];
                    laneB[l] += b[j + l] * x[j + l];
                }
            float sumA = 0, sumB = 0;
            for (std::size_t l = 0; l < kLanes; ++l) {
                sumA += laneA[l];
                sumB += laneB[l];
            }
            out[n++] = sumA + (sumB - sumA) * mix;
            frac_ += step_;
            while (frac_ >= 1) {  // the step is near 1: at most a frame or two
                frac_ -= 1;
                head_ += 1;
            }
        }
        sHead_ += head_ - start;
        outFrames_ += n;
        return n;
    }

    // Frames that may leave now: what the input so far is worth at the rate ratio, or
    // everything once the stream has ended.
    std::uint64_t ready() const {
        const std::uint64_t held = fifo_.size() - head_;
        if (ended_) return held;
        const std::uint64_t due =
            soxr_ ? std::uint64_t(std::floor(double(inFrames_) * kOutputRate / from_.sampleRate())) : inFrames_;
        return due > outFrames_ ? std::min(held, due - outFrames_) : 0;
    }

    const char* feed(const Buffer& in) {
        if (!toMono(in, mono_)) return "input buffer has no sample data";
        inFrames_ += mono_.size();
        if (!soxr_) {
            compact();
            fifo_.insert(fifo_.end(), mono_.begin(), mono_.end());
            return nullptr;
        }
        return resample(mono_.data(), mono_.size());
    }

    const char* flushResampler() { return soxr_ ? resample(nullptr, 0) : nullptr; }

    // The resampler's flush rounds its own way: the stream is cut or padded to its leading
    // silence plus what the input is worth, so that a tail placed right after the last
    // output ends where the input ended. Once steering, zeros beyond that end let the
    // interpolator read the last frames; they are never handed out themselves.
    void trimToInput() {
        const std::uint64_t worth =
            soxr_ ? std::uint64_t(std::floor(double(inFrames_) * kOutputRate / from_.sampleRate())) : inFrames_;
        streamEnd_ = (steeringOnly_ ? 0 : kDelayFrames) + worth;
        const std::uint64_t held = streamEnd_ > sHead_ ? streamEnd_ - sHead_ : 0;
        fifo_.resize(head_ + std::size_t(held), 0.0f);
        if (steering_) fifo_.insert(fifo_.end(), kHistory, 0.0f);
    }

    // A null input flushes soxr's tail.
    const char* resample(const float* in, std::size_t frames) {
        compact();
        const std::size_t room =
            std::size_t(std::ceil(double(frames) * kOutputRate / from_.sampleRate())) + 256;
        std::size_t used = 0;
        for (;;) {
            const std::size_t start = fifo_.size();
            fifo_.resize(start + room);
            std::size_t consumed = 0, produced = 0;
            soxr_error_t err = soxr_process(soxr_.get(), in ? in + used : nullptr, in ? frames - used : 0, &consumed,
                                            fifo_.data() + start, room, &produced);
            fifo_.resize(start + produced);
            if (err) return err;
            used += consumed;
            if (!in) {
                if (produced == 0) return nullptr;
            } else if ((produced < room && used >= frames) || (consumed == 0 && produced == 0)) {
                return nullptr;
            }
        }
    }

    // Keeps kHistory frames before the read position for the interpolator.
    void compact() {
        if (head_ >= 4096 + kHistory && head_ * 2 >= fifo_.size()) {
            fifo_.erase(fifo_.begin(), fifo_.begin() + std::ptrdiff_t(head_ - kHistory));
            head_ = kHistory;
        }
    }

    Format from_;
    SoxrPtr soxr_;               // absent when the input already runs at 16 kHz
    std::vector<float> mono_;
    std::vector<float> fifo_;    // resampled stream; not handed out yet from head_
    std::size_t head_ = 0;
    std::uint64_t sHead_ = 0;      // the resampled stream's frame at head_, from its first frame
    std::uint64_t inFrames_ = 0;
    std::uint64_t outFrames_ = 0;  // includes the leading silence
    bool ended_ = false;
    std::uint64_t streamEnd_ = 0;  // the stream's length once the input has ended
    bool steeringOnly_ = false;
    bool steering_ = false;
    double step_ = 1;   // resampled frames per output frame while steering
    double frac_ = 0;   // read position's fraction beyond head_
};

}  // namespace

bool Converter::convert(Buffer& output, std::string* error, const InputBlock& input) {
    const auto canonical = Format::common(SampleType::float32, kOutputRate, 1, false);
    std::size_t frames = 0;
    bool ok = false;
    if (!canonical || !(output.format() == *canonical) || !output.floatChannelData()) {
        if (error) *error = "output buffer is not in the converter's output format";
    } else {
        ok = convertInto({output.floatChannelData()[0], output.frameCapacity()}, &frames, error, input);
    }
    output.setFrameLength(std::uint32_t(frames));
    return ok;
}

bool Converter::drain(Buffer& output, std::string* error) {
    return convert(output, error, [](InputStatus& status) {
        status = InputStatus::endOfStream;
        return BufferPtr{};
    });
}

bool Converter::drainInto(std::span<float> output, std::size_t* frames, std::string* error) {
    return convertInto(output, frames, error, [](InputStatus& status) {
        status = InputStatus::endOfStream;
        return BufferPtr{};
    });
}

std::unique_ptr<Converter> Converter::make(const Format& from, const Format& to) {
    const auto canonical = Format::common(SampleType::float32, kOutputRate, 1, false);
    if (!canonical || !(to == *canonical)) return nullptr;
    const double rate = from.sampleRate();
    if (from.channelCount() == 0 || !std::isfinite(rate) || rate < kMinRate || rate > kMaxRate) return nullptr;
    if (from.sampleType() != SampleType::float32 && from.sampleType() != SampleType::int16 &&
        from.sampleType() != SampleType::int32)
        return nullptr;
    SoxrPtr soxr;
    if (rate != kOutputRate) {
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, SOXR_LINEAR_PHASE);
        soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
        // Smaller DFT blocks hold back less (at most 52 ms from 8 kHz up, within the
        // delay); 44.1 and 48 kHz, by far the most common rates, keep the larger default
        // blocks: they cost a third less CPU and hold back at most 41 ms.
        if (rate != 44100 && rate != 48000) {
            runtime.log2_min_dft_size = 10;
            runtime.log2_large_dft_size = 10;
        }
        soxr_error_t err = nullptr;
        soxr.reset(soxr_create(rate, kOutputRate, 1, &err, &io, &quality, &runtime));
        if (err || !soxr) return nullptr;
    }
    return std::make_unique<CanonicalConverter>(from, std::move(soxr), false);
}

std::unique_ptr<Converter> Converter::makeSteering(const Format& canonical) {
    const auto expected = Format::common(SampleType::float32, kOutputRate, 1, false);
    if (!expected || !(canonical == *expected)) return nullptr;
    return std::make_unique<CanonicalConverter>(canonical, nullptr, true);
}

}  // namespace velomar::pcm
