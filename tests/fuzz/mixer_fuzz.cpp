// The mixer and the WAV writer against arbitrary sequences of buffers: formats, keys,
// host times (jitter, gaps, jumps, non-finite) and frame counts decoded from the input.
// Always: counters never decrease, and after finish() the file is the 44-byte header
// describing exactly the data that follows it. When every buffer is already in the
// canonical format nothing is held back by a converter, so the whole timeline is
// replayed here independently and the file must hold exactly that mix: every timeline
// index written once, in order, with the expected counters. Every input runs in both
// layouts: the mix, and the microphone and the other sources in two channels.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/mixer.h"
#include "core/wav_writer.h"
#include "fuzz/fuzz_support.h"
#include "platform/pcm.h"

namespace {

using velomar::ChannelLayout;
using velomar::Mixer;
using velomar::SourceKey;
using velomar::sourceName;
using velomar::WAVWriter;
using velomar::fuzz::Input;
namespace pcm = velomar::pcm;

__extension__ typedef __int128 Wide;  // exact differences of any two 64-bit positions

constexpr int kCounters = 6;
constexpr const char* kCounterNames[kCounters] = {"resyncs",        "clockClamps",    "silenceInsertedSamples",
                                                  "samplesDropped", "limitedSamples", "samplesNotWritten"};
using Counters = std::array<std::int64_t, kCounters>;

Counters countersOf(const velomar::Fields& fields) {
    Counters out{};
    VELOMAR_FUZZ_CHECK(fields.size() == kCounters, "six diagnostics");
    for (int i = 0; i < kCounters; ++i) {
        VELOMAR_FUZZ_CHECK(fields[std::size_t(i)].first == kCounterNames[i], fields[std::size_t(i)].first);
        const auto* value = std::get_if<std::int64_t>(&fields[std::size_t(i)].second.v);
        VELOMAR_FUZZ_CHECK(value != nullptr, "integer counter");
        out[std::size_t(i)] = *value;
    }
    return out;
}

void checkNotDecreased(const Counters& before, const Counters& now) {
    for (int i = 0; i < kCounters; ++i) {
        VELOMAR_FUZZ_CHECK(now[std::size_t(i)] >= before[std::size_t(i)], kCounterNames[i]);
    }
}

// The timeline for canonical buffers, written from the placement rules.
struct Timeline {
    ChannelLayout layout = ChannelLayout::mix;
    std::size_t channels = 1;  // floats per index in window and written
    std::map<std::string, std::optional<std::int64_t>> cursors;
    std::optional<double> start;
    std::int64_t base = 0;
    std::int64_t latest = 0;
    std::vector<float> window;  // indices base ... base + size - 1
    std::vector<float> written;
    Counters counters{};  // limitedSamples is filled in from written at the end

    void place(std::vector<float> samples, const std::string& key, double hostSeconds) {
        std::int64_t& dropped = counters[3];
        auto& cursor = cursors[key];
        if (samples.empty()) return;
        const auto n = std::int64_t(samples.size());
        if (!std::isfinite(hostSeconds)) {
            dropped += n;
            return;
        }
        if (!start) start = hostSeconds;
        const double position = (hostSeconds - *start) * 16000.0;
        if (!(position >= -0x1p63 && position < 0x1p63)) {  // no 64-bit index
            dropped += n;
            return;
        }
        Wide p = Wide(std::int64_t(position));
        Wide floor = base;
        if (cursor) {
            const Wide d = p - *cursor;
            if (d >= -1600 && d <= 1600) {
                p = *cursor;
            } else if (d <= 2400000) {
                counters[0] += 1;
                if (d > 0) counters[2] += std::int64_t(d);
            } else {
                counters[1] += 1;
                p = *cursor;
            }
            floor = std::max<Wide>(*cursor, base);
        } else if (p - latest > 2400000) {
            counters[1] += 1;
            p = latest;
        }
        if (p < floor) {
            const auto k = std::int64_t(std::min<Wide>(floor - p, n));
            samples.erase(samples.begin(), samples.begin() + k);
            dropped += k;
            if (samples.empty()) {
                cursor = std::int64_t(floor);
                return;
            }
            p = floor;
        }
        const auto at = std::int64_t(p);
        const auto offset = std::size_t(at - base);
        if (window.size() < (offset + samples.size()) * channels) window.resize((offset + samples.size()) * channels, 0.0f);
        if (layout == ChannelLayout::mix) {
            for (std::size_t i = 0; i < samples.size(); ++i) {
                window[offset + i] = samples[i] * Mixer::kGain + window[offset + i];
            }
        } else {  // the microphone in the first channel, everything else in the second
            const std::size_t c = key == "mic" ? 0 : 1;
            for (std::size_t i = 0; i < samples.size(); ++i) {
                float& slot = window[(offset + i) * channels + c];
                slot = samples[i] + slot;
            }
        }
        cursor = at + std::int64_t(samples.size());
        latest = std::max(latest, *cursor);
        flush(latest - Mixer::kSlack);
    }

    void flush(std::int64_t upTo) {
        const std::int64_t n = upTo - base;
        if (n < 1 || std::uint64_t(n) > window.size() / channels) return;
        const auto floats = std::ptrdiff_t(std::size_t(n) * channels);
        written.insert(written.end(), window.begin(), window.begin() + floats);
        window.erase(window.begin(), window.begin() + floats);
        base += n;
    }
};

std::string tempPath() {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/velomar-mixer-fuzz-" + std::to_string(::getpid()) + ".wav";
}

std::uint32_t le32(const std::string& s, std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i) v |= std::uint32_t(static_cast<unsigned char>(s[at + i])) << (8 * i);
    return v;
}

std::uint16_t le16(const std::string& s, std::size_t at) {
    return std::uint16_t(static_cast<unsigned char>(s[at]) | (static_cast<unsigned char>(s[at + 1]) << 8));
}

struct FormatChoice {
    pcm::SampleType type;
    std::uint32_t channels;
    bool interleaved;
};

constexpr FormatChoice kFormats[] = {
    {pcm::SampleType::float32, 1, false}, {pcm::SampleType::float32, 2, true},
    {pcm::SampleType::int16, 1, true},    {pcm::SampleType::int32, 2, false},
    {pcm::SampleType::float32, 2, false}, {pcm::SampleType::int16, 2, true},
    {pcm::SampleType::float32, 1, true},  {pcm::SampleType::int32, 1, true},
};
constexpr double kRates[] = {16000, 48000, 44100, 8000, 22050, 96000, 16001, 15999, 100, 192000};

// Fills every channel with noise of the given amplitude (1.0 is full scale); 255 makes
// the float samples non-finite or absurd.
void fill(pcm::Buffer& buffer, std::uint8_t amplitude, std::uint32_t seed) {
    const pcm::Format& f = buffer.format();
    const std::size_t frames = buffer.frameLength();
    const std::size_t perPointer = f.isInterleaved() ? frames * f.channelCount() : frames;
    const std::size_t pointers = f.isInterleaved() ? 1 : f.channelCount();
    const float scale = float(amplitude) / 64.0f;
    std::uint32_t state = seed | 1u;
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return float(std::int32_t(state)) / 2147483648.0f;
    };
    static constexpr float kOdd[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                                     -std::numeric_limits<float>::infinity(), 1e30f};
    for (std::size_t p = 0; p < pointers; ++p) {
        for (std::size_t i = 0; i < perPointer; ++i) {
            const float v = next() * scale;
            if (auto* d = buffer.floatChannelData()) {
                d[p][i] = amplitude == 255 ? kOdd[i % 4] : v;
            } else if (auto* d16 = buffer.int16ChannelData()) {
                d16[p][i] = std::int16_t(std::clamp(v, -1.0f, 1.0f) * 32767.0f);
            } else if (auto* d32 = buffer.int32ChannelData()) {
                d32[p][i] = std::int32_t(double(std::clamp(v, -1.0f, 1.0f)) * 2147483647.0);
            }
        }
    }
}

void runOnce(const std::uint8_t* data, std::size_t size, ChannelLayout layout) {
    Input in(data, size);
    const std::uint8_t mode = in.byte();
    const bool canonicalOnly = (mode & 1) != 0;
    static const SourceKey keys[] = {SourceKey::system, SourceKey::mic};
    const double startSeconds = 1000.0 + double(in.byte());

    struct TempFile {
        std::string path = tempPath();
        ~TempFile() { ::unlink(path.c_str()); }
    } temp;
    const std::string& path = temp.path;
    Timeline timeline;
    timeline.layout = layout;
    timeline.channels = velomar::channelCount(layout);
    const std::uint32_t channels = velomar::channelCount(layout);
    Counters seen{};
    std::map<std::string, double> nextSeconds;
    {
        auto writer = std::make_shared<WAVWriter>(path, Mixer::kRate, layout);
        Mixer mixer(writer);
        for (int op = 0; op < 48 && !in.empty(); ++op) {
            const std::uint8_t what = in.byte();
            if (what % 8 == 7) {
                const Counters now = countersOf(mixer.diagnostics());
                checkNotDecreased(seen, now);
                seen = now;
                continue;
            }
            const SourceKey source = keys[(what >> 3) % 2];
            const std::string key(sourceName(source));
            const FormatChoice choice = canonicalOnly ? kFormats[0] : kFormats[in.byte() % std::size(kFormats)];
            const std::size_t rateChoice = canonicalOnly ? 0 : in.byte() % (std::size(kRates) + 2);
            // Past the table: any 32-bit rate, also 0 and rates no converter takes.
            const bool anyRate = rateChoice >= std::size(kRates);
            const double rate = anyRate ? double(in.integer<std::uint32_t>()) : kRates[rateChoice];
            const auto format = pcm::Format::common(choice.type, rate, choice.channels, choice.interleaved);
            VELOMAR_FUZZ_CHECK(format.has_value() || rate == 0, "positive rates are valid formats");
            if (!format) continue;
            std::uint32_t frames = in.integer<std::uint16_t>() % 1025u;
            // A very low rate turns few frames into many output samples; keep an input fast.
            if (rate * 4.0 < double(frames)) frames = std::uint32_t(std::ceil(rate * 4.0));
            auto buffer = pcm::Buffer::make(*format, frames);
            VELOMAR_FUZZ_CHECK(buffer != nullptr, "small buffers allocate");
            buffer->setFrameLength(frames);
            fill(*buffer, in.byte(), what * 2654435761u + std::uint32_t(op));

            double seconds = 0;
            const auto last = nextSeconds.find(key);
            switch (in.byte() % 4) {
                case 0:  // runs on from its last buffer, with jitter
                    seconds = (last != nextSeconds.end() ? last->second : startSeconds) +
                              double(in.integer<std::int16_t>()) / 16000.0;
                    break;
                case 1:  // anywhere within an hour and a half of the start
                    seconds = startSeconds + double(in.integer<std::int32_t>()) / 16000.0 * 0.04;
                    break;
                case 2:  // anything at all
                    seconds = in.float64();
                    break;
                default:  // gaps and jumps in whole seconds, either way
                    seconds = startSeconds + double(in.integer<std::int16_t>());
                    break;
            }
            nextSeconds[key] = seconds + double(frames) / rate;

            if (canonicalOnly) {
                const float* samples = buffer->floatChannelData()[0];
                timeline.place(std::vector<float>(samples, samples + frames), key, seconds);
            }
            mixer.ingest(std::move(buffer), source, seconds);
        }
        mixer.finish();
        const Counters final = countersOf(mixer.diagnostics());
        checkNotDecreased(seen, final);

        const std::uint32_t dataBytes = writer->dataBytes();
        VELOMAR_FUZZ_CHECK(dataBytes % (2 * channels) == 0, "whole frames");
        VELOMAR_FUZZ_CHECK(final[4] <= std::int64_t(dataBytes / 2), "limited samples were written");

        std::ifstream file(path, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        VELOMAR_FUZZ_CHECK(bytes.size() == 44u + dataBytes, "file size " + std::to_string(bytes.size()));
        VELOMAR_FUZZ_CHECK(bytes.compare(0, 4, "RIFF") == 0 && bytes.compare(8, 8, "WAVEfmt ") == 0 &&
                               bytes.compare(36, 4, "data") == 0,
                           "chunk tags");
        VELOMAR_FUZZ_CHECK(le32(bytes, 4) == 36u + dataBytes && le32(bytes, 40) == dataBytes, "size fields");
        VELOMAR_FUZZ_CHECK(le32(bytes, 16) == 16 && le16(bytes, 20) == 1 && le16(bytes, 22) == channels &&
                               le32(bytes, 24) == 16000 && le32(bytes, 28) == 32000 * channels &&
                               le16(bytes, 32) == 2 * channels && le16(bytes, 34) == 16,
                           "format chunk");

        if (canonicalOnly) {
            timeline.flush(timeline.latest);
            Counters expected = timeline.counters;
            std::string samples;
            for (const float x : timeline.written) {
                bool limited = false;
                const auto v = std::uint16_t(WAVWriter::softLimitToInt16(x, limited));
                if (limited) expected[4] += 1;
                samples += char(v & 0xFF);
                samples += char(v >> 8);
            }
            for (int i = 0; i < kCounters; ++i) {
                VELOMAR_FUZZ_CHECK(final[std::size_t(i)] == expected[std::size_t(i)],
                                   std::string(kCounterNames[i]) + " " + std::to_string(final[std::size_t(i)]) +
                                       " != " + std::to_string(expected[std::size_t(i)]));
            }
            VELOMAR_FUZZ_CHECK(dataBytes == samples.size(), "written samples " + std::to_string(dataBytes / 2) +
                                                                " != timeline " + std::to_string(samples.size() / 2));
            VELOMAR_FUZZ_CHECK(bytes.compare(44, std::string::npos, samples) == 0, "mixed samples");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    for (const ChannelLayout layout : {ChannelLayout::mix, ChannelLayout::split}) runOnce(data, size, layout);
    return 0;
}
