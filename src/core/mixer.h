#pragma once
// Meeting point of all capture sources: converts every buffer to 16 kHz mono float,
// places it on one host-clock timeline, and writes finished frames: the sources summed
// in the mix layout, each in its own channel in the split layout (the writer's layout).
// ingest() only queues work; everything else runs on the serial queue "velomar.mixer".

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/events.h"
#include "core/wav_writer.h"
#include "platform/dispatch.h"
#include "platform/pcm.h"

namespace velomar {

class Mixer {
public:
    explicit Mixer(std::shared_ptr<WAVWriter> writer);
    // Lets every queued work item run first: they use the fields below.
    ~Mixer();
    Mixer(const Mixer&) = delete;
    Mixer& operator=(const Mixer&) = delete;

    // Callable from any thread; the buffer belongs to the mixer from here on.
    void ingest(pcm::BufferPtr buffer, std::string key, double hostSeconds);

    // Final flush and header rewrite; returns after every earlier ingest has been handled.
    void finish();
    // "resyncs", "clockClamps", "silenceInsertedSamples", "samplesDropped", "limitedSamples",
    // "samplesNotWritten".
    Fields diagnostics();

    const WAVWriter& writer() const { return *writer_; }

    static constexpr std::int64_t kRate = 16000;
    static constexpr std::int64_t kJitterTolerance = 1600;
    static constexpr std::int64_t kJumpLimit = 2400000;
    static constexpr std::int64_t kSlack = 8000;
    static constexpr float kGain = 0.707f;

private:
    friend class MixerTestPeer;

    struct Source {
        pcm::Format format;
        std::unique_ptr<pcm::Converter> converter;
        std::optional<std::int64_t> cursor;
    };

    std::optional<std::vector<float>> convert(const pcm::BufferPtr& buffer, const std::string& key);
    static std::vector<float> monoFloats(const pcm::Buffer& buffer);
    void place(std::vector<float> samples, const std::string& key, double hostSeconds);
    // Places what the source's converter still holds right after the source's last
    // samples: the end of its input, kept when the input ends or changes format.
    void placeTail(Source& source, const std::string& key);
    // The key picks the channel: the open window holds interleaved frames.
    void add(std::span<const float> samples, std::int64_t atAbsolute, const std::string& key);
    void flush(std::int64_t upTo);

    std::shared_ptr<WAVWriter> writer_;
    ChannelLayout layout_;
    std::size_t channels_;  // floats per timeline index in the window
    std::shared_ptr<dispatch::Queue> queue_;
    pcm::Format canonical_;
    std::map<std::string, Source> sources_;
    // The open window is buffer_[head_ ...], channels_ floats per timeline index; the
    // written front is dropped in bulk, not per flush.
    std::vector<float> buffer_;
    std::size_t head_ = 0;
    std::int64_t base_ = 0;
    std::optional<double> startHostSeconds_;
    std::int64_t latestSample_ = 0;
    std::int64_t resyncCount_ = 0;
    std::int64_t clockClamps_ = 0;
    std::int64_t silenceInserted_ = 0;
    std::int64_t samplesDropped_ = 0;
};

}  // namespace velomar
