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

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "platform/pcm.h"

namespace velomar::pcm {

namespace {

constexpr double kOutputRate = 16000;
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
        for (std::uint32_t f = 0; f < frames; ++f) out[f] = toUnit(data[0][f]);
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

class CanonicalConverter final : public Converter {
public:
    CanonicalConverter(const Format& from, const Format& to, SoxrPtr soxr)
        : from_(from), to_(to), soxr_(std::move(soxr)), fifo_(kDelayFrames, 0.0f) {}

    bool convert(Buffer& output, std::string* error, const InputBlock& input) override {
        auto fail = [&](const char* message) {
            if (error) *error = message;
            output.setFrameLength(0);
            return false;
        };
        if (!(output.format() == to_) || !output.floatChannelData()) return fail("output buffer is not in the converter's output format");
        const std::uint64_t capacity = output.frameCapacity();
        while (input && !ended_ && ready() < capacity) {
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
        const std::uint64_t n = std::min(capacity, ready());
        if (n > 0) std::memcpy(output.floatChannelData()[0], fifo_.data() + head_, std::size_t(n) * sizeof(float));
        head_ += std::size_t(n);
        outFrames_ += n;
        output.setFrameLength(std::uint32_t(n));
        return true;
    }

    bool drain(Buffer& output, std::string* error) override {
        return convert(output, error, [](InputStatus& status) {
            status = InputStatus::endOfStream;
            return BufferPtr{};
        });
    }

private:
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

    // The resampler's flush rounds its own way: what is held is cut or padded to the
    // leading silence plus what the input is worth, so that a tail placed right after the
    // last output ends where the input ended.
    void trimToInput() {
        const std::uint64_t worth =
            soxr_ ? std::uint64_t(std::floor(double(inFrames_) * kOutputRate / from_.sampleRate())) : inFrames_;
        const std::uint64_t total = kDelayFrames + worth;
        const std::uint64_t held = total > outFrames_ ? total - outFrames_ : 0;
        fifo_.resize(head_ + std::size_t(held), 0.0f);
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

    void compact() {
        if (head_ >= 4096 && head_ * 2 >= fifo_.size()) {
            fifo_.erase(fifo_.begin(), fifo_.begin() + std::ptrdiff_t(head_));
            head_ = 0;
        }
    }

    Format from_;
    Format to_;
    SoxrPtr soxr_;               // absent when the input already runs at 16 kHz
    std::vector<float> mono_;
    std::vector<float> fifo_;    // output not handed out yet, from head_
    std::size_t head_ = 0;
    std::uint64_t inFrames_ = 0;
    std::uint64_t outFrames_ = 0;  // includes the leading silence
    bool ended_ = false;
};

}  // namespace

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
    return std::make_unique<CanonicalConverter>(from, *canonical, std::move(soxr));
}

}  // namespace velomar::pcm
