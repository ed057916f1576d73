#pragma once
// Meeting point of all capture sources: converts every buffer to 16 kHz mono float,
// places it on one host-clock timeline, and writes finished frames: the sources summed
// in the mix layout, each in its own channel in the split layout (the writer's layout).
// ingest() only queues work; everything else runs on the serial queue "velomar.mixer".

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/clock_follower.h"
#include "core/events.h"
#include "core/wav_writer.h"
#include "platform/dispatch.h"
#include "platform/pcm.h"

namespace velomar {

// The two sources a recording has; their names are "mic" and "system" wherever printed.
enum class SourceKey : std::uint8_t { mic, system };
constexpr std::size_t kSourceKeys = 2;
constexpr std::string_view sourceName(SourceKey key) { return key == SourceKey::mic ? "mic" : "system"; }

class Mixer {
public:
    explicit Mixer(std::shared_ptr<WAVWriter> writer);
    // Lets every queued work item run first: they use the fields below.
    ~Mixer();
    Mixer(const Mixer&) = delete;
    Mixer& operator=(const Mixer&) = delete;

    // Callable from any thread; the buffer belongs to the mixer from here on. Buffers wait
    // in an inbox that one work item drains, so a burst costs one hand-over.
    void ingest(pcm::BufferPtr buffer, SourceKey key, double hostSeconds);

    // Final flush and header rewrite; returns after every earlier ingest has been handled.
    void finish();
    // "resyncs", "clockClamps", "silenceInsertedSamples", "samplesDropped", "limitedSamples",
    // "samplesNotWritten".
    Fields diagnostics();

    const WAVWriter& writer() const { return *writer_; }

    // Where the timeline stands after every earlier ingest: what callers that follow the
    // placement (tests, figures) may read; a copy, taken on the mixer's queue.
    struct SourceState {
        pcm::Format format;      // of the buffer that (re)created the source
        bool converted = false;  // has a converter (a canonical source may get a steering one)
        std::optional<std::int64_t> cursor;
    };
    struct State {
        std::optional<double> startHostSeconds;
        std::int64_t base = 0;          // first timeline index not yet written
        std::int64_t latestSample = 0;  // one past the highest index placed
        std::vector<float> window;      // the open window from base, channels interleaved
        std::uint32_t dataBytes = 0;    // what the writer holds
        std::array<std::optional<SourceState>, kSourceKeys> sources;
        const std::optional<SourceState>& source(SourceKey key) const { return sources[std::size_t(key)]; }
    };
    State state();

    static constexpr std::int64_t kRate = pcm::kCanonicalRate;
    static constexpr std::int64_t kJitterTolerance = 1600;
    static constexpr std::int64_t kJumpLimit = 2400000;
    static constexpr std::int64_t kSlack = 8000;
    // Final samples (before base) gathered before they go to the writer: 0.1 s.
    static constexpr std::int64_t kWriteBatch = 1600;
    static constexpr float kGain = 0.707f;

private:
    struct Source {
        pcm::Format format;
        std::unique_ptr<pcm::Converter> converter;
        std::optional<std::int64_t> cursor;
        // Steers the converter so that the cursor follows the host position; a canonical
        // source gets a steering-only converter once its clock proves to be off.
        ClockFollower follower;
    };
    struct Pending {
        pcm::BufferPtr buffer;
        SourceKey key;
        double hostSeconds;
    };

    void drainInbox();
    void handle(const pcm::BufferPtr& buffer, SourceKey key, double hostSeconds);
    // The buffer's audio at 16 kHz mono: a view of the buffer itself when it is canonical,
    // else of the mixer's scratch memory, valid until the next conversion.
    // Nothing when it cannot be converted.
    std::optional<std::span<const float>> convert(const pcm::BufferPtr& buffer, SourceKey key);
    static std::span<const float> monoFloats(const pcm::Buffer& buffer);
    void place(std::span<const float> samples, SourceKey key, double hostSeconds);
    void steer(Source& source);
    // Places what the source's converter still holds right after the source's last
    // samples: the end of its input, kept when the input ends or changes format.
    void placeTail(Source& source, SourceKey key);
    // The key picks the channel: the open window holds interleaved frames.
    void add(std::span<const float> samples, std::int64_t atAbsolute, SourceKey key);
    // Makes the window before upTo final: base moves there, and the writer receives it
    // once a batch of final samples has gathered.
    void flush(std::int64_t upTo);
    // Hands every final sample to the writer.
    void write();

    std::shared_ptr<WAVWriter> writer_;
    ChannelLayout layout_;
    std::size_t channels_;  // floats per timeline index in the window
    std::shared_ptr<dispatch::Queue> queue_;
    pcm::Format canonical_;
    std::array<std::optional<Source>, kSourceKeys> sources_;
    // Converted audio of the buffer at hand; one for all sources, as one buffer is
    // converted and placed before the next.
    std::vector<float> scratch_;
    std::mutex inboxMutex_;
    std::vector<Pending> inbox_;     // guarded by inboxMutex_
    std::vector<Pending> draining_;  // the mixer queue's; swapped with inbox_ to keep both capacities
    // The open window is buffer_[head_ ...], channels_ floats per timeline index; the
    // final front is written and dropped in bulk, not per flush.
    std::vector<float> buffer_;
    std::size_t head_ = 0;
    // buffer_[unwritten_ ... head_] is final but not yet with the writer.
    std::size_t unwritten_ = 0;
    std::int64_t base_ = 0;
    std::optional<double> startHostSeconds_;
    std::int64_t latestSample_ = 0;
    std::int64_t resyncCount_ = 0;
    std::int64_t clockClamps_ = 0;
    std::int64_t silenceInserted_ = 0;
    std::int64_t samplesDropped_ = 0;
};

}  // namespace velomar
