#include "platform/pcm.h"

#include <bit>
#include <cmath>
#include <ctime>
#include <limits>
#include <new>
#include <stdexcept>
#include <type_traits>

namespace velomar::pcm {

namespace {

constexpr bool kNativeBigEndian = std::endian::native == std::endian::big;

bool validRate(double rate) { return std::isfinite(rate) && rate > 0; }

std::uint32_t sampleBytes(SampleType type) { return type == SampleType::int16 ? 2u : 4u; }

}  // namespace

std::optional<Format> Format::common(SampleType type, double sampleRate, std::uint32_t channels,
                                     bool interleaved) {
    if (!validRate(sampleRate) || channels == 0) return std::nullopt;
    if (type != SampleType::float32 && type != SampleType::int16 && type != SampleType::int32) return std::nullopt;
    Format f;
    f.type_ = type;
    f.rate_ = sampleRate;
    f.channels_ = channels;
    f.interleaved_ = interleaved;
    return f;
}

std::optional<Format> Format::fromStreamDescription(const StreamDescription& d) {
    if (d.formatID != kFormatLinearPCM) return std::nullopt;
    if (((d.formatFlags & kFlagIsBigEndian) != 0) != kNativeBigEndian) return std::nullopt;
    const bool isFloat = (d.formatFlags & kFlagIsFloat) != 0;
    const bool isSigned = (d.formatFlags & kFlagIsSignedInteger) != 0;
    SampleType type;
    if (isFloat && !isSigned && d.bitsPerChannel == 32) {
        type = SampleType::float32;
    } else if (!isFloat && isSigned && d.bitsPerChannel == 16) {
        type = SampleType::int16;
    } else if (!isFloat && isSigned && d.bitsPerChannel == 32) {
        type = SampleType::int32;
    } else {
        return std::nullopt;
    }
    const bool interleaved = (d.formatFlags & kFlagIsNonInterleaved) == 0;
    auto f = common(type, d.sampleRate, d.channelsPerFrame, interleaved);
    if (!f) return std::nullopt;
    // Packed: the sizes must say exactly one sample (per channel buffer) or one frame of samples.
    const std::uint64_t frameBytes =
        std::uint64_t(f->bytesPerSample()) * (interleaved ? std::uint64_t(d.channelsPerFrame) : 1u);
    if (d.framesPerPacket != 1 || d.bytesPerFrame != frameBytes || d.bytesPerPacket != frameBytes) return std::nullopt;
    return f;
}

std::uint32_t Format::bytesPerSample() const { return sampleBytes(type_); }

StreamDescription Format::streamDescription() const {
    StreamDescription d;
    d.sampleRate = rate_;
    d.formatID = kFormatLinearPCM;
    d.formatFlags = kFlagIsPacked | (type_ == SampleType::float32 ? kFlagIsFloat : kFlagIsSignedInteger);
    if (!interleaved_) d.formatFlags |= kFlagIsNonInterleaved;
    if (kNativeBigEndian) d.formatFlags |= kFlagIsBigEndian;
    const std::uint64_t frameBytes = std::uint64_t(bytesPerSample()) * (interleaved_ ? channels_ : 1u);
    // A frame wider than 32 bits of bytes cannot be described; 0 marks it unusable.
    const auto bytes = frameBytes > std::numeric_limits<std::uint32_t>::max() ? 0u : std::uint32_t(frameBytes);
    d.bytesPerPacket = bytes;
    d.framesPerPacket = 1;
    d.bytesPerFrame = bytes;
    d.channelsPerFrame = channels_;
    d.bitsPerChannel = bytesPerSample() * 8;
    return d;
}

bool Format::operator==(const Format& other) const {
    return rate_ == other.rate_ && type_ == other.type_ && channels_ == other.channels_ &&
           interleaved_ == other.interleaved_;
}

BufferPtr Buffer::make(const Format& format, std::uint32_t frameCapacity) {
    const std::uint64_t channels = format.channelCount();
    if (channels == 0) return nullptr;
    const std::uint64_t perChannel = std::uint64_t(frameCapacity) * format.bytesPerSample();
    // channels < 2^32 and perChannel < 2^34: a product beyond 2^62 cannot be allocated anyway.
    if (perChannel != 0 && channels > (std::uint64_t(1) << 62) / perChannel) return nullptr;
    const std::uint64_t total = perChannel * channels;
    try {
        BufferPtr b(new Buffer());
        b->format_ = format;
        b->capacity_ = frameCapacity;
        b->storage_.assign(static_cast<std::size_t>(total), 0);
        std::uint8_t* base = b->storage_.data();
        const std::uint64_t pointers = format.isInterleaved() ? 1 : channels;
        const std::uint64_t stride = format.isInterleaved() ? 0 : perChannel;
        auto fill = [&](auto& vec) {
            using T = std::remove_pointer_t<typename std::remove_reference_t<decltype(vec)>::value_type>;
            vec.resize(static_cast<std::size_t>(pointers));
            for (std::uint64_t c = 0; c < pointers; ++c)
                vec[c] = base ? reinterpret_cast<T*>(base + c * stride) : nullptr;
        };
        switch (format.sampleType()) {
            case SampleType::float32: fill(b->floatChannels_); break;
            case SampleType::int16: fill(b->int16Channels_); break;
            case SampleType::int32: fill(b->int32Channels_); break;
        }
        b->refreshList();
        return b;
    } catch (const std::bad_alloc&) {
        return nullptr;
    } catch (const std::length_error&) {
        return nullptr;
    }
}

BufferPtr Buffer::wrap(const Format& format, const AudioBufferList& list) {
    const std::uint32_t channels = format.channelCount();
    if (channels == 0) return nullptr;
    const std::uint64_t sample = format.bytesPerSample();
    std::uint64_t frames = 0;
    if (format.isInterleaved()) {
        if (list.buffers.size() != 1 || list.buffers[0].numberChannels != channels) return nullptr;
        const std::uint64_t frameBytes = sample * channels;
        if (list.buffers[0].dataByteSize % frameBytes != 0) return nullptr;
        frames = list.buffers[0].dataByteSize / frameBytes;
    } else {
        if (list.buffers.size() != channels) return nullptr;
        const std::uint32_t bytes = list.buffers[0].dataByteSize;
        for (const auto& b : list.buffers)
            if (b.numberChannels != 1 || b.dataByteSize != bytes) return nullptr;
        if (bytes % sample != 0) return nullptr;
        frames = bytes / sample;
    }
    for (const auto& b : list.buffers)
        if (b.data == nullptr && frames != 0) return nullptr;
    try {
        BufferPtr w(new Buffer());
        w->format_ = format;
        w->capacity_ = static_cast<std::uint32_t>(frames);
        w->length_ = w->capacity_;
        auto fill = [&](auto& vec) {
            using T = std::remove_pointer_t<typename std::remove_reference_t<decltype(vec)>::value_type>;
            vec.reserve(list.buffers.size());
            for (const auto& b : list.buffers) vec.push_back(static_cast<T*>(b.data));
        };
        switch (format.sampleType()) {
            case SampleType::float32: fill(w->floatChannels_); break;
            case SampleType::int16: fill(w->int16Channels_); break;
            case SampleType::int32: fill(w->int32Channels_); break;
        }
        w->refreshList();
        return w;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void Buffer::setFrameLength(std::uint32_t frames) {
    length_ = frames < capacity_ ? frames : capacity_;
    refreshList();
}

float* const* Buffer::floatChannelData() const {
    return format_.sampleType() == SampleType::float32 && !floatChannels_.empty() ? floatChannels_.data() : nullptr;
}
std::int16_t* const* Buffer::int16ChannelData() const {
    return format_.sampleType() == SampleType::int16 && !int16Channels_.empty() ? int16Channels_.data() : nullptr;
}
std::int32_t* const* Buffer::int32ChannelData() const {
    return format_.sampleType() == SampleType::int32 && !int32Channels_.empty() ? int32Channels_.data() : nullptr;
}

AudioBufferList& Buffer::mutableAudioBufferList() {
    refreshList();
    return list_;
}

void Buffer::refreshList() {
    const bool interleaved = format_.isInterleaved();
    const std::uint64_t bytes =
        std::uint64_t(length_) * format_.bytesPerSample() * (interleaved ? format_.channelCount() : 1u);
    // Byte sizes are 32-bit in the wire form; a larger buffer reports the largest size it can.
    const std::uint32_t size = bytes > std::numeric_limits<std::uint32_t>::max()
                                   ? std::numeric_limits<std::uint32_t>::max()
                                   : std::uint32_t(bytes);
    auto fill = [&](const auto& pointers) {
        list_.buffers.resize(pointers.size());
        for (std::size_t i = 0; i < pointers.size(); ++i) {
            auto& b = list_.buffers[i];
            b.numberChannels = interleaved ? format_.channelCount() : 1u;
            b.dataByteSize = size;
            b.data = pointers[i];
        }
    };
    switch (format_.sampleType()) {
        case SampleType::float32: fill(floatChannels_); break;
        case SampleType::int16: fill(int16Channels_); break;
        case SampleType::int32: fill(int32Channels_); break;
    }
}

std::uint64_t hostTimeNow() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::uint64_t(ts.tv_sec) * 1000000000u + std::uint64_t(ts.tv_nsec);
}

double secondsForHostTime(std::uint64_t hostTime) {
    // Whole seconds and the remainder separately keep nanosecond precision for long uptimes.
    return double(hostTime / 1000000000u) + double(hostTime % 1000000000u) * 1e-9;
}

std::uint64_t hostTimeForSeconds(double seconds) {
    if (!(seconds > 0)) return 0;
    if (seconds >= 18446744073.709551615) return std::numeric_limits<std::uint64_t>::max();
    const double whole = std::floor(seconds);
    const auto fraction = static_cast<std::uint64_t>(std::llround((seconds - whole) * 1e9));
    std::uint64_t ticks = 0;
    if (__builtin_add_overflow(static_cast<std::uint64_t>(whole) * 1000000000u, fraction, &ticks))
        return std::numeric_limits<std::uint64_t>::max();
    return ticks;
}

}  // namespace velomar::pcm
