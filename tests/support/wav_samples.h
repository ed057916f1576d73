#pragma once
// A written WAV read back independently of the writer: its 16-bit samples, one channel
// of interleaved frames, and the level of a tone in them.

#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <numbers>
#include <string>
#include <vector>

namespace velomar::testing {

// The samples after the 44-byte header, in file order.
inline std::vector<std::int16_t> wavSamples(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::int16_t> samples;
    for (std::size_t i = 44; i + 1 < bytes.size(); i += 2) {
        samples.push_back(static_cast<std::int16_t>(static_cast<std::uint16_t>(static_cast<std::uint8_t>(bytes[i])) |
                                                    static_cast<std::uint16_t>(static_cast<std::uint8_t>(bytes[i + 1]) << 8)));
    }
    return samples;
}

// Channel c (from 0) of interleaved frames, full scale 1.0.
inline std::vector<float> channelSamples(const std::vector<std::int16_t>& frames, std::size_t channels, std::size_t c) {
    std::vector<float> out;
    for (std::size_t i = c; i < frames.size(); i += channels) out.push_back(static_cast<float>(frames[i]) / 32767.0f);
    return out;
}

// Amplitude of `frequency` in s[from, to) at 16 kHz (one DFT bin).
inline double toneLevel(const std::vector<float>& s, std::size_t from, std::size_t to, double frequency) {
    double re = 0, im = 0;
    for (std::size_t i = from; i < to && i < s.size(); ++i) {
        const double w = 2 * std::numbers::pi * frequency * static_cast<double>(i) / 16000.0;
        re += s[i] * std::cos(w);
        im += s[i] * std::sin(w);
    }
    return 2 * std::hypot(re, im) / static_cast<double>(to - from);
}

}  // namespace velomar::testing
