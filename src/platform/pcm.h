#pragma once
// PCM formats and buffers, the converter to the mixer's canonical stream, and the
// host clock. Shapes follow the hardware layer's stream descriptions so that the
// backends can hand over device memory without translation.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace velomar::pcm {

constexpr std::uint32_t fourCC(const char (&s)[5]) {
    return (std::uint32_t(std::uint8_t(s[0])) << 24) | (std::uint32_t(std::uint8_t(s[1])) << 16) |
           (std::uint32_t(std::uint8_t(s[2])) << 8) | std::uint32_t(std::uint8_t(s[3]));
}

// Linear PCM stream description: 40 bytes, the hardware layer's wire form.
struct StreamDescription {
    double sampleRate = 0;
    std::uint32_t formatID = 0;      // kFormatLinearPCM
    std::uint32_t formatFlags = 0;   // kFlag* below
    std::uint32_t bytesPerPacket = 0;
    std::uint32_t framesPerPacket = 0;
    std::uint32_t bytesPerFrame = 0;
    std::uint32_t channelsPerFrame = 0;
    std::uint32_t bitsPerChannel = 0;
    std::uint32_t reserved = 0;
};
static_assert(sizeof(StreamDescription) == 40);

constexpr std::uint32_t kFormatLinearPCM = fourCC("lpcm");
constexpr std::uint32_t kFlagIsFloat = 1u << 0;
constexpr std::uint32_t kFlagIsBigEndian = 1u << 1;
constexpr std::uint32_t kFlagIsSignedInteger = 1u << 2;
constexpr std::uint32_t kFlagIsPacked = 1u << 3;
constexpr std::uint32_t kFlagIsNonInterleaved = 1u << 5;

struct AudioBuffer {
    std::uint32_t numberChannels = 0;
    std::uint32_t dataByteSize = 0;
    void* data = nullptr;
};
struct AudioBufferList {
    std::vector<AudioBuffer> buffers;
};

enum class SampleType : std::uint32_t { float32 = 1, int16 = 3, int32 = 4 };  // common-format codes

// Every source is converted to this rate: the timeline's samples per host second.
inline constexpr std::uint32_t kCanonicalRate = 16000;

// The description of packed native-endian linear PCM, as devices and streams report theirs.
// bytesPerFrame is 0 when a frame would not fit 32 bits of bytes (unusable, never accepted).
StreamDescription linearDescription(SampleType type, double sampleRate, std::uint32_t channels, bool interleaved);

class Format {
public:
    // Fails (nullopt) for a rate that is not finite and positive or for 0 channels.
    static std::optional<Format> common(SampleType type, double sampleRate, std::uint32_t channels,
                                        bool interleaved);
    // Accepts native-endian linear PCM: float32, int16 or int32, packed, any channel count > 0.
    static std::optional<Format> fromStreamDescription(const StreamDescription& description);

    SampleType sampleType() const { return type_; }
    double sampleRate() const { return rate_; }
    std::uint32_t channelCount() const { return channels_; }
    bool isInterleaved() const { return interleaved_; }
    StreamDescription streamDescription() const;
    std::uint32_t bytesPerSample() const;

    // Same stream: rate, sample type, channel count and layout.
    bool operator==(const Format& other) const;

private:
    SampleType type_ = SampleType::float32;
    double rate_ = 0;
    std::uint32_t channels_ = 0;
    bool interleaved_ = false;
};

class Buffer;
using BufferPtr = std::shared_ptr<Buffer>;

class Buffer {
public:
    // An empty, owned buffer; nullptr when the capacity cannot be allocated.
    static BufferPtr make(const Format& format, std::uint32_t frameCapacity);
    // A buffer over memory it does not own (an I/O callback's input list); frameLength is
    // what the list holds. Valid only while that memory is. nullptr when the list does not
    // match the format.
    static BufferPtr wrap(const Format& format, const AudioBufferList& list);

    const Format& format() const { return format_; }
    std::uint32_t frameCapacity() const { return capacity_; }
    std::uint32_t frameLength() const { return length_; }
    // Clamped to the capacity.
    void setFrameLength(std::uint32_t frames);

    // Channel pointers only for the matching sample type, else nullptr. Non-interleaved:
    // one pointer per channel; interleaved: one pointer to frames × channels samples.
    float* const* floatChannelData() const;
    std::int16_t* const* int16ChannelData() const;
    std::int32_t* const* int32ChannelData() const;

    // Over the same memory, byte sizes of frameLength frames as of this call (a later
    // setFrameLength needs another call).
    AudioBufferList& mutableAudioBufferList();

protected:
    Buffer() = default;

private:
    template <typename T>
    T* const* channelData(SampleType type, T* const* inlined, const std::vector<T*>& many) const;
    void refreshList();
    Format format_;
    std::uint32_t capacity_ = 0;
    std::uint32_t length_ = 0;
    std::vector<std::uint8_t> storage_;  // empty when wrapping
    // Channel pointers of the format's sample type only: inline for up to two (the usual
    // case, which then costs no allocation), in the vector beyond that.
    std::uint32_t pointerCount_ = 0;
    union {
        float* f[2];
        std::int16_t* s[2];
        std::int32_t* i[2];
    } inline_{};
    std::vector<float*> floatChannels_;
    std::vector<std::int16_t*> int16Channels_;
    std::vector<std::int32_t*> int32Channels_;
    AudioBufferList list_;
};

// An owned copy of source (same format, capacity and frame length), for memory that is
// only lent for the duration of a callback; nullptr when it cannot be allocated.
BufferPtr deepCopy(const Buffer& source);

// Largest absolute sample value of a float buffer, across all channels; 0 for an empty or
// non-float buffer. NaN samples never win; values above 1 are not clamped.
float peak(const Buffer& buffer);

// Channel `channel` of frames [firstFrame, firstFrame + frames) of interleaved samples, into
// one planar buffer that holds at least `frames` samples.
void copyChannel(const float* interleaved, std::uint32_t channels, std::uint32_t channel, std::size_t firstFrame,
                 std::size_t frames, float* out);

// Converts any supported format to 16 kHz mono float, one continuous stream per converter.
// Output for each input buffer tracks the rate ratio (no bursts), behind the input by
// kDelayFrames output frames whatever the input format, so that sources of different
// formats placed by host time stay aligned. Supported input rates: 1 Hz to 2^30 Hz.
class Converter {
public:
    // 56 ms: covers the resampler's worst hold-back for every rate from 8 kHz up; below
    // 8 kHz output may still arrive in bursts, but at the same delay.
    static constexpr std::uint32_t kDelayFrames = 896;

    enum class InputStatus { haveData = 0, noDataNow = 1, endOfStream = 2 };
    using InputBlock = std::function<BufferPtr(InputStatus& status)>;

    // Half the steering interpolator's length: how far it looks ahead, and so the delay of
    // a converter made by makeSteering().
    static constexpr std::uint32_t kSteeringFrames = 16;

    virtual ~Converter() = default;
    // nullptr when the pair is unsupported.
    static std::unique_ptr<Converter> make(const Format& from, const Format& to);
    // For a source already in the canonical format whose clock is off: no rate conversion,
    // only steering (from the start, at ratio 1 until told otherwise), kSteeringFrames
    // behind its input and without leading silence. nullptr unless format is canonical.
    static std::unique_ptr<Converter> makeSteering(const Format& canonical);
    // Fills output (setting its frameLength); false with *error set on failure.
    bool convert(Buffer& output, std::string* error, const InputBlock& input);
    // The same into memory the caller keeps, so that steady conversion needs no buffer per
    // call: at most output.size() frames, their count in *frames (0 on failure).
    virtual bool convertInto(std::span<float> output, std::size_t* frames, std::string* error,
                             const InputBlock& input) = 0;
    // Output frames each input frame appears behind its own time.
    virtual std::uint32_t delayFrames() const = 0;
    // Steers the output rate: ratio output frames per nominal output frame (finite, near 1),
    // from the next output frame on. Until a ratio other than 1 is set, the output is the
    // plain conversion, frame for frame.
    virtual void setRatio(double ratio) = 0;
    // End of input: hands out what is still held, as convert() does after an input block
    // reported endOfStream. The held frames come to exactly what the input was worth, so
    // the tail ends at the instant the input ended; call again until it yields 0 frames.
    // Afterwards the converter takes no more input.
    bool drain(Buffer& output, std::string* error);
    bool drainInto(std::span<float> output, std::size_t* frames, std::string* error);
};

// Host clock: ticks are CLOCK_MONOTONIC nanoseconds on Linux.
std::uint64_t hostTimeNow();
double secondsForHostTime(std::uint64_t hostTime);
std::uint64_t hostTimeForSeconds(double seconds);

}  // namespace velomar::pcm
