#include "platform/pcm.h"

#include <bit>
#include <cmath>
#include <cstring>
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

StreamDescription linearDescription(SampleType type, double sampleRate, std::uint32_t channels, bool interleaved) {
    StreamDescription d;
    d.sampleRate = sampleRate;
    d.formatID = kFormatLinearPCM;
    d.formatFlags = kFlagIsPacked | (type == SampleType::float32 ? kFlagIsFloat : kFlagIsSignedInteger);
    if (!interleaved) d.formatFlags |= kFlagIsNonInterleaved;
    if (kNativeBigEndian) d.formatFlags |= kFlagIsBigEndian;
    const std::uint64_t frameBytes = std::uint64_t(sampleBytes(type)) * (interleaved ? channels : 1u);
    const auto bytes = frameBytes > std::numeric_limits<std::uint32_t>::max() ? 0u : std::uint32_t(frameBytes);
    d.bytesPerPacket = bytes;
    d.framesPerPacket = 1;
    d.bytesPerFrame = bytes;
    d.channelsPerFrame = channels;
    d.bitsPerChannel = sampleBytes(type) * 8;
    return d;
}

StreamDescription Format::streamDescription() const {
    return linearDescription(type_, rate_, channels_, interleaved_);
}

bool Format::operator==(const Format& other) const {
    return rate_ == other.rate_ && type_ == other.type_ && channels_ == other.channels_ &&
           interleaved_ == other.interleaved_;
}

namespace {

// Lets make_shared reach the protected constructor: one allocation for object and count.
struct SharedBuffer : Buffer {};

}  // namespace

BufferPtr Buffer::make(const Format& format, std::uint32_t frameCapacity) {
    const std::uint64_t channels = format.channelCount();
    if (channels == 0) return nullptr;
    const std::uint64_t perChannel = std::uint64_t(frameCapacity) * format.bytesPerSample();
    // channels < 2^32 and perChannel < 2^34: a product beyond 2^62 cannot be allocated anyway.
    if (perChannel != 0 && channels > (std::uint64_t(1) << 62) / perChannel) return nullptr;
    const std::uint64_t total = perChannel * channels;
    try {
        BufferPtr b = std::make_shared<SharedBuffer>();
        b->format_ = format;
        b->capacity_ = frameCapacity;
        b->storage_.assign(static_cast<std::size_t>(total), 0);
        std::uint8_t* base = b->storage_.data();
        const std::uint64_t pointers = format.isInterleaved() ? 1 : channels;
        const std::uint64_t stride = format.isInterleaved() ? 0 : perChannel;
        auto fill = [&](auto* inlined, auto& many) {
            using T = std::remove_pointer_t<std::remove_reference_t<decltype(*inlined)>>;
            T** out = inlined;
            if (pointers > 2) {
                many.resize(static_cast<std::size_t>(pointers));
                out = many.data();
            }
            for (std::uint64_t c = 0; c < pointers; ++c) out[c] = base ? reinterpret_cast<T*>(base + c * stride) : nullptr;
        };
        switch (format.sampleType()) {
            case SampleType::float32: fill(b->inline_.f, b->floatChannels_); break;
            case SampleType::int16: fill(b->inline_.s, b->int16Channels_); break;
            case SampleType::int32: fill(b->inline_.i, b->int32Channels_); break;
        }
        b->pointerCount_ = static_cast<std::uint32_t>(pointers);
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
        BufferPtr w = std::make_shared<SharedBuffer>();
        w->format_ = format;
        w->capacity_ = static_cast<std::uint32_t>(frames);
        w->length_ = w->capacity_;
        auto fill = [&](auto* inlined, auto& many) {
            using T = std::remove_pointer_t<std::remove_reference_t<decltype(*inlined)>>;
            T** out = inlined;
            if (list.buffers.size() > 2) {
                many.resize(list.buffers.size());
                out = many.data();
            }
            for (std::size_t c = 0; c < list.buffers.size(); ++c) out[c] = static_cast<T*>(list.buffers[c].data);
        };
        switch (format.sampleType()) {
            case SampleType::float32: fill(w->inline_.f, w->floatChannels_); break;
            case SampleType::int16: fill(w->inline_.s, w->int16Channels_); break;
            case SampleType::int32: fill(w->inline_.i, w->int32Channels_); break;
        }
        w->pointerCount_ = static_cast<std::uint32_t>(list.buffers.size());
        return w;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void Buffer::setFrameLength(std::uint32_t frames) { length_ = frames < capacity_ ? frames : capacity_; }

template <typename T>
T* const* Buffer::channelData(SampleType type, T* const* inlined, const std::vector<T*>& many) const {
    if (format_.sampleType() != type || pointerCount_ == 0) return nullptr;
    return pointerCount_ <= 2 ? inlined : many.data();
}

float* const* Buffer::floatChannelData() const {
    return channelData(SampleType::float32, inline_.f, floatChannels_);
}
std::int16_t* const* Buffer::int16ChannelData() const {
    return channelData(SampleType::int16, inline_.s, int16Channels_);
}
std::int32_t* const* Buffer::int32ChannelData() const {
    return channelData(SampleType::int32, inline_.i, int32Channels_);
}

AudioBufferList& Buffer::mutableAudioBufferList() {
    refreshList();
    return list_;
}

// Built on demand: most buffers never need the list form.
void Buffer::refreshList() {
    const bool interleaved = format_.isInterleaved();
    const std::uint64_t bytes =
        std::uint64_t(length_) * format_.bytesPerSample() * (interleaved ? format_.channelCount() : 1u);
    // Byte sizes are 32-bit in the wire form; a larger buffer reports the largest size it can.
    const std::uint32_t size = bytes > std::numeric_limits<std::uint32_t>::max()
                                   ? std::numeric_limits<std::uint32_t>::max()
                                   : std::uint32_t(bytes);
    auto fill = [&](auto* const* pointers) {
        list_.buffers.resize(pointerCount_);
        for (std::size_t i = 0; i < pointerCount_; ++i) {
            auto& b = list_.buffers[i];
            b.numberChannels = interleaved ? format_.channelCount() : 1u;
            b.dataByteSize = size;
            b.data = pointers[i];
        }
    };
    switch (format_.sampleType()) {
        case SampleType::float32: if (auto p = floatChannelData()) fill(p); break;
        case SampleType::int16: if (auto p = int16ChannelData()) fill(p); break;
        case SampleType::int32: if (auto p = int32ChannelData()) fill(p); break;
    }
}

BufferPtr deepCopy(const Buffer& source) {
    auto copy = Buffer::make(source.format(), source.frameCapacity());
    if (!copy) return nullptr;
    copy->setFrameLength(source.frameLength());

    const std::uint32_t frames = source.frameLength();
    const std::uint32_t channels = source.format().channelCount();
    const bool interleaved = source.format().isInterleaved();
    const std::uint32_t blocks = interleaved ? (channels == 0 ? 0 : 1) : channels;
    const std::size_t samplesPerBlock = interleaved ? std::size_t(frames) * channels : frames;
    if (blocks == 0) return copy;

    auto copyBlocks = [&](auto* const* from, auto* const* to) {
        if (samplesPerBlock == 0) return;
        for (std::uint32_t b = 0; b < blocks; ++b)
            std::memcpy(to[b], from[b], samplesPerBlock * sizeof(**from));
    };
    if (source.floatChannelData() && copy->floatChannelData()) {
        copyBlocks(source.floatChannelData(), copy->floatChannelData());
    } else if (source.int16ChannelData() && copy->int16ChannelData()) {
        copyBlocks(source.int16ChannelData(), copy->int16ChannelData());
    } else if (source.int32ChannelData() && copy->int32ChannelData()) {
        copyBlocks(source.int32ChannelData(), copy->int32ChannelData());
    } else {
        return nullptr;
    }
    return copy;
}

float peak(const Buffer& buffer) {
    float* const* data = buffer.floatChannelData();
    if (data == nullptr) return 0;
    const std::uint32_t frames = buffer.frameLength();
    if (frames == 0) return 0;
    const std::uint32_t channels = buffer.format().channelCount();
    if (channels == 0) return 0;

    // Interleaved float has one block holding every channel; otherwise one per channel.
    const std::uint32_t blocks = buffer.format().isInterleaved() ? 1 : channels;
    const std::size_t samples = buffer.format().isInterleaved() ? std::size_t(frames) * channels : frames;
    float m = 0;
    for (std::uint32_t b = 0; b < blocks; ++b) {
        const float* block = data[b];
        for (std::size_t i = 0; i < samples; ++i) {
            const float magnitude = std::fabs(block[i]);
            if (m < magnitude) m = magnitude;  // NaN never wins
        }
    }
    return m;
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

void copyChannel(const float* interleaved, std::uint32_t channels, std::uint32_t channel, std::size_t firstFrame,
                 std::size_t frames, float* out) {
    const float* from = interleaved + firstFrame * channels + channel;
    for (std::size_t f = 0; f < frames; ++f) out[f] = from[f * channels];
}

}  // namespace velomar::pcm
