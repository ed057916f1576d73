#include "platform/pulse/pulse_stream_capture.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "platform/callback_gate.h"
#include "platform/pulse/backend_shared.h"
#include "platform/pulse/record_stream.h"

namespace velomar::pulse {

using namespace platform;

namespace {

class PulseSampleBuffer : public SampleBuffer {
public:
    explicit PulseSampleBuffer(const RecordStream::Chunk& chunk) : chunk_(&chunk) {}
    bool isValid() const override { return chunk_ != nullptr; }
    std::int64_t numSamples() const override { return chunk_->frames; }
    std::optional<pcm::StreamDescription> streamDescription() const override {
        return pcm::linearDescription(pcm::SampleType::float32, chunk_->rate, chunk_->channels, true);
    }
    OSStatus copyPCMData(std::int32_t start, std::int32_t frames, pcm::AudioBufferList& list) const override {
        if (start < 0 || frames < 0 || static_cast<std::int64_t>(start) + frames > chunk_->frames) {
            return kErrIllegalOperation;
        }
        const std::size_t channels = chunk_->channels;
        const std::size_t count = static_cast<std::size_t>(frames) * channels;
        if (list.buffers.size() == 1) {
            auto& b = list.buffers[0];
            if (!b.data || b.dataByteSize < count * sizeof(float)) return kErrBadPropertySize;
            std::memcpy(b.data, chunk_->samples.data() + static_cast<std::size_t>(start) * channels,
                        count * sizeof(float));
            return kNoError;
        }
        if (list.buffers.size() != channels) return kErrBadPropertySize;
        for (std::size_t c = 0; c < channels; ++c) {
            auto& b = list.buffers[c];
            if (!b.data || b.dataByteSize < static_cast<std::size_t>(frames) * sizeof(float)) {
                return kErrBadPropertySize;
            }
            pcm::copyChannel(chunk_->samples.data(), static_cast<std::uint32_t>(channels), static_cast<std::uint32_t>(c),
                             static_cast<std::size_t>(start), static_cast<std::size_t>(frames), static_cast<float*>(b.data));
        }
        return kNoError;
    }
    double presentationSeconds() const override { return chunk_->hostSeconds; }

private:
    const RecordStream::Chunk* chunk_;  // the parcel's, for the length of the output call
};

class PulseStream : public Stream, public std::enable_shared_from_this<PulseStream> {
public:
    PulseStream(std::shared_ptr<NameRegistry> registry, ContentFilter filter, StreamConfiguration config,
                std::weak_ptr<StreamDelegate> delegate)
        : registry_(std::move(registry)),
          filter_(std::move(filter)),
          config_(config),
          delegate_(std::move(delegate)) {}

    ~PulseStream() override { closeStreams(); }

    std::optional<StreamError> addStreamOutput(std::weak_ptr<StreamOutput> output, StreamOutputType type,
                                               std::shared_ptr<dispatch::Queue> queue) override {
        if (!queue) return StreamError{"no queue for the stream output"};
        if (type == StreamOutputType::screen) return StreamError{"this stream has no video"};
        std::lock_guard g(mutex_);
        outputs_.push_back({std::move(output), type, std::move(queue)});
        return std::nullopt;
    }

    void startCapture(std::function<void(std::optional<StreamError>)> completion) override {
        auto self = shared_from_this();
        dispatch::Queue::global().async([self, completion = std::move(completion)] {
            auto error = self->open();
            if (error) self->closeStreams();
            completion(error);
        });
    }

    void stopCapture(std::function<void(std::optional<StreamError>)> completion) override {
        stopRequested_ = true;
        bool onOutputQueue = false;
        std::vector<std::shared_ptr<dispatch::Queue>> queues;
        {
            std::lock_guard g(mutex_);
            collectTails();
            for (auto& o : outputs_) {
                onOutputQueue = onOutputQueue || o.queue->isCurrent();
                queues.push_back(o.queue);
            }
        }
        // The tails were queued on the outputs' queues: they go out before the outputs close.
        if (!onOutputQueue) {
            for (auto& queue : queues) queue->sync([] {});
        }
        // After this no sample buffer is delivered: wait for one in progress unless it is ours.
        delivery_->close(onOutputQueue);
        auto self = shared_from_this();
        dispatch::Queue::global().async([self, completion = std::move(completion)] {
            self->closeStreams();
            completion(std::nullopt);
        });
    }

private:
    // Where one stream's chunks go: each output of its type, on the queue it was added with.
    struct Route {
        using Target = std::pair<std::shared_ptr<dispatch::Queue>, std::weak_ptr<StreamOutput>>;
        std::vector<Target> targets;
        std::shared_ptr<CallbackGate> delivery;
        StreamOutputType type = StreamOutputType::audio;
        std::weak_ptr<PulseStream> stream;
        std::shared_ptr<ChunkPool> pool = std::make_shared<ChunkPool>();

        // On target i's queue: the output's call, then the parcel goes back to the pool.
        static void deliver(ChunkPool::Parcel* parcel, std::size_t i) {
            auto* route = static_cast<Route*>(parcel->owner.get());
            route->delivery->pass([&] {
                auto stream = route->stream.lock();
                auto out = route->targets[i].second.lock();
                if (!stream || !out) return;
                PulseSampleBuffer buffer(parcel->chunk);
                out->streamDidOutput(*stream, buffer, route->type);
            });
            route->pool->release(parcel);
        }
    };

    struct Output {
        std::weak_ptr<StreamOutput> output;
        StreamOutputType type;
        std::shared_ptr<dispatch::Queue> queue;
    };

    std::optional<StreamError> open() {
        auto display = registry_->deviceFor(filter_.display.displayID);
        if (!display || display->kind != DeviceKind::sink) return StreamError{"the display is not available"};
        const std::string sinkName = display->name;
        std::string error;
        auto conn = Connection::connect(kClientName, &error);
        if (!conn) return StreamError{connectionErrorText(error)};
        auto info = conn->serverInfo();
        if (!info) return StreamError{connectionErrorText(conn->errorText())};
        auto sink = conn->sink(sinkName);
        if (!sink || sink->monitorSourceName.empty()) {
            return StreamError{"the output device " + sinkName + " is not available"};
        }
        std::weak_ptr<PulseStream> weak = weak_from_this();
        conn->setFailureHandler([weak](const std::string& text) {
            dispatch::Queue::global().async([weak, text] {
                if (auto self = weak.lock()) self->stoppedByItself(text);
            });
        });
        {
            std::lock_guard g(mutex_);
            connection_ = conn;
        }
        const auto rate = static_cast<std::uint32_t>(config_.sampleRate > 0 ? config_.sampleRate : 48000);
        const auto channels = static_cast<std::uint32_t>(
            config_.channelCount > 0 && config_.channelCount <= 8 ? config_.channelCount : 2);
        auto system = openOne(conn, sink->monitorSourceName, rate, channels, StreamOutputType::audio,
                              "Velomar Capture system audio", &error);
        if (!system) return StreamError{error};
        std::unique_ptr<RecordStream> mic;
        if (config_.captureMicrophone) {
            // A monitor as default source (a server with no microphone, or one still
            // setting up after a restart) would record the speakers a second time.
            auto source = info->defaultSourceName.empty() ? std::nullopt : conn->source(info->defaultSourceName);
            if (!source || source->isMonitor) return StreamError{"no microphone available"};
            mic = openOne(conn, info->defaultSourceName, rate, channels, StreamOutputType::microphone,
                          "Velomar Capture microphone", &error);
            if (!mic) return StreamError{error};
        }
        std::lock_guard g(mutex_);
        system_ = std::move(system);
        mic_ = std::move(mic);
        return std::nullopt;
    }

    std::unique_ptr<RecordStream> openOne(const std::shared_ptr<Connection>& conn, const std::string& source,
                                          std::uint32_t rate, std::uint32_t channels, StreamOutputType type,
                                          const char* name, std::string* error) {
        std::vector<Route::Target> targets;
        {
            std::lock_guard g(mutex_);
            for (auto& o : outputs_) {
                if (o.type == type) targets.emplace_back(o.queue, o.output);
            }
        }
        RecordStream::Options options;
        options.source = source;
        options.rate = rate;
        options.channels = channels;
        options.fragmentSeconds = kFragmentSeconds;
        options.streamName = name;
        // The stream object itself is reached weakly: a late chunk after it went does nothing.
        auto route = std::make_shared<Route>();
        route->targets = std::move(targets);
        route->delivery = delivery_;
        route->type = type;
        route->stream = weak_from_this();
        options.pool = route->pool;
        std::weak_ptr<PulseStream> weak = weak_from_this();
        return RecordStream::open(
            conn, options,
            [route](RecordStream::Chunk&& chunk) {
                if (route->targets.empty()) {
                    route->pool->recycle(std::move(chunk.samples));
                    return;
                }
                auto* parcel = route->pool->wrap(std::move(chunk), static_cast<int>(route->targets.size()),
                                                 route);
                for (std::size_t i = 0; i < route->targets.size(); ++i) {
                    route->targets[i].first->async([parcel, i] { Route::deliver(parcel, i); });
                }
            },
            [weak](const std::string& text) {
                dispatch::Queue::global().async([weak, text] {
                    if (auto self = weak.lock()) self->stoppedByItself(text);
                });
            },
            error);
    }

    // What the server still holds of both streams, captured before the stop. mutex_ held.
    void collectTails() {
        const double stopAt = pcm::secondsForHostTime(pcm::hostTimeNow());
        for (RecordStream* stream : {system_.get(), mic_.get()}) {
            if (stream) stream->collectTail(stopAt);
        }
    }

    void stoppedByItself(const std::string& serverError) {
        if (stopRequested_ || reported_.exchange(true)) return;
        delivery_->shut();
        closeStreams();
        if (auto delegate = delegate_.lock()) delegate->streamDidStop(*this, StreamError{serverError});
    }

    void closeStreams() {
        std::unique_ptr<RecordStream> system;
        std::unique_ptr<RecordStream> mic;
        std::shared_ptr<Connection> conn;
        {
            std::lock_guard g(mutex_);
            system = std::move(system_);
            mic = std::move(mic_);
            conn = std::move(connection_);
        }
        system.reset();
        mic.reset();
        conn.reset();
    }

    std::shared_ptr<NameRegistry> registry_;
    ContentFilter filter_;
    StreamConfiguration config_;
    std::weak_ptr<StreamDelegate> delegate_;
    // Shared with queued work, which never holds a queue.
    std::shared_ptr<CallbackGate> delivery_ = std::make_shared<CallbackGate>();
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> reported_{false};

    std::mutex mutex_;
    std::vector<Output> outputs_;
    std::shared_ptr<Connection> connection_;
    std::unique_ptr<RecordStream> system_;
    std::unique_ptr<RecordStream> mic_;
};

}  // namespace

std::string connectionErrorText(const std::string& serverError) {
    return "could not connect to the sound server: " + serverError;
}

void PulseStreamCapture::getShareableContent(
    bool, bool, std::function<void(std::optional<ShareableContent>, std::optional<StreamError>)> completion) {
    auto registry = registry_;
    dispatch::Queue::global().async([registry, completion = std::move(completion)] {
        std::string error;
        auto conn = Connection::connect(kClientName, &error);
        if (!conn) {
            completion(std::nullopt, StreamError{connectionErrorText(error)});
            return;
        }
        auto info = conn->serverInfo();
        auto sinks = conn->sinks();
        if (!info || !sinks) {
            completion(std::nullopt, StreamError{connectionErrorText(conn->errorText())});
            return;
        }
        ShareableContent content;
        for (auto& sink : *sinks) {
            Display d{registry->idFor({DeviceKind::sink, sink.name}), sink.description.empty() ? sink.name : sink.description};
            if (sink.name == info->defaultSinkName) {
                content.displays.insert(content.displays.begin(), d);
            } else {
                content.displays.push_back(d);
            }
        }
        conn.reset();
        completion(content, std::nullopt);
    });
}

std::shared_ptr<Stream> PulseStreamCapture::makeStream(const ContentFilter& filter, const StreamConfiguration& config,
                                                       std::weak_ptr<StreamDelegate> delegate) {
    return std::make_shared<PulseStream>(registry_, filter, config, std::move(delegate));
}

}  // namespace velomar::pulse
