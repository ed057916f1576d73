#include "platform/sim/sim_stream_capture.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace velomar::sim {

using platform::StreamError;
using platform::StreamOutputType;

// ---- SimSampleBuffer ------------------------------------------------------------

namespace {

// A copy of one of the script's counters or flags, read under its lock.
template <typename T>
T lockedCopy(std::mutex& mutex, const T& field) {
    std::lock_guard lock(mutex);
    return field;
}

template <typename T>
std::vector<std::uint8_t> bytesOf(const T* data, std::size_t count) {
    std::vector<std::uint8_t> bytes(count * sizeof(T));
    if (count > 0) std::memcpy(bytes.data(), data, bytes.size());
    return bytes;
}

}  // namespace

std::shared_ptr<SimSampleBuffer> SimSampleBuffer::floats(double sampleRate, std::uint32_t channels, bool interleaved,
                                                         const std::vector<float>& samples,
                                                         double presentationSeconds) {
    auto buffer = std::make_shared<SimSampleBuffer>();
    const std::size_t perChannel = channels == 0 ? 0 : samples.size() / channels;
    buffer->frames = static_cast<std::int64_t>(perChannel);
    buffer->description = pcm::linearDescription(pcm::SampleType::float32, sampleRate, channels, interleaved);
    if (interleaved) {
        buffer->blocks.push_back(bytesOf(samples.data(), perChannel * channels));
    } else {
        for (std::uint32_t c = 0; c < channels; ++c) buffer->blocks.push_back(bytesOf(samples.data() + c * perChannel, perChannel));
    }
    buffer->seconds = presentationSeconds;
    return buffer;
}

std::shared_ptr<SimSampleBuffer> SimSampleBuffer::int16s(double sampleRate, std::uint32_t channels,
                                                         const std::vector<std::int16_t>& interleavedSamples,
                                                         double presentationSeconds) {
    auto buffer = std::make_shared<SimSampleBuffer>();
    const std::size_t perChannel = channels == 0 ? 0 : interleavedSamples.size() / channels;
    buffer->frames = static_cast<std::int64_t>(perChannel);
    buffer->description = pcm::linearDescription(pcm::SampleType::int16, sampleRate, channels, true);
    buffer->blocks.push_back(bytesOf(interleavedSamples.data(), perChannel * channels));
    buffer->seconds = presentationSeconds;
    return buffer;
}

platform::OSStatus SimSampleBuffer::copyPCMData(std::int32_t start, std::int32_t count,
                                                pcm::AudioBufferList& list) const {
    if (copyStatus) return *copyStatus;
    if (!description || start < 0 || count < 0 || std::int64_t{start} + count > frames) return kCopyFailed;
    if (list.buffers.size() != blocks.size()) return kCopyFailed;
    const std::size_t bytesPerFrame = description->bytesPerFrame;
    const std::size_t offset = static_cast<std::size_t>(start) * bytesPerFrame;
    const std::size_t size = static_cast<std::size_t>(count) * bytesPerFrame;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const auto& target = list.buffers[i];
        if (blocks[i].size() < offset + size || target.dataByteSize < size || (size > 0 && target.data == nullptr)) {
            return kCopyFailed;
        }
    }
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        if (size > 0) std::memcpy(list.buffers[i].data, blocks[i].data() + offset, size);
    }
    return 0;
}

// ---- SimStream --------------------------------------------------------------------

SimStream::SimStream(SimStreamCapture& owner, int number, platform::ContentFilter filter,
                     platform::StreamConfiguration config, std::weak_ptr<platform::StreamDelegate> delegate,
                     AttemptOutcome outcome)
    : owner_(owner),
      number_(number),
      filter_(std::move(filter)),
      config_(config),
      delegate_(std::move(delegate)),
      outcome_(std::move(outcome)) {}

std::optional<StreamError> SimStream::addStreamOutput(std::weak_ptr<platform::StreamOutput> output,
                                                      StreamOutputType type, std::shared_ptr<dispatch::Queue> queue) {
    if ((outcome_.step == FailStep::audioOutput && type == StreamOutputType::audio) ||
        (outcome_.step == FailStep::micOutput && type == StreamOutputType::microphone)) {
        return StreamError{outcome_.error};
    }
    std::lock_guard<std::mutex> lock(mutex_);
    outputs_.push_back(Output{std::move(output), type, std::move(queue)});
    return std::nullopt;
}

void SimStream::startCapture(std::function<void(std::optional<StreamError>)> completion) {
    auto self = shared_from_this();
    double delay = 0;
    {
        std::lock_guard<std::mutex> lock(owner_.mutex_);
        delay = owner_.startDelaySeconds_;
    }
    owner_.spawn([self, completion = std::move(completion), delay] {
        if (delay > 0) std::this_thread::sleep_for(std::chrono::duration<double>(delay));
        if (self->outcome_.step == FailStep::start) {
            completion(StreamError{self->outcome_.error});
            return;
        }
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->running_ = true;
        }
        // Counted before the caller hears of it, observed after.
        const int ordinal = self->owner_.noteStarted();
        completion(std::nullopt);
        self->owner_.notifyStarted(ordinal);
    });
}

void SimStream::stopCapture(std::function<void(std::optional<StreamError>)> completion) {
    auto self = shared_from_this();
    std::optional<std::string> interruption;
    double delay = 0;
    {
        std::lock_guard<std::mutex> lock(owner_.mutex_);
        interruption = owner_.stopInterruption_;
        delay = owner_.stopDelaySeconds_;
    }
    owner_.spawn([self, completion = std::move(completion), interruption, delay] {
        bool wasRunning = false;
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            wasRunning = self->running_;
            self->running_ = false;
            self->stopCalled_ = true;
        }
        self->drainOutputs();
        if (interruption && wasRunning) {
            if (auto delegate = self->delegate_.lock()) delegate->streamDidStop(*self, StreamError{*interruption});
        }
        if (delay > 0) std::this_thread::sleep_for(std::chrono::duration<double>(delay));
        self->owner_.noteStopped();
        completion(std::nullopt);
    });
}

std::vector<StreamOutputType> SimStream::outputTypes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<StreamOutputType> types;
    for (const auto& output : outputs_) types.push_back(output.type);
    return types;
}

std::vector<std::string> SimStream::outputQueueLabels() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> labels;
    for (const auto& output : outputs_) labels.push_back(output.queue ? output.queue->label() : std::string());
    return labels;
}

bool SimStream::running() const { return lockedCopy(mutex_, running_); }

bool SimStream::stopCalled() const { return lockedCopy(mutex_, stopCalled_); }

bool SimStream::deliver(std::shared_ptr<const platform::SampleBuffer> buffer, StreamOutputType type) {
    std::vector<Output> outputs;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!running_) return false;
        outputs = outputs_;
    }
    auto self = shared_from_this();
    for (const auto& output : outputs) {
        if (output.type != type || !output.queue) continue;
        output.queue->async([self, target = output.output, buffer, type] {
            if (!self->running()) return;
            if (auto sink = target.lock()) sink->streamDidOutput(*self, *buffer, type);
        });
    }
    return true;
}

bool SimStream::stopByItself(const StreamError& error) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!running_) return false;
        running_ = false;
    }
    auto self = shared_from_this();
    owner_.spawn([self, error] {
        self->drainOutputs();
        if (auto delegate = self->delegate_.lock()) delegate->streamDidStop(*self, error);
    });
    return true;
}

void SimStream::drainOutputs() {
    std::vector<std::shared_ptr<dispatch::Queue>> queues;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& output : outputs_) {
            if (output.queue && std::find(queues.begin(), queues.end(), output.queue) == queues.end()) {
                queues.push_back(output.queue);
            }
        }
    }
    for (const auto& queue : queues) queue->sync([] {});
}

// ---- SimStreamCapture ---------------------------------------------------------------

SimStreamCapture::SimStreamCapture() = default;

SimStreamCapture::~SimStreamCapture() { quiesce(); }

void SimStreamCapture::spawn(std::function<void()> work) {
    auto threads = threads_;
    {
        std::lock_guard<std::mutex> lock(threads->mutex);
        ++threads->running;
    }
    std::thread([threads, work = std::move(work)]() mutable {
        work();
        work = nullptr;  // what it holds goes before quiesce() can return
        std::lock_guard<std::mutex> lock(threads->mutex);
        if (--threads->running == 0) threads->idle.notify_all();
    }).detach();
}

void SimStreamCapture::quiesce() {
    std::unique_lock<std::mutex> lock(threads_->mutex);
    threads_->idle.wait(lock, [this] { return threads_->running == 0; });
}

void SimStreamCapture::getShareableContent(
    bool, bool, std::function<void(std::optional<platform::ShareableContent>, std::optional<StreamError>)> completion) {
    AttemptOutcome outcome;
    platform::ShareableContent content;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++contentQueries_;
        if (!outcomes_.empty()) {
            outcome = outcomes_.front();
            outcomes_.pop_front();
        } else {
            outcome = defaultOutcome_;
        }
        pendingOutcome_ = outcome;
        content.displays = displays_;
    }
    changed_.notify_all();
    spawn([completion = std::move(completion), outcome, content] {
        if (outcome.step == FailStep::content) {
            completion(std::nullopt, StreamError{outcome.error});
        } else {
            completion(content, std::nullopt);
        }
    });
}

std::shared_ptr<platform::Stream> SimStreamCapture::makeStream(const platform::ContentFilter& filter,
                                                               const platform::StreamConfiguration& config,
                                                               std::weak_ptr<platform::StreamDelegate> delegate) {
    std::lock_guard<std::mutex> lock(mutex_);
    AttemptOutcome outcome = pendingOutcome_.value_or(AttemptOutcome{});
    pendingOutcome_.reset();
    std::shared_ptr<SimStream> stream(new SimStream(*this, static_cast<int>(streams_.size()) + 1, filter, config,
                                                    std::move(delegate), std::move(outcome)));
    streams_.push_back(stream);
    return stream;
}

void SimStreamCapture::setDisplays(std::vector<platform::Display> displays) {
    std::lock_guard<std::mutex> lock(mutex_);
    displays_ = std::move(displays);
}

void SimStreamCapture::queueOutcomes(std::vector<AttemptOutcome> outcomes) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& outcome : outcomes) outcomes_.push_back(std::move(outcome));
}

void SimStreamCapture::setDefaultOutcome(AttemptOutcome outcome) {
    std::lock_guard<std::mutex> lock(mutex_);
    defaultOutcome_ = std::move(outcome);
}

void SimStreamCapture::setStopDelay(double seconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    stopDelaySeconds_ = seconds;
}

void SimStreamCapture::setStopInterruption(std::optional<std::string> error) {
    std::lock_guard<std::mutex> lock(mutex_);
    stopInterruption_ = std::move(error);
}

void SimStreamCapture::setStartDelay(double seconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    startDelaySeconds_ = seconds;
}

void SimStreamCapture::onStreamStarted(std::function<void(int)> observer) {
    std::lock_guard<std::mutex> lock(mutex_);
    startedObserver_ = std::move(observer);
}

int SimStreamCapture::noteStarted() {
    int ordinal = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ordinal = ++streamsStarted_;
    }
    changed_.notify_all();
    return ordinal;
}

void SimStreamCapture::notifyStarted(int ordinal) {
    std::function<void(int)> observer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        observer = startedObserver_;
    }
    if (observer) observer(ordinal);
}

void SimStreamCapture::noteStopped() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++streamsStopped_;
    }
    changed_.notify_all();
}

bool SimStreamCapture::deliver(std::shared_ptr<const platform::SampleBuffer> buffer, StreamOutputType type) {
    auto stream = runningStream();
    return stream && stream->deliver(std::move(buffer), type);
}

bool SimStreamCapture::interrupt(const std::string& error) {
    auto stream = runningStream();
    return stream && stream->stopByItself(StreamError{error});
}

int SimStreamCapture::contentQueries() const { return lockedCopy(mutex_, contentQueries_); }

int SimStreamCapture::streamsMade() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(streams_.size());
}

int SimStreamCapture::streamsStarted() const { return lockedCopy(mutex_, streamsStarted_); }

int SimStreamCapture::streamsStopped() const { return lockedCopy(mutex_, streamsStopped_); }

std::vector<std::shared_ptr<SimStream>> SimStreamCapture::streams() const { return lockedCopy(mutex_, streams_); }

std::shared_ptr<SimStream> SimStreamCapture::runningStream() const {
    auto all = streams();
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        if ((*it)->running()) return *it;
    }
    return nullptr;
}

bool SimStreamCapture::waitForStarted(int n, double timeoutSeconds) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                             [&] { return streamsStarted_ >= n; });
}

}  // namespace velomar::sim
