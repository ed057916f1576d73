#include "core/mixer.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace velomar {

namespace {

using Int = std::int64_t;

// Host positions can be anywhere in 64 bits; placed positions stay near the timeline.
// Saturation keeps the comparisons with the tolerances right where the exact difference
// would not fit.
Int saturatingSub(Int a, Int b) {
    Int r = 0;
    if (__builtin_sub_overflow(a, b, &r)) return b < 0 ? std::numeric_limits<Int>::max() : std::numeric_limits<Int>::min();
    return r;
}

}  // namespace

Mixer::Mixer(std::shared_ptr<WAVWriter> writer)
    : writer_(std::move(writer)),
      layout_(writer_->layout()),
      channels_(channelCount(layout_)),
      queue_(dispatch::Queue::makeSerial("velomar.mixer")),
      canonical_(*pcm::Format::common(pcm::SampleType::float32, double(kRate), 1, false)) {}

Mixer::~Mixer() {
    if (!queue_->isCurrent()) queue_->sync([] {});
}

void Mixer::ingest(pcm::BufferPtr buffer, std::string key, double hostSeconds) {
    queue_->async([this, buffer = std::move(buffer), key = std::move(key), hostSeconds] {
        if (!buffer) return;
        auto samples = convert(buffer, key);
        if (!samples || samples->empty()) return;
        // Converted audio leaves its converter kDelayFrames late; stamping it that much
        // earlier keeps converted and pass-through sources on the same instant.
        const double delay = sources_.at(key).converter ? double(pcm::Converter::kDelayFrames) / double(kRate) : 0.0;
        place(std::move(*samples), key, hostSeconds - delay);
    });
}

std::optional<std::vector<float>> Mixer::convert(const pcm::BufferPtr& buffer, const std::string& key) {
    auto it = sources_.find(key);
    if (it == sources_.end() || !(it->second.format == buffer->format())) {
        std::unique_ptr<pcm::Converter> converter;
        if (!(buffer->format() == canonical_)) {
            converter = pcm::Converter::make(buffer->format(), canonical_);
            if (!converter) return std::nullopt;
        }
        if (it != sources_.end()) placeTail(it->second, key);
        it = sources_.insert_or_assign(key, Source{buffer->format(), std::move(converter), std::nullopt}).first;
    }
    Source& source = it->second;
    if (!source.converter) return monoFloats(*buffer);

    const double ratio = double(kRate) / buffer->format().sampleRate();
    const double frames = std::floor(ratio * double(buffer->frameLength())) + 16;
    // A capacity that does not fit 32 bits would wrap to a buffer too small for the output.
    if (!std::isfinite(frames) || frames > double(std::numeric_limits<std::uint32_t>::max())) return std::nullopt;
    auto output = pcm::Buffer::make(canonical_, std::uint32_t(frames));
    if (!output) return std::nullopt;

    bool handedOver = false;
    std::string error;
    source.converter->convert(*output, &error, [&](pcm::Converter::InputStatus& status) -> pcm::BufferPtr {
        if (handedOver) {
            status = pcm::Converter::InputStatus::noDataNow;
            return nullptr;
        }
        handedOver = true;
        status = pcm::Converter::InputStatus::haveData;
        return buffer;
    });
    if (!error.empty()) return std::nullopt;
    return monoFloats(*output);
}

std::vector<float> Mixer::monoFloats(const pcm::Buffer& buffer) {
    float* const* data = buffer.floatChannelData();
    if (!data || buffer.frameLength() == 0) return {};
    return std::vector<float>(data[0], data[0] + buffer.frameLength());
}

void Mixer::place(std::vector<float> samples, const std::string& key, double hostSeconds) {
    const auto count = [&] { return Int(samples.size()); };
    // A time that is not finite, or a position outside 64 bits, has no place on the timeline.
    if (!std::isfinite(hostSeconds)) {
        samplesDropped_ += count();
        return;
    }
    if (!startHostSeconds_) startHostSeconds_ = hostSeconds;
    const double position = (hostSeconds - *startHostSeconds_) * double(kRate);
    if (!(position >= -9223372036854775808.0 && position < 9223372036854775808.0)) {
        samplesDropped_ += count();
        return;
    }
    Int p = Int(position);  // truncates toward zero

    Source& source = sources_.at(key);
    Int floor = base_;
    if (source.cursor) {
        const Int cur = *source.cursor;
        const Int d = saturatingSub(p, cur);
        if (d >= -kJitterTolerance && d <= kJitterTolerance) {
            p = cur;
        } else if (d <= kJumpLimit) {
            resyncCount_ += 1;
            if (d > 0) silenceInserted_ += d;
        } else {
            clockClamps_ += 1;
            p = cur;
        }
        floor = std::max(cur, base_);
    } else if (saturatingSub(p, latestSample_) > kJumpLimit) {
        clockClamps_ += 1;
        p = latestSample_;
    }

    if (p < floor) {
        const Int k = std::min(saturatingSub(floor, p), count());
        samples.erase(samples.begin(), samples.begin() + k);
        samplesDropped_ += k;
        if (samples.empty()) {
            source.cursor = floor;
            return;
        }
        p = floor;
    }

    add(samples, p, key);
    source.cursor = p + count();
    latestSample_ = std::max(latestSample_, p + count());
    flush(latestSample_ - kSlack);
}

void Mixer::placeTail(Source& source, const std::string& key) {
    if (!source.converter) return;
    std::vector<float> tail;
    for (;;) {
        auto output = pcm::Buffer::make(canonical_, pcm::Converter::kDelayFrames);
        std::string error;
        if (!output || !source.converter->drain(*output, &error)) break;
        const auto part = monoFloats(*output);
        if (part.empty()) break;
        tail.insert(tail.end(), part.begin(), part.end());
    }
    // A source that never placed anything holds little more than the leading silence.
    if (tail.empty() || !source.cursor) return;
    Int p = *source.cursor;
    if (p < base_) {
        const Int k = std::min(base_ - p, Int(tail.size()));
        tail.erase(tail.begin(), tail.begin() + k);
        samplesDropped_ += k;
        p = base_;
    }
    add(tail, p, key);
    source.cursor = p + Int(tail.size());
    latestSample_ = std::max(latestSample_, *source.cursor);
}

void Mixer::add(std::span<const float> samples, std::int64_t atAbsolute, const std::string& key) {
    const auto offset = std::size_t(atAbsolute - base_);
    const std::size_t end = head_ + (offset + samples.size()) * channels_;
    if (buffer_.size() < end) buffer_.resize(end, 0.0f);
    float* window = buffer_.data() + head_ + offset * channels_;
    if (layout_ == ChannelLayout::mix) {
        for (std::size_t i = 0; i < samples.size(); ++i) window[i] = samples[i] * kGain + window[i];
        return;
    }
    // Unit gain: a channel holds one source, so no headroom is kept for a sum; the
    // writer's knee limits each channel on its own.
    window += channelOf(layout_, key);
    for (std::size_t i = 0; i < samples.size(); ++i) window[i * channels_] = samples[i] + window[i * channels_];
}

void Mixer::flush(std::int64_t upTo) {
    const Int n = upTo - base_;
    if (n < 1) return;
    const std::size_t open = (buffer_.size() - head_) / channels_;
    if (std::uint64_t(n) > open) return;
    const std::size_t floats = std::size_t(n) * channels_;
    writer_->write(std::span<const float>(buffer_.data() + head_, floats));
    head_ += floats;
    base_ += n;
    // Move the open part to the front once it is no larger than what was written before
    // it, so each sample is moved at most about once.
    const std::size_t rest = buffer_.size() - head_;
    if (head_ >= rest) {
        std::copy(buffer_.begin() + std::ptrdiff_t(head_), buffer_.end(), buffer_.begin());
        buffer_.resize(rest);
        head_ = 0;
        // After a long resynchronisation the window shrinks back to its usual size.
        if (buffer_.capacity() > 4 * std::max<std::size_t>(rest, std::size_t(1) << 16)) buffer_.shrink_to_fit();
    }
}

void Mixer::finish() {
    queue_->sync([this] {
        for (auto& [key, source] : sources_) placeTail(source, key);
        flush(latestSample_);
        writer_->finalize();
    });
}

Fields Mixer::diagnostics() {
    Fields fields;
    queue_->sync([&] {
        fields = {{"resyncs", resyncCount_},
                  {"clockClamps", clockClamps_},
                  {"silenceInsertedSamples", silenceInserted_},
                  {"samplesDropped", samplesDropped_},
                  {"limitedSamples", writer_->limitedSamples()},
                  {"samplesNotWritten", writer_->samplesNotWritten()}};
    });
    return fields;
}

}  // namespace velomar
