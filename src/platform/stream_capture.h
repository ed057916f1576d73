#pragma once
// A capture stream that delivers system audio and microphone as sample buffers, from
// one "display" (on Linux: an output device whose audio the stream records). Callbacks
// arrive on backend threads; sample buffers on the queue given with each output.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_hardware.h"
#include "platform/dispatch.h"
#include "platform/pcm.h"

namespace velomar::platform {

// An error of the capture framework; description is its display text.
struct StreamError {
    std::string description;
};

struct Display {
    std::uint32_t displayID = 0;
    std::string name;
};

struct ShareableContent {
    std::vector<Display> displays;
};

struct ContentFilter {
    Display display;
    std::vector<std::uint32_t> excludedWindows;
};

struct StreamConfiguration {
    bool capturesAudio = false;
    bool excludesCurrentProcessAudio = false;
    std::int32_t sampleRate = 48000;
    std::int32_t channelCount = 2;
    std::int32_t width = 0;
    std::int32_t height = 0;
    double minimumFrameIntervalSeconds = 0;
    bool captureMicrophone = false;
};

enum class StreamOutputType : std::int32_t { screen = 0, audio = 1, microphone = 2 };

class SampleBuffer {
public:
    virtual ~SampleBuffer() = default;
    virtual bool isValid() const = 0;
    virtual std::int64_t numSamples() const = 0;
    // nullopt when the buffer has no audio format description.
    virtual std::optional<pcm::StreamDescription> streamDescription() const = 0;
    // Copies frames [start, start + frames) into list's buffers (laid out for the format).
    virtual OSStatus copyPCMData(std::int32_t start, std::int32_t frames, pcm::AudioBufferList& list) const = 0;
    // Presentation time of the first frame, host-clock seconds.
    virtual double presentationSeconds() const = 0;
};

class Stream;

class StreamDelegate {
public:
    virtual ~StreamDelegate() = default;
    // The stream stopped by itself (not after stopCapture).
    virtual void streamDidStop(Stream& stream, const StreamError& error) = 0;
};

class StreamOutput {
public:
    virtual ~StreamOutput() = default;
    virtual void streamDidOutput(Stream& stream, const SampleBuffer& buffer, StreamOutputType type) = 0;
};

class Stream {
public:
    virtual ~Stream() = default;
    virtual std::optional<StreamError> addStreamOutput(std::weak_ptr<StreamOutput> output,
                                                       StreamOutputType type,
                                                       std::shared_ptr<dispatch::Queue> queue) = 0;
    // Completion runs once on a backend thread: nullopt when capture runs.
    virtual void startCapture(std::function<void(std::optional<StreamError>)> completion) = 0;
    // Completion runs once; no sample buffer is delivered after it.
    virtual void stopCapture(std::function<void(std::optional<StreamError>)> completion) = 0;
};

class StreamCapture {
public:
    virtual ~StreamCapture() = default;
    // Completion runs once on a backend thread with the content or an error.
    virtual void getShareableContent(
        bool excludeDesktopWindows, bool onScreenWindowsOnly,
        std::function<void(std::optional<ShareableContent>, std::optional<StreamError>)> completion) = 0;
    virtual std::shared_ptr<Stream> makeStream(const ContentFilter& filter, const StreamConfiguration& config,
                                               std::weak_ptr<StreamDelegate> delegate) = 0;
};

}  // namespace velomar::platform
