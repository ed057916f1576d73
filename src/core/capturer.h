#pragma once
// The stream-capture engine: system audio and microphone from one capture stream on
// the first display, into the shared mixer. When the stream stops by itself it is
// rebuilt every 2 s for up to 120 s before the recording is finalised.
// Held by a shared_ptr; the stream reaches it through weak references only.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/mixer.h"
#include "platform/dispatch.h"
#include "platform/pcm.h"
#include "platform/stream_capture.h"

namespace velomar {

class Capturer : public platform::StreamDelegate,
                 public platform::StreamOutput,
                 public std::enable_shared_from_this<Capturer> {
public:
    // Create with std::make_shared: callbacks need weak_from_this().
    Capturer(std::shared_ptr<Mixer> mixer, std::string out, platform::StreamCapture& capture);

    // Builds and starts the first stream, blocking until the backend answers; call it
    // on a thread that may block, never on the main queue. Emits "started", or "error"
    // and exits with status 1.
    void start();

    // The stop entry: every stop from outside sets this before finish() is called.
    void requestStop() { stopRequested_.store(true); }

    // Ends the recording; only the first call (from any thread) has an effect. Without
    // a stream it finalises on the calling thread, otherwise in the stop completion.
    void finish(std::optional<std::string> reason);

    // Makes and starts one stream; throws CaptureError or StreamFailure. Does not store it.
    std::shared_ptr<platform::Stream> buildAndStartStream();

    // Runs on the calling thread until a new stream runs or the window has passed.
    void attemptRestart(const platform::StreamError& error);

    void streamDidOutput(platform::Stream& stream, const platform::SampleBuffer& buffer,
                         platform::StreamOutputType type) override;
    void streamDidStop(platform::Stream& stream, const platform::StreamError& error) override;

    // An owned PCM copy of an audio sample buffer; nullptr when it cannot be decoded.
    static pcm::BufferPtr pcmBuffer(const platform::SampleBuffer& buffer);

    // The configuration every stream is built with.
    static platform::StreamConfiguration streamConfiguration();

    // Read-only views for tests.
    bool finished() const { return finished_.load(); }
    bool stopRequested() const { return stopRequested_.load(); }
    bool hasStream() const;
    const std::shared_ptr<dispatch::Queue>& sampleQueue() const { return sampleQueue_; }

    static constexpr double restartWindowSeconds = 120.0;
    static constexpr double restartBackoffSeconds = 2.0;
    static constexpr const char* kNoDisplayMessage = "no display available to attach the audio capture to";

private:
    // Stores a freshly started stream unless a stop came in meanwhile; then stops it.
    // announce emits the success event under the same lock, so it precedes "stopped".
    bool adopt(std::shared_ptr<platform::Stream> stream, const std::function<void()>& announce);

    std::shared_ptr<Mixer> mixer_;
    std::string out_;
    platform::StreamCapture& capture_;
    // Guards stream_ and orders it against the stop flags.
    mutable std::mutex streamLock_;
    std::shared_ptr<platform::Stream> stream_;
    std::atomic<bool> finished_{false};
    std::atomic<bool> stopRequested_{false};
    std::shared_ptr<dispatch::Queue> sampleQueue_;
};

// An error reported by the capture backend, carried through the stream build so that
// its display text reaches the events unchanged.
class StreamFailure : public std::exception {
public:
    explicit StreamFailure(platform::StreamError error) : error_(std::move(error)) {}
    const char* what() const noexcept override { return error_.description.c_str(); }
    const platform::StreamError& error() const { return error_; }

private:
    platform::StreamError error_;
};

}  // namespace velomar
