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

void Mixer::ingest(pcm::BufferPtr buffer, SourceKey key, double hostSeconds) {
    bool wasEmpty = false;
    {
        std::lock_guard lock(inboxMutex_);
        wasEmpty = inbox_.empty();
        inbox_.push_back(Pending{std::move(buffer), key, hostSeconds});
    }
    // An inbox that already held entries has its drain scheduled and not yet begun.
    if (wasEmpty) queue_->async([this] { drainInbox(); });
}

void Mixer::drainInbox() {
    {
        std::lock_guard lock(inboxMutex_);
        std::swap(inbox_, draining_);
    }
    for (const Pending& p : draining_) handle(p.buffer, p.key, p.hostSeconds);
    // Releases the buffers here, on the mixer's queue, and keeps the capacity.
    draining_.clear();
}

void Mixer::handle(const pcm::BufferPtr& buffer, SourceKey key, double hostSeconds) {
    if (!buffer) return;
    const auto samples = convert(buffer, key);
    if (!samples || samples->empty()) return;
    // Converted audio leaves its converter late by the converter's delay; stamping it
    // that much earlier keeps converted and pass-through sources on the same instant.
    const auto& converter = sources_[std::size_t(key)]->converter;
    const double delay = converter ? double(converter->delayFrames()) / double(kRate) : 0.0;
    place(*samples, key, hostSeconds - delay);
}

std::optional<std::span<const float>> Mixer::convert(const pcm::BufferPtr& buffer, SourceKey key) {
    auto& entry = sources_[std::size_t(key)];
    if (!entry || !(entry->format == buffer->format())) {
        std::unique_ptr<pcm::Converter> converter;
        if (!(buffer->format() == canonical_)) {
            converter = pcm::Converter::make(buffer->format(), canonical_);
            if (!converter) return std::nullopt;
        }
        if (entry) placeTail(*entry, key);
        entry.emplace(Source{buffer->format(), std::move(converter), std::nullopt, {}});
    }
    Source& source = *entry;
    if (!source.converter) return monoFloats(*buffer);

    const double ratio = double(kRate) / buffer->format().sampleRate();
    const double frames = std::floor(ratio * double(buffer->frameLength())) + 16;
    // A capacity that does not fit 32 bits would wrap to a buffer too small for the output.
    if (!std::isfinite(frames) || frames > double(std::numeric_limits<std::uint32_t>::max())) return std::nullopt;
    // The capacity bounds what one conversion hands out, so it stays exactly that; the
    // memory behind it is kept from one conversion to the next.
    const auto capacity = std::size_t(frames);
    if (scratch_.size() < capacity) scratch_.resize(capacity);

    bool handedOver = false;
    std::string error;
    std::size_t produced = 0;
    source.converter->convertInto(std::span<float>(scratch_.data(), capacity), &produced, &error,
                                  [&](pcm::Converter::InputStatus& status) -> pcm::BufferPtr {
                                      if (handedOver) {
                                          status = pcm::Converter::InputStatus::noDataNow;
                                          return nullptr;
                                      }
                                      handedOver = true;
                                      status = pcm::Converter::InputStatus::haveData;
                                      return buffer;
                                  });
    if (!error.empty()) return std::nullopt;
    return std::span<const float>(scratch_.data(), produced);
}

std::span<const float> Mixer::monoFloats(const pcm::Buffer& buffer) {
    float* const* data = buffer.floatChannelData();
    if (!data || buffer.frameLength() == 0) return {};
    return {data[0], buffer.frameLength()};
}

void Mixer::place(std::span<const float> samples, SourceKey key, double hostSeconds) {
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

    Source& source = *sources_[std::size_t(key)];
    Int floor = base_;
    if (source.cursor) {
        const Int cur = *source.cursor;
        const Int d = saturatingSub(p, cur);
        if (d >= -kJitterTolerance && d <= kJitterTolerance) {
            p = cur;
            source.follower.observe(hostSeconds, position - double(cur));
        } else if (d <= kJumpLimit) {
            resyncCount_ += 1;
            if (d > 0) silenceInserted_ += d;
            source.follower.restart();
        } else {
            clockClamps_ += 1;
            p = cur;
            source.follower.restart();
        }
        steer(source);
        floor = std::max(cur, base_);
    } else if (saturatingSub(p, latestSample_) > kJumpLimit) {
        clockClamps_ += 1;
        p = latestSample_;
    }

    if (p < floor) {
        const Int k = std::min(saturatingSub(floor, p), count());
        samples = samples.subspan(std::size_t(k));
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

// The ratio applies from the source's next block on.
void Mixer::steer(Source& source) {
    if (!source.converter && source.follower.engaged()) source.converter = pcm::Converter::makeSteering(canonical_);
    if (source.converter) source.converter->setRatio(source.follower.ratio());
}

void Mixer::placeTail(Source& source, SourceKey key) {
    if (!source.converter) return;
    std::vector<float> tail;
    for (;;) {
        const std::size_t at = tail.size();
        tail.resize(at + pcm::Converter::kDelayFrames);
        std::size_t produced = 0;
        std::string error;
        const bool ok = source.converter->drainInto(std::span<float>(tail.data() + at, pcm::Converter::kDelayFrames),
                                                    &produced, &error);
        tail.resize(at + produced);
        if (!ok || produced == 0) break;
    }
    // A source that never placed anything holds little more than the leading silence.
    if (tail.empty() || !source.cursor) return;
    Int p = *source.cursor;
    std::span<const float> rest(tail);
    if (p < base_) {
        const Int k = std::min(base_ - p, Int(rest.size()));
        rest = rest.subspan(std::size_t(k));
        samplesDropped_ += k;
        p = base_;
    }
    add(rest, p, key);
    source.cursor = p + Int(rest.size());
    latestSample_ = std::max(latestSample_, *source.cursor);
}

void Mixer::add(std::span<const float> samples, std::int64_t atAbsolute, SourceKey key) {
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
    window += channelOf(layout_, sourceName(key));
    for (std::size_t i = 0; i < samples.size(); ++i) window[i * channels_] = samples[i] + window[i * channels_];
}

void Mixer::flush(std::int64_t upTo) {
    const Int n = upTo - base_;
    if (n < 1) return;
    const std::size_t open = (buffer_.size() - head_) / channels_;
    if (std::uint64_t(n) > open) return;
    head_ += std::size_t(n) * channels_;
    base_ += n;
    // A write per block cost more than converting it (a system call each, 100 a second
    // per source): what is final goes to the writer in batches, the file as it was.
    if (head_ - unwritten_ >= std::size_t(kWriteBatch) * channels_) write();
}

void Mixer::write() {
    if (head_ > unwritten_) writer_->write(std::span<const float>(buffer_.data() + unwritten_, head_ - unwritten_));
    unwritten_ = head_;
    // Move the open part to the front once it is no larger than what was written before
    // it, so each sample is moved at most about once.
    const std::size_t rest = buffer_.size() - head_;
    if (head_ >= rest) {
        std::copy(buffer_.begin() + std::ptrdiff_t(head_), buffer_.end(), buffer_.begin());
        buffer_.resize(rest);
        head_ = unwritten_ = 0;
        // After a long resynchronisation the window shrinks back to its usual size.
        if (buffer_.capacity() > 4 * std::max<std::size_t>(rest, std::size_t(1) << 16)) buffer_.shrink_to_fit();
    }
}

void Mixer::finish() {
    queue_->sync([this] {
        drainInbox();
        for (std::size_t k = 0; k < kSourceKeys; ++k)
            if (sources_[k]) placeTail(*sources_[k], SourceKey(k));
        flush(latestSample_);
        write();
        writer_->finalize();
    });
}

Fields Mixer::diagnostics() {
    Fields fields;
    queue_->sync([&] {
        drainInbox();
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

namespace velomar {

Mixer::State Mixer::state() {
    State s;
    queue_->sync([&] {
        drainInbox();
        s.startHostSeconds = startHostSeconds_;
        s.base = base_;
        s.latestSample = latestSample_;
        s.window.assign(buffer_.begin() + std::ptrdiff_t(head_), buffer_.end());
        s.dataBytes = writer_->dataBytes();
        for (std::size_t k = 0; k < kSourceKeys; ++k)
            if (sources_[k]) s.sources[k] = SourceState{sources_[k]->format, sources_[k]->converter != nullptr, sources_[k]->cursor};
    });
    return s;
}

}  // namespace velomar
