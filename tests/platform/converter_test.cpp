#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <numbers>
#include <random>
#include <vector>

#include "platform/pcm.h"

namespace velomar::pcm {
namespace {

constexpr double kPi = std::numbers::pi;

Format canonical() { return *Format::common(SampleType::float32, 16000, 1, false); }

// Fills frames [start, start + frames) of a signal given per (frame index, channel) in [-1, 1).
BufferPtr makeBuffer(const Format& f, std::uint64_t start, std::uint32_t frames,
                     const std::function<double(std::uint64_t, std::uint32_t)>& signal) {
    auto b = Buffer::make(f, frames);
    b->setFrameLength(frames);
    const std::uint32_t ch = f.channelCount();
    auto store = [&](auto* const* data, double scale) {
        for (std::uint32_t i = 0; i < frames; ++i)
            for (std::uint32_t c = 0; c < ch; ++c) {
                using T = std::remove_reference_t<decltype(data[0][0])>;
                const double top = std::is_floating_point_v<T> ? scale : scale - 1;
                const double v = std::clamp(signal(start + i, c) * scale, -scale, top);
                T sample = std::is_floating_point_v<T> ? T(v) : T(std::lround(v));
                if (f.isInterleaved()) data[0][std::size_t(i) * ch + c] = sample;
                else data[c][i] = sample;
            }
    };
    switch (f.sampleType()) {
        case SampleType::float32: store(b->floatChannelData(), 1.0); break;
        case SampleType::int16: store(b->int16ChannelData(), 32768.0); break;
        case SampleType::int32: store(b->int32ChannelData(), 2147483648.0); break;
    }
    return b;
}

// One call the way the mixer makes it: the buffer once, then "no data now".
std::vector<float> convertOnce(Converter& conv, const BufferPtr& in) {
    const double ratio = 16000.0 / in->format().sampleRate();
    auto out = Buffer::make(canonical(), std::uint32_t(ratio * in->frameLength()) + 16);
    bool given = false;
    std::string error;
    EXPECT_TRUE(conv.convert(*out, &error, [&](Converter::InputStatus& status) -> BufferPtr {
        if (given) {
            status = Converter::InputStatus::noDataNow;
            return nullptr;
        }
        given = true;
        status = Converter::InputStatus::haveData;
        return in;
    })) << error;
    const float* p = out->floatChannelData()[0];
    return std::vector<float>(p, p + out->frameLength());
}

std::vector<float> flush(Converter& conv) {
    std::vector<float> all;
    for (;;) {
        auto out = Buffer::make(canonical(), 512);  // smaller than the tail: drained in parts
        std::string error;
        EXPECT_TRUE(conv.drain(*out, &error)) << error;
        if (out->frameLength() == 0) return all;
        all.insert(all.end(), out->floatChannelData()[0], out->floatChannelData()[0] + out->frameLength());
    }
}

// Power of one frequency (Goertzel), normalised so a sine of amplitude A gives A.
double toneAmplitude(const float* x, std::size_t n, double freq, double rate) {
    const double w = 2 * kPi * freq / rate;
    double re = 0, im = 0;
    for (std::size_t i = 0; i < n; ++i) {
        re += x[i] * std::cos(w * double(i));
        im -= x[i] * std::sin(w * double(i));
    }
    return 2 * std::hypot(re, im) / double(n);
}

double rms(const float* x, std::size_t n) {
    double s = 0;
    for (std::size_t i = 0; i < n; ++i) s += double(x[i]) * x[i];
    return std::sqrt(s / double(n));
}

TEST(Converter, RefusesUnsupportedPairs) {
    const Format stereo48 = *Format::common(SampleType::float32, 48000, 2, true);
    EXPECT_TRUE(Converter::make(stereo48, canonical()));
    const Format targets[] = {
        *Format::common(SampleType::float32, 44100, 1, false), *Format::common(SampleType::float32, 16000, 2, false),
        *Format::common(SampleType::int16, 16000, 1, false), *Format::common(SampleType::float32, 16000, 1, true)};
    for (const auto& t : targets) EXPECT_FALSE(Converter::make(stereo48, t));
    EXPECT_FALSE(Converter::make(Format{}, canonical()));  // no channels, no rate
    // Rates whose output per input frame (or per second) is absurd are refused up front.
    for (double rate : {0.5, 1e-300, 2147483648.0, 1e300})
        EXPECT_FALSE(Converter::make(*Format::common(SampleType::float32, rate, 1, false), canonical())) << rate;
    for (double rate : {1.0, 1073741824.0})
        EXPECT_TRUE(Converter::make(*Format::common(SampleType::float32, rate, 1, false), canonical())) << rate;
}

TEST(Converter, ReportsProtocolErrors) {
    const Format in = *Format::common(SampleType::int16, 44100, 1, true);
    auto conv = Converter::make(in, canonical());
    ASSERT_TRUE(conv);
    std::string error;
    auto wrongOut = Buffer::make(in, 100);
    EXPECT_FALSE(conv->convert(*wrongOut, &error, nullptr));
    EXPECT_FALSE(error.empty());

    auto out = Buffer::make(canonical(), 100);
    error.clear();
    EXPECT_FALSE(conv->convert(*out, &error, [](Converter::InputStatus& s) -> BufferPtr {
        s = Converter::InputStatus::haveData;
        return nullptr;
    }));
    EXPECT_FALSE(error.empty());

    error.clear();
    auto other = makeBuffer(*Format::common(SampleType::int16, 48000, 1, true), 0, 480, [](auto, auto) { return 0.0; });
    EXPECT_FALSE(conv->convert(*out, &error, [&](Converter::InputStatus& s) {
        s = Converter::InputStatus::haveData;
        return other;
    }));
    EXPECT_FALSE(error.empty());

    // "No data now" before anything was fed is an empty, successful call.
    EXPECT_TRUE(conv->convert(*out, &error, [](Converter::InputStatus& s) -> BufferPtr {
        s = Converter::InputStatus::noDataNow;
        return nullptr;
    }));
    EXPECT_EQ(out->frameLength(), 0u);
}

TEST(Converter, PullsInputOnlyUntilTheOutputIsFull) {
    const Format in = *Format::common(SampleType::float32, 48000, 1, false);
    auto conv = Converter::make(in, canonical());
    int pulls = 0;
    auto out = Buffer::make(canonical(), 320);
    std::string error;
    ASSERT_TRUE(conv->convert(*out, &error, [&](Converter::InputStatus& s) {
        ++pulls;
        s = Converter::InputStatus::haveData;
        return makeBuffer(in, 0, 480, [](auto, auto) { return 0.1; });
    }));
    EXPECT_EQ(pulls, 2);  // 2 × 480 frames are worth 320 output frames
    EXPECT_EQ(out->frameLength(), 320u);
}

// Every supported rate, channel count, sample type and layout: each call's output is
// exactly what its input is worth at the rate ratio, a click comes out kDelayFrames late
// whatever the format, a 1 kHz tone keeps its frequency and amplitude, and the flushed
// stream is as long as the input plus the delay.
TEST(Converter, EveryFormatTracksTheRatioWithTheSameDelay) {
    const double rates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 96000};
    const std::uint32_t channelCounts[] = {1, 2, 6};
    const SampleType types[] = {SampleType::float32, SampleType::int16, SampleType::int32};
    int variant = 0;
    for (double rate : rates)
        for (std::uint32_t channels : channelCounts)
            for (SampleType type : types) {
                const bool interleaved = (variant++ % 2) == 0;
                const Format f = *Format::common(type, rate, channels, interleaved);
                SCOPED_TRACE(testing::Message() << "rate " << rate << " channels " << channels << " type "
                                                << int(type) << " interleaved " << interleaved);
                auto conv = Converter::make(f, canonical());
                ASSERT_TRUE(conv);
                const std::uint64_t click = std::uint64_t(rate / 10);  // 0.1 s
                const std::uint64_t toneStart = std::uint64_t(rate / 2), total = std::uint64_t(rate * 1.5);
                auto signal = [&](std::uint64_t i, std::uint32_t) {
                    if (i == click) return 0.9;
                    return i >= toneStart ? 0.5 * std::sin(2 * kPi * 1000 * double(i - toneStart) / rate) : 0.0;
                };
                std::vector<float> out;
                std::uint64_t fed = 0;
                const std::uint32_t block = std::uint32_t(rate / 100);
                while (fed < total) {
                    const auto n = std::uint32_t(std::min<std::uint64_t>(block, total - fed));
                    auto part = convertOnce(*conv, makeBuffer(f, fed, n, signal));
                    fed += n;
                    out.insert(out.end(), part.begin(), part.end());
                    ASSERT_EQ(out.size(), std::uint64_t(std::floor(double(fed) * 16000 / rate))) << "after " << fed;
                }
                const auto peak = std::max_element(out.begin(), out.begin() + 4000,
                                                   [](float a, float b) { return std::fabs(a) < std::fabs(b); });
                EXPECT_NEAR(double(peak - out.begin()), Converter::kDelayFrames + 1600.0, 1.0);
                // A steady stretch of the tone, well after its onset.
                const std::size_t from = Converter::kDelayFrames + 8000 + 1600, n = 8000;
                ASSERT_GE(out.size(), from + n);
                EXPECT_NEAR(toneAmplitude(out.data() + from, n, 1000, 16000), 0.5, 0.005);
                EXPECT_NEAR(rms(out.data() + from, n), 0.5 / std::sqrt(2.0), 0.005);
                EXPECT_LT(toneAmplitude(out.data() + from, n, 1100, 16000), 0.005);

                // The drained tail ends exactly where the input did, and the tone reaches it.
                const auto tail = flush(*conv);
                out.insert(out.end(), tail.begin(), tail.end());
                ASSERT_EQ(out.size(), std::uint64_t(std::floor(double(total) * 16000 / rate)) + Converter::kDelayFrames);
                EXPECT_NEAR(toneAmplitude(out.data() + out.size() - 800, 720, 1000, 16000), 0.5, 0.02);
                EXPECT_TRUE(flush(*conv).empty());
                EXPECT_TRUE(convertOnce(*conv, makeBuffer(f, total, block, signal)).empty());
            }
}

TEST(Converter, OddChunksGiveTheSameStreamAsOneCall) {
    const Format f = *Format::common(SampleType::int16, 44100, 2, true);
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> noise(-0.8, 0.8);
    std::vector<double> samples(44100 * 2);
    for (auto& s : samples) s = noise(rng);
    auto signal = [&](std::uint64_t i, std::uint32_t c) { return samples[i * 2 % samples.size()] * (c ? -0.5 : 1); };

    auto whole = Converter::make(f, canonical());
    auto one = convertOnce(*whole, makeBuffer(f, 0, 44100, signal));
    auto oneTail = flush(*whole);

    auto chunked = Converter::make(f, canonical());
    std::vector<float> parts;
    const std::uint32_t sizes[] = {1, 7, 441, 1023, 3, 2, 4097, 13};
    std::uint64_t fed = 0;
    for (std::size_t k = 0; fed < 44100; ++k) {
        const auto n = std::uint32_t(std::min<std::uint64_t>(sizes[k % std::size(sizes)], 44100 - fed));
        auto part = convertOnce(*chunked, makeBuffer(f, fed, n, signal));
        parts.insert(parts.end(), part.begin(), part.end());
        fed += n;
    }
    ASSERT_EQ(parts.size(), one.size());
    for (std::size_t i = 0; i < one.size(); ++i) ASSERT_FLOAT_EQ(parts[i], one[i]) << i;
    auto partsTail = flush(*chunked);
    ASSERT_EQ(partsTail.size(), oneTail.size());
    for (std::size_t i = 0; i < oneTail.size(); ++i) ASSERT_FLOAT_EQ(partsTail[i], oneTail[i]) << i;
}

TEST(Converter, SuppressesNineKilohertzAtFortyEightKilohertz) {
    const Format f = *Format::common(SampleType::float32, 48000, 1, false);
    auto conv = Converter::make(f, canonical());
    std::vector<float> out;
    for (std::uint64_t fed = 0; fed < 96000; fed += 480) {
        auto part = convertOnce(*conv, makeBuffer(f, fed, 480, [](std::uint64_t i, std::uint32_t) {
                                    return 0.999 * std::sin(2 * kPi * 9000 * double(i) / 48000);
                                }));
        out.insert(out.end(), part.begin(), part.end());
    }
    const double level = rms(out.data() + 4000, out.size() - 4000) / (0.999 / std::sqrt(2.0));
    EXPECT_LT(20 * std::log10(level + 1e-30), -90.0);
}

TEST(Converter, OppositeChannelsAverageToSilence) {
    for (SampleType type : {SampleType::float32, SampleType::int16}) {
        const Format f = *Format::common(type, 48000, 2, type == SampleType::int16);
        auto conv = Converter::make(f, canonical());
        float loudest = 0;
        for (std::uint64_t fed = 0; fed < 48000; fed += 480) {
            auto part = convertOnce(*conv, makeBuffer(f, fed, 480, [](std::uint64_t i, std::uint32_t c) {
                                        const double s = 0.7 * std::sin(2 * kPi * 440 * double(i) / 48000);
                                        return c == 0 ? s : -s;
                                    }));
            for (float v : part) loudest = std::max(loudest, std::fabs(v));
        }
        EXPECT_EQ(loudest, 0.0f) << int(type);
    }
}

}  // namespace
}  // namespace velomar::pcm
