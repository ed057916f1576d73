#pragma once
#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace velomar {

// Owns the output file: 16-bit mono PCM WAV with a 44-byte header that is written
// provisionally at creation and rewritten with the final sizes by finalize().
class WAVWriter {
public:
    // Creates (or empties) the file and writes the provisional header.
    // Throws CaptureError::io("cannot open {path} for writing").
    WAVWriter(const std::string& path, std::int64_t sampleRate);
    ~WAVWriter();
    WAVWriter(const WAVWriter&) = delete;
    WAVWriter& operator=(const WAVWriter&) = delete;

    void write(std::span<const float> samples);
    void finalize();

    static std::array<std::uint8_t, 44> header(std::int64_t sampleRate, std::uint32_t dataBytes);

    std::int64_t sampleRate() const { return sampleRate_; }
    std::uint32_t dataBytes() const { return dataBytes_; }
    std::int64_t limitedSamples() const { return limitedSamples_; }

private:
    int fd_ = -1;
    std::int64_t sampleRate_ = 0;
    std::uint32_t dataBytes_ = 0;
    std::int64_t limitedSamples_ = 0;
    bool failed_ = false;  // a write failed for real: stop appending
};

}  // namespace velomar
