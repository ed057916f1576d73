#include "core/capturer.h"

#include <limits>
#include <utility>

#include "core/awaited_answer.h"
#include "core/capture_error.h"
#include "core/events.h"
#include "core/process_exit.h"
#include "core/recording_end.h"

namespace velomar {

namespace {

using ContentAnswer = std::pair<std::optional<platform::ShareableContent>, std::optional<platform::StreamError>>;

}  // namespace

Capturer::Capturer(std::shared_ptr<Mixer> mixer, std::string out, platform::StreamCapture& capture)
    : mixer_(std::move(mixer)),
      out_(std::move(out)),
      capture_(capture),
      sampleQueue_(dispatch::Queue::makeSerial("velomar.capture")) {}

bool Capturer::hasStream() const {
    std::lock_guard<std::mutex> lock(streamLock_);
    return stream_ != nullptr;
}

platform::StreamConfiguration Capturer::streamConfiguration() {
    platform::StreamConfiguration config;
    config.capturesAudio = true;
    config.excludesCurrentProcessAudio = true;
    config.sampleRate = 48000;
    config.channelCount = 2;
    config.width = 2;
    config.height = 2;
    config.minimumFrameIntervalSeconds = 1.0;
    config.captureMicrophone = true;
    return config;
}

std::shared_ptr<platform::Stream> Capturer::buildAndStartStream() {
    auto content = std::make_shared<AwaitedAnswer<ContentAnswer>>();
    capture_.getShareableContent(false, false,
                                 [content](std::optional<platform::ShareableContent> shareable,
                                           std::optional<platform::StreamError> error) {
                                     content->set({std::move(shareable), std::move(error)});
                                 });
    auto [shareable, contentError] = content->wait();
    if (contentError) throw StreamFailure(*contentError);
    if (!shareable || shareable->displays.empty()) throw CaptureError::capture(kNoDisplayMessage);

    const platform::ContentFilter filter{shareable->displays.front(), {}};
    auto stream = capture_.makeStream(filter, streamConfiguration(), weak_from_this());
    if (!stream) throw CaptureError::capture("the capture stream could not be created");

    for (auto type : {platform::StreamOutputType::audio, platform::StreamOutputType::microphone}) {
        if (auto error = stream->addStreamOutput(weak_from_this(), type, sampleQueue_)) throw StreamFailure(*error);
    }

    auto started = std::make_shared<AwaitedAnswer<std::optional<platform::StreamError>>>();
    stream->startCapture([started](std::optional<platform::StreamError> error) { started->set(std::move(error)); });
    if (auto error = started->wait()) throw StreamFailure(*error);
    return stream;
}

bool Capturer::adopt(std::shared_ptr<platform::Stream> stream, const std::function<void()>& announce) {
    {
        std::lock_guard<std::mutex> lock(streamLock_);
        if (!stopRequested_.load() && !finished_.load()) {
            stream_ = std::move(stream);
            announce();
            return true;
        }
    }
    // Finishing began while the stream was coming up: the recording is already being
    // finalised without it, so it must not deliver into the finished mixer.
    stream->stopCapture([](std::optional<platform::StreamError>) {});
    return false;
}

void Capturer::start() {
    std::shared_ptr<platform::Stream> stream;
    try {
        stream = buildAndStartStream();
    } catch (const std::exception& error) {
        // A stop already finalises the file with status 0; a late failure must not
        // turn that run into an error exit.
        if (stopRequested_.load() || finished_.load()) return;
        emit("error", {{"message", "could not start capture: " + errorText(error)}});
        exitProcess(1);
        return;
    }
    adopt(std::move(stream), [this] { emit("started", {{"out", out_}, {"engine", "sck"}}); });
}

void Capturer::finish(std::optional<std::string> reason) {
    if (finished_.exchange(true)) return;
    std::shared_ptr<platform::Stream> stream;
    {
        std::lock_guard<std::mutex> lock(streamLock_);
        stream = stream_;
    }
    if (!stream) {
        finalizeRecording(*mixer_, out_, reason);
        return;
    }
    std::weak_ptr<Capturer> weak = weak_from_this();
    stream->stopCapture([weak, reason](std::optional<platform::StreamError>) {
        if (auto self = weak.lock()) finalizeRecording(*self->mixer_, self->out_, reason);
    });
}

void Capturer::streamDidOutput(platform::Stream&, const platform::SampleBuffer& buffer,
                               platform::StreamOutputType type) {
    if (!buffer.isValid()) return;
    if (buffer.numSamples() < 1) return;
    SourceKey key{};
    switch (type) {
        case platform::StreamOutputType::audio: key = SourceKey::system; break;
        case platform::StreamOutputType::microphone: key = SourceKey::mic; break;
        default: return;
    }
    auto pcm = pcmBuffer(buffer);
    if (!pcm) return;
    mixer_->ingest(std::move(pcm), key, buffer.presentationSeconds());
}

pcm::BufferPtr Capturer::pcmBuffer(const platform::SampleBuffer& buffer) {
    const auto description = buffer.streamDescription();
    if (!description) return nullptr;
    const auto format = pcm::Format::fromStreamDescription(*description);
    if (!format) return nullptr;
    const std::int64_t frames = buffer.numSamples();
    if (frames < 0 || frames > std::numeric_limits<std::int32_t>::max()) return nullptr;
    const auto n = static_cast<std::uint32_t>(frames);
    auto pcm = pcm::Buffer::make(*format, n);
    if (!pcm) return nullptr;
    pcm->setFrameLength(n);
    if (buffer.copyPCMData(0, static_cast<std::int32_t>(n), pcm->mutableAudioBufferList()) != 0) return nullptr;
    return pcm;
}

void Capturer::streamDidStop(platform::Stream&, const platform::StreamError& error) {
    if (stopRequested_.load()) {
        finish("stream stopped: " + error.description);
        return;
    }
    std::weak_ptr<Capturer> weak = weak_from_this();
    dispatch::Queue::global().async([weak, error] {
        if (auto self = weak.lock()) self->attemptRestart(error);
    });
}

void Capturer::attemptRestart(const platform::StreamError& error) {
    {
        std::lock_guard<std::mutex> lock(streamLock_);
        stream_.reset();
    }
    const std::string reason = "stream stopped: " + error.description;
    emit("interrupted", {{"reason", reason}});

    dispatch::Clock& clock = dispatch::clock();
    const double deadline = clock.now() + restartWindowSeconds;
    std::int64_t attempt = 0;
    for (;;) {
        if (!(clock.now() < deadline)) {
            finish("stream stopped and could not resume within " +
                   std::to_string(static_cast<std::int64_t>(restartWindowSeconds)) + "s: " + error.description);
            return;
        }
        if (stopRequested_.load()) {
            finish(reason);
            return;
        }
        ++attempt;
        clock.sleepUntil(clock.now() + restartBackoffSeconds);
        // A stop during the pause has finalised already; building a stream now would
        // only race the exit.
        if (stopRequested_.load()) continue;
        std::shared_ptr<platform::Stream> stream;
        try {
            stream = buildAndStartStream();
        } catch (const std::exception&) {
            continue;
        }
        if (adopt(std::move(stream), [attempt] { emit("restarted", {{"attempt", attempt}}); })) return;
    }
}

}  // namespace velomar
