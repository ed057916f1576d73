#include "core/wav_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <ctime>
#include <memory>

#include "core/capture_error.h"

namespace velomar {
namespace {

constexpr float kKnee = 0.9f;
constexpr std::size_t kHeaderSize = 44;

void put16(std::uint8_t* at, std::uint16_t v) {
    at[0] = static_cast<std::uint8_t>(v);
    at[1] = static_cast<std::uint8_t>(v >> 8);
}

void put32(std::uint8_t* at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void putTag(std::uint8_t* at, const char (&tag)[5]) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(tag[i]);
}

double monotonicSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Bytes per frame: one 16-bit sample per channel.
constexpr std::uint32_t blockAlign(ChannelLayout layout) { return 2u * channelCount(layout); }

}  // namespace

WAVWriter::WAVWriter(const std::string& path, std::int64_t sampleRate, std::uint32_t maxDataBytes)
    : WAVWriter(path, sampleRate, ChannelLayout::mix, maxDataBytes) {}

WAVWriter::WAVWriter(const std::string& path, std::int64_t sampleRate, ChannelLayout layout,
                     std::uint32_t maxDataBytes)
    : sampleRate_(sampleRate),
      layout_(layout),
      maxDataBytes_(maxDataBytes - maxDataBytes % blockAlign(layout)) {
    // O_NONBLOCK only for the open itself: a FIFO without a reader then fails at once
    // instead of hanging the start-up; a FIFO with a reader behaves like a pipe.
    fd_.reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0666));
    if (!fd_.valid()) throw CaptureError::io("cannot open " + path + " for writing");
    const int flags = ::fcntl(fd_.get(), F_GETFL);
    if (flags >= 0) ::fcntl(fd_.get(), F_SETFL, flags & ~O_NONBLOCK);

    const auto provisional = header(sampleRate_, 0, layout_);
    fileBytes_ = writeFully(provisional.data(), provisional.size());
    if (fileBytes_ < kHeaderSize) failed_ = true;
    seekable_ = ::lseek(fd_.get(), 0, SEEK_CUR) >= 0;
    headerWrittenAt_ = monotonicSeconds();
}

WAVWriter::~WAVWriter() = default;

std::array<std::uint8_t, 44> WAVWriter::header(std::int64_t sampleRate, std::uint32_t dataBytes,
                                               ChannelLayout layout) {
    std::array<std::uint8_t, 44> h{};
    const auto rate = static_cast<std::uint32_t>(sampleRate);
    const std::uint32_t align = blockAlign(layout);
    putTag(&h[0], "RIFF");
    put32(&h[4], 36u + dataBytes);
    putTag(&h[8], "WAVE");
    putTag(&h[12], "fmt ");
    put32(&h[16], 16);
    put16(&h[20], 1);
    put16(&h[22], channelCount(layout));
    put32(&h[24], rate);
    put32(&h[28], rate * align);
    put16(&h[32], static_cast<std::uint16_t>(align));
    put16(&h[34], 16);
    putTag(&h[36], "data");
    put32(&h[40], dataBytes);
    return h;
}

std::int16_t WAVWriter::softLimitToInt16(float sample, bool& limited) {
    const float magnitude = std::fabs(sample);
    limited = magnitude > kKnee;  // false for NaN, true for both infinities
    if (!std::isfinite(sample)) return 0;
    float y = sample;
    if (limited) {
        const double k = kKnee;
        const double h = static_cast<double>(1.0f - kKnee);
        const auto knee = static_cast<float>(k + h * std::tanh((static_cast<double>(magnitude) - k) / h));
        y = std::copysign(knee, sample);
    }
    return static_cast<std::int16_t>(y * 32767.0f);
}

std::size_t WAVWriter::writeFully(const std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd_.get(), data + done, size - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;  // a real failure (or a write that makes no progress)
        }
    }
    return done;
}

void WAVWriter::write(std::span<const float> samples) {
    if (samples.empty()) return;
    if (failed_ || !fd_.valid()) {
        samplesNotWritten_ += std::int64_t(samples.size());
        return;
    }
    const std::size_t channels = channelCount(layout_);
    const std::size_t align = blockAlign(layout_);
    const std::size_t roomFrames = (maxDataBytes_ - std::min(dataBytes_, maxDataBytes_)) / align;
    const std::size_t count = std::min(samples.size() / channels, roomFrames) * channels;
    samplesNotWritten_ += std::int64_t(samples.size() - count);
    if (count == 0) return;

    const std::size_t size = count * 2;
    if (bytes_.size() < size) bytes_.resize(size);
    for (std::size_t i = 0; i < count; ++i) {
        bool limited = false;
        const auto value = static_cast<std::uint16_t>(softLimitToInt16(samples[i], limited));
        if (limited) ++limitedSamples_;
        put16(&bytes_[2 * i], value);
    }

    const std::size_t written = writeFully(bytes_.data(), size);
    // The rare large write (after a long resynchronisation) does not stay resident.
    if (bytes_.size() > kKeptWriteBytes) std::vector<std::uint8_t>().swap(bytes_);
    fileBytes_ += written;
    const std::size_t kept = written - written % align;
    dataBytes_ += static_cast<std::uint32_t>(kept);
    samplesNotWritten_ += std::int64_t(count - kept / 2);
    if (written < size) failed_ = true;
    // After a failure the header states what did reach the file, at once.
    refreshHeader(failed_);
}

void WAVWriter::refreshHeader(bool force) {
    if (!liveHeader_ || !seekable_ || dataBytes_ == headerDataBytes_) return;
    const auto dueBytes = std::uint64_t(std::max<std::int64_t>(sampleRate_, 1)) * 2;
    const double now = monotonicSeconds();
    if (!force && dataBytes_ - headerDataBytes_ < dueBytes && now - headerWrittenAt_ < kHeaderRefreshSeconds) return;
    // Appended bytes reach the file before the header that counts them, so a kill at any
    // moment leaves a header that never claims more than the file holds.
    const auto current = header(sampleRate_, dataBytes_, layout_);
    ssize_t n = 0;
    do {
        n = ::pwrite(fd_.get(), current.data(), current.size(), 0);
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(current.size())) {
        if (n < 0 && errno == ESPIPE) seekable_ = false;
        return;  // tried again at the next write; finalize() still writes the header
    }
    headerDataBytes_ = dataBytes_;
    headerWrittenAt_ = now;
    if (++refreshesSinceSync_ >= kRefreshesPerSync) {
        refreshesSinceSync_ = 0;
        [[maybe_unused]] const int ignored = ::fdatasync(fd_.get());
    }
}

std::int64_t WAVWriter::recordedSeconds() const {
    if (sampleRate_ <= 0) return 0;
    const double seconds = double(dataBytes_) / double(blockAlign(layout_)) / double(sampleRate_);
    return static_cast<std::int64_t>(std::trunc(seconds));
}

void WAVWriter::finalize() {
    if (!fd_.valid()) return;
    // Without a successful rewind (a pipe, a FIFO) a second header would land in the
    // middle of the stream, so it is only written at offset 0.
    if (::lseek(fd_.get(), 0, SEEK_SET) == 0) {
        const auto finalHeader = header(sampleRate_, dataBytes_, layout_);
        writeFully(finalHeader.data(), finalHeader.size());
    }
    const std::uint64_t expected = kHeaderSize + dataBytes_;
    if (fileBytes_ > expected) {
        // A trailing partial frame from a failed write: cut it so header and file agree.
        [[maybe_unused]] const int ignored = ::ftruncate(fd_.get(), static_cast<off_t>(expected));
    }
    fd_.reset();
}

}  // namespace velomar
