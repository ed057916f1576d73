#pragma once
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/channel_layout.h"
#include "platform/unique_fd.h"

namespace velomar {

// Owns the output file: 16-bit PCM WAV with a 44-byte header that is written
// provisionally at creation and rewritten with the final sizes by finalize(). One
// channel in the mix layout; two in the split layout, whose samples arrive as
// interleaved frames (microphone, system audio) and are limited each on its own.
//
// Faults never crash and never leave a lying header: interrupted and partial writes
// are retried; after a real write failure (full disk, EFBIG, I/O error) nothing more is
// appended, dataBytes() counts only whole frames that reached the file, and
// finalize() cuts off a trailing partial frame. Samples that would take the data past
// maxDataBytes (by default the largest size whose RIFF size fits in 32 bits) are
// refused instead of wrapping the size fields. Every sample handed over that never
// reached the file is counted in samplesNotWritten().
//
// While recording, the header's size fields are kept current (at least once a second,
// by audio or by wall clock) and the data is made durable every few seconds, so that a
// process killed mid-recording leaves a readable WAV missing at most its last second.
// All of it runs inside write(), on the caller's thread (the mixer's queue).
class WAVWriter {
public:
    // Largest even data size whose RIFF size (36 + data) still fits in 32 bits; a
    // two-channel file rounds it down to whole frames, so it holds half the duration.
    static constexpr std::uint32_t kMaxDataBytes = 0xFFFFFFFFu - 36u - 1u;
    // The header is rewritten once this much audio or wall time has passed since it was last.
    static constexpr double kHeaderRefreshSeconds = 1.0;
    // Every this many header rewrites the file is flushed to the disk (fdatasync).
    static constexpr int kRefreshesPerSync = 4;

    // Creates (or empties) the file and writes the provisional header.
    // Throws CaptureError::io("cannot open {path} for writing"). Never blocks on a FIFO
    // without a reader; a directory or an unwritable path fails. maxDataBytes exists
    // so that tests can reach the size limit without writing 4 GiB.
    WAVWriter(const std::string& path, std::int64_t sampleRate,
              std::uint32_t maxDataBytes = kMaxDataBytes);
    WAVWriter(const std::string& path, std::int64_t sampleRate, ChannelLayout layout,
              std::uint32_t maxDataBytes = kMaxDataBytes);
    ~WAVWriter();
    WAVWriter(const WAVWriter&) = delete;
    WAVWriter& operator=(const WAVWriter&) = delete;

    // Whole frames only: a trailing sample short of a frame is not written.
    void write(std::span<const float> samples);
    void finalize();

    static std::array<std::uint8_t, 44> header(std::int64_t sampleRate, std::uint32_t dataBytes,
                                               ChannelLayout layout = ChannelLayout::mix);
    // One sample as stored: soft-limited above 0.9, scaled by 32767, truncated.
    // Sets limited when the sample counts towards limitedSamples.
    static std::int16_t softLimitToInt16(float sample, bool& limited);

    std::int64_t sampleRate() const { return sampleRate_; }
    ChannelLayout layout() const { return layout_; }
    std::uint32_t dataBytes() const { return dataBytes_; }
    std::int64_t limitedSamples() const { return limitedSamples_; }
    // Samples handed to write() that never reached the file: write failures, the size limit.
    std::int64_t samplesNotWritten() const { return samplesNotWritten_; }
    // Header rewrites and flushes while recording; on by default. Benchmarks turn them off
    // to measure what they cost.
    void setLiveHeader(bool on) { liveHeader_ = on; }
    // The duration of what reached the file, in whole seconds (truncated).
    std::int64_t recordedSeconds() const;

private:
    // Writes all of data, retrying EINTR and short writes; returns the bytes written.
    std::size_t writeFully(const std::uint8_t* data, std::size_t size);
    // Rewrites the header in place when it is due (or when forced); the append position stays.
    void refreshHeader(bool force);

    UniqueFd fd_;
    std::int64_t sampleRate_ = 0;
    ChannelLayout layout_ = ChannelLayout::mix;
    std::uint32_t dataBytes_ = 0;
    std::int64_t limitedSamples_ = 0;
    std::uint32_t maxDataBytes_ = kMaxDataBytes;
    std::uint64_t fileBytes_ = 0;  // bytes that reached the file at the append position
    bool failed_ = false;          // a write failed for real: stop appending
    std::int64_t samplesNotWritten_ = 0;
    bool liveHeader_ = true;
    bool seekable_ = false;               // positioned writes work (not a pipe or FIFO)
    std::uint32_t headerDataBytes_ = 0;   // data size the header on disk states
    double headerWrittenAt_ = 0;          // monotonic seconds of the last rewrite
    int refreshesSinceSync_ = 0;
    std::vector<std::uint8_t> bytes_;     // the samples of one write, kept for the next
    static constexpr std::size_t kKeptWriteBytes = 1 << 16;
};

}  // namespace velomar
