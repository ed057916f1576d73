#include "core/mixer.h"

#include "platform/sim/sim_device_clock.h"
#include "support/temp_dir.h"
#include "support/wav_samples.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <numbers>

namespace velomar {
namespace {

// What the mixer shows of itself: its state view and its diagnostics.
struct View {
    std::int64_t base, latest, window, resyncs, clamps, silence, dropped, written;
    std::optional<double> start;
};
View view(Mixer& m) {
    const auto s = m.state();
    const auto d = m.diagnostics();
    const auto count = [&](const char* key) {
        const auto it = std::find_if(d.begin(), d.end(), [&](const auto& f) { return f.first == key; });
        return it == d.end() ? std::int64_t(-1) : std::get<std::int64_t>(it->second.v);
    };
    return View{s.base,
                s.latestSample,
                std::int64_t(s.window.size()),  // floats: two per index in the split layout
                count("resyncs"),
                count("clockClamps"),
                count("silenceInsertedSamples"),
                count("samplesDropped"),
                std::int64_t(s.dataBytes / 2),
                s.startHostSeconds};
}
std::optional<std::int64_t> cursor(Mixer& m, SourceKey key) { return m.state().source(key)->cursor; }

constexpr double kStart = 1000.0;
constexpr double kPi = std::numbers::pi;

pcm::Format canonical() { return *pcm::Format::common(pcm::SampleType::float32, 16000, 1, false); }

pcm::BufferPtr constant(std::size_t n, float value) {
    auto b = pcm::Buffer::make(canonical(), std::uint32_t(n));
    b->setFrameLength(std::uint32_t(n));
    std::fill(b->floatChannelData()[0], b->floatChannelData()[0] + n, value);
    return b;
}

// Host seconds whose position truncates to exactly p (half a sample away from the edge).
double at(std::int64_t p) { return p == 0 ? kStart : kStart + (double(p) + (p > 0 ? 0.5 : -0.5)) / 16000.0; }

class MixerTest : public ::testing::Test {
protected:
    void SetUp() override { fresh(); }
    // A new mixer on a new file; tables call it once per case.
    void fresh(ChannelLayout layout = ChannelLayout::mix) {
        mixer_.reset();
        dir_ = std::make_unique<testing::TempDir>();
        path_ = dir_->path() / "out.wav";
        mixer_ = std::make_shared<Mixer>(std::make_shared<WAVWriter>(path_.string(), 16000, layout));
    }
    void TearDown() override {
        mixer_.reset();
        dir_.reset();
    }
    std::vector<std::int16_t> fileSamples() const {
        std::ifstream in(path_, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<std::int16_t> samples;
        for (std::size_t i = 44; i + 1 < bytes.size(); i += 2)
            samples.push_back(std::int16_t(std::uint16_t(std::uint8_t(bytes[i])) | std::uint16_t(std::uint8_t(bytes[i + 1])) << 8));
        return samples;
    }
    Mixer& m() { return *mixer_; }

    std::unique_ptr<testing::TempDir> dir_;
    std::filesystem::path path_;
    std::shared_ptr<Mixer> mixer_;
};

std::int16_t stored(float mixed) {
    bool limited = false;
    return WAVWriter::softLimitToInt16(mixed, limited);
}

TEST_F(MixerTest, WorkedSequence) {
    struct Step {
        SourceKey key;
        std::int64_t p, n;
        std::int64_t cursor, latest, base, resyncs, clamps, silence, dropped, written;
    };
    const Step steps[] = {
        {SourceKey::system, 0, 160, 160, 160, 0, 0, 0, 0, 0, 0},
        {SourceKey::mic, -1000, 480, 0, 160, 0, 0, 0, 0, 480, 0},
        {SourceKey::mic, -520, 480, 480, 480, 0, 0, 0, 0, 480, 0},
        {SourceKey::system, 163, 160, 320, 480, 0, 0, 0, 0, 480, 0},
        {SourceKey::system, 5000, 160, 5160, 5160, 0, 1, 0, 4680, 480, 0},
        {SourceKey::system, 2505160, 160, 5320, 5320, 0, 1, 1, 4680, 480, 0},
        {SourceKey::system, 19840, 160, 20000, 20000, 12000, 2, 1, 19200, 480, 12000},
        {SourceKey::mic, 500, 480, 12000, 20000, 12000, 2, 1, 19200, 960, 12000},
    };
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        const Step& s = steps[i];
        SCOPED_TRACE(::testing::Message() << "step " << i + 1);
        m().ingest(constant(std::size_t(s.n), s.key == SourceKey::system ? 0.25f : 0.5f), s.key, at(s.p));
        const auto st = view(m());
        EXPECT_EQ(cursor(m(), s.key), s.cursor);
        EXPECT_EQ(st.latest, s.latest);
        EXPECT_EQ(st.base, s.base);
        EXPECT_EQ(st.base + st.window, st.latest);
        EXPECT_EQ(st.resyncs, s.resyncs);
        EXPECT_EQ(st.clamps, s.clamps);
        EXPECT_EQ(st.silence, s.silence);
        EXPECT_EQ(st.dropped, s.dropped);
        EXPECT_EQ(st.written, s.written);
        EXPECT_EQ(st.start, kStart);
    }
    m().finish();
    const auto st = view(m());
    EXPECT_EQ(st.base, 20000);
    EXPECT_EQ(st.window, 0);
    const float both = 0.5f * Mixer::kGain + (0.25f * Mixer::kGain + 0.0f);
    struct Segment {
        std::size_t from, to;
        float value;
    };
    const Segment segments[] = {{0, 320, both},
                                {320, 480, 0.5f * Mixer::kGain},
                                {480, 5000, 0},
                                {5000, 5320, 0.25f * Mixer::kGain},
                                {5320, 19840, 0},
                                {19840, 20000, 0.25f * Mixer::kGain}};
    const auto file = fileSamples();
    ASSERT_EQ(file.size(), 20000u);
    for (const auto& seg : segments)
        for (std::size_t i = seg.from; i < seg.to; ++i) ASSERT_EQ(file[i], stored(seg.value)) << i;
}

// A second block for key B after a first 160-sample block of SourceKey::system at 0.
TEST_F(MixerTest, TolerancesAndJumpLimitAtTheirEdges) {
    struct Case {
        const char* what;
        SourceKey key;
        std::int64_t p, n;
        std::int64_t cursor, latest, resyncs, clamps, silence, dropped;
    };
    const Case cases[] = {
        {"+1600 stays contiguous", SourceKey::system, 160 + 1600, 160, 320, 320, 0, 0, 0, 0},
        {"-1600 stays contiguous", SourceKey::system, 160 - 1600, 160, 320, 320, 0, 0, 0, 0},
        {"+1601 resyncs", SourceKey::system, 160 + 1601, 160, 1921, 1921, 1, 0, 1601, 0},
        {"-1601 resyncs, drops before its cursor", SourceKey::system, 160 - 1601, 160, 160, 160, 1, 0, 0, 160},
        {"backward jump keeps what lies after its cursor", SourceKey::system, 160 - 1700, 2000, 460, 460, 1, 0, 0, 1700},
        {"+2400000 resyncs", SourceKey::system, 160 + 2400000, 160, 2400320, 2400320, 1, 0, 2400000, 0},
        {"+2400001 is clamped", SourceKey::system, 160 + 2400001, 160, 320, 320, 0, 1, 0, 0},
        {"new source 2400000 beyond latest", SourceKey::mic, 160 + 2400000, 160, 2400320, 2400320, 0, 0, 0, 0},
        {"new source 2400001 beyond latest", SourceKey::mic, 160 + 2400001, 160, 320, 320, 0, 1, 0, 0},
        {"new source before index 0", SourceKey::mic, -100, 160, 60, 160, 0, 0, 0, 100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fresh();
        m().ingest(constant(160, 0.1f), SourceKey::system, at(0));
        m().ingest(constant(std::size_t(c.n), 0.1f), c.key, at(c.p));
        const auto st = view(m());
        EXPECT_EQ(cursor(m(), c.key), c.cursor);
        EXPECT_EQ(st.latest, c.latest);
        EXPECT_EQ(st.resyncs, c.resyncs);
        EXPECT_EQ(st.clamps, c.clamps);
        EXPECT_EQ(st.silence, c.silence);
        EXPECT_EQ(st.dropped, c.dropped);
        EXPECT_EQ(st.base, std::max<std::int64_t>(0, c.latest - Mixer::kSlack));
        EXPECT_EQ(st.written, st.base);
    }
}

// What falls kSlack behind the newest sample is final at once and reaches the file once a
// batch of it has gathered.
TEST_F(MixerTest, WritesOnlyWhatFallsSlackBehindTheNewestSample) {
    m().ingest(constant(8000, 0.1f), SourceKey::system, at(0));
    EXPECT_EQ(view(m()).written, 0);
    m().ingest(constant(1, 0.1f), SourceKey::system, at(8000));
    EXPECT_EQ(view(m()).base, 1);
    EXPECT_EQ(view(m()).window, 8000);
    EXPECT_EQ(view(m()).written, 0);
    m().ingest(constant(Mixer::kWriteBatch - 1, 0.1f), SourceKey::system, at(8001));
    EXPECT_EQ(view(m()).written, Mixer::kWriteBatch);
    EXPECT_EQ(view(m()).window, 8000);
}

TEST_F(MixerTest, LaggingSourceLosesWhatWasWrittenAndItsCursorMovesToBase) {
    m().ingest(constant(20000, 0.1f), SourceKey::system, at(0));
    ASSERT_EQ(view(m()).base, 12000);
    m().ingest(constant(480, 0.2f), SourceKey::mic, at(11000));  // wholly before base
    EXPECT_EQ(cursor(m(), SourceKey::mic), 12000);
    EXPECT_EQ(view(m()).dropped, 480);
    m().ingest(constant(480, 0.2f), SourceKey::mic, at(11900));  // within tolerance of its cursor
    EXPECT_EQ(cursor(m(), SourceKey::mic), 12480);
    EXPECT_EQ(view(m()).dropped, 480);
    const auto w = m().state().window;
    EXPECT_FLOAT_EQ(w[0], 0.2f * Mixer::kGain + 0.1f * Mixer::kGain);
    EXPECT_FLOAT_EQ(w[480], 0.1f * Mixer::kGain);
}

pcm::BufferPtr dc(const pcm::Format& f, std::uint32_t frames, double value) {
    auto b = pcm::Buffer::make(f, frames);
    b->setFrameLength(frames);
    for (std::uint32_t i = 0; i < frames * f.channelCount(); ++i) {
        if (f.sampleType() == pcm::SampleType::float32) b->floatChannelData()[0][i] = float(value);
        else b->int16ChannelData()[0][i] = std::int16_t(value * 32768);
    }
    return b;
}

TEST_F(MixerTest, CanonicalBuffersPassWithoutConverterOthersGetOneEach) {
    m().ingest(constant(4, 0.5f), SourceKey::system, at(0));
    EXPECT_TRUE(m().state().source(SourceKey::system).has_value());
    EXPECT_FALSE(m().state().source(SourceKey::system)->converted);
    const auto w = m().state().window;
    ASSERT_EQ(w.size(), 4u);
    for (float v : w) EXPECT_EQ(v, 0.5f * Mixer::kGain);

    const auto stereo = *pcm::Format::common(pcm::SampleType::float32, 48000, 2, false);
    auto b = dc(stereo, 480, 0.0);
    m().ingest(b, SourceKey::mic, at(0));
    EXPECT_TRUE(m().state().source(SourceKey::mic)->converted);
}

// Two sources of one format keep separate converters: what one holds back never comes
// out in the other's channel.
TEST_F(MixerTest, SourcesOfOneFormatKeepTheirOwnConverters) {
    fresh(ChannelLayout::split);
    const auto stereo = *pcm::Format::common(pcm::SampleType::float32, 48000, 2, false);
    for (std::int64_t k = 0; k < 50; ++k) {
        m().ingest(dc(stereo, 480, 0.5), SourceKey::system, at(k * 160));
        m().ingest(dc(stereo, 480, 0.0), SourceKey::mic, at(k * 160));
    }
    m().finish();
    const auto file = fileSamples();
    ASSERT_GE(file.size(), 2u * 50 * 160);
    for (std::size_t i = 2000; i < 50 * 160; ++i) {
        ASSERT_EQ(file[2 * i], 0) << i;  // the microphone's channel
        ASSERT_NEAR(file[2 * i + 1], 16384, 200) << i;
    }
}

// A format change (and a change back) starts a new converter and places the next block by
// host time alone: its first kDelayFrames are the fresh converter's silence, at the
// block's own host position although that lies within tolerance of the old cursor. The
// old converter's tail, the last kDelayFrames of its input, lands right after the old
// cursor; only that tail may overlap the new converter's silence.
TEST_F(MixerTest, FormatChangeStartsAFreshConverterWithoutCursor) {
    const auto f48 = *pcm::Format::common(pcm::SampleType::float32, 48000, 1, false);
    const auto f44 = *pcm::Format::common(pcm::SampleType::int16, 44100, 1, true);
    std::int64_t p = 0;
    for (int i = 0; i < 10; ++i, p += 160) m().ingest(dc(f48, 480, 0.5), SourceKey::mic, at(p));
    ASSERT_EQ(cursor(m(), SourceKey::mic), 1600);

    struct Change {
        pcm::Format format;
        std::uint32_t frames;
        std::int64_t p;
    };
    const Change changes[] = {{f44, 4410, 1600 + 800}, {f48, 4800, 1600 + 800 + 1600 + 700}};
    for (const auto& c : changes) {
        const auto before = view(m());
        const std::int64_t oldCursor = *cursor(m(), SourceKey::mic);
        m().ingest(dc(c.format, c.frames, 0.5), SourceKey::mic, at(c.p));
        EXPECT_EQ(m().state().source(SourceKey::mic)->format, c.format);
        EXPECT_TRUE(m().state().source(SourceKey::mic)->converted);
        const auto st = view(m());
        EXPECT_EQ(st.resyncs, before.resyncs);
        EXPECT_EQ(cursor(m(), SourceKey::mic), c.p + 1600);
        EXPECT_EQ(st.latest, c.p + 1600);
        const auto w = m().state().window;
        const auto delay = std::int64_t(pcm::Converter::kDelayFrames);
        for (std::int64_t i = oldCursor; i < oldCursor + delay - 32; ++i)
            ASSERT_NEAR(w[std::size_t(i - st.base)], 0.5 * Mixer::kGain, 0.01) << i;
        for (std::int64_t i = oldCursor + delay; i < c.p + delay; ++i) ASSERT_EQ(w[std::size_t(i - st.base)], 0.0f) << i;
        EXPECT_NEAR(w[std::size_t(c.p + delay + 300 - st.base)], 0.5 * Mixer::kGain, 0.01);
    }
}

TEST_F(MixerTest, UnconvertibleFormatIsIgnoredAndTheEarlierEntryKeepsServing) {
    const auto f48 = *pcm::Format::common(pcm::SampleType::float32, 48000, 1, false);
    const auto odd = *pcm::Format::common(pcm::SampleType::float32, 0.5, 1, false);
    m().ingest(dc(f48, 480, 0.5), SourceKey::mic, at(0));
    const auto before = view(m());
    for (int i = 0; i < 2; ++i) m().ingest(dc(odd, 100, 0.5), SourceKey::mic, at(160));
    EXPECT_EQ(m().state().source(SourceKey::mic)->format, f48);
    EXPECT_EQ(cursor(m(), SourceKey::mic), 160);
    EXPECT_EQ(view(m()).latest, before.latest);
    m().ingest(dc(f48, 480, 0.5), SourceKey::mic, at(200));  // snaps to the cursor it kept
    EXPECT_EQ(cursor(m(), SourceKey::mic), 320);
    EXPECT_EQ(view(m()).resyncs, 0);

    m().ingest(dc(odd, 100, 0.5), SourceKey::system, at(0));
    EXPECT_FALSE(m().state().source(SourceKey::system).has_value());
}

TEST_F(MixerTest, EmptyConversionDoesNotSetTheStart) {
    const auto f48 = *pcm::Format::common(pcm::SampleType::float32, 48000, 2, true);
    m().ingest(constant(0, 0.5f), SourceKey::system, 5.0);
    m().ingest(dc(f48, 1, 0.5), SourceKey::mic, 6.0);  // a third of an output frame
    auto st = view(m());
    EXPECT_FALSE(st.start);
    EXPECT_EQ(st.latest, 0);
    EXPECT_TRUE(m().state().source(SourceKey::mic).has_value());
    EXPECT_FALSE(cursor(m(), SourceKey::mic));
    m().ingest(constant(10, 0.5f), SourceKey::system, 7.0);
    st = view(m());
    EXPECT_EQ(st.start, 7.0);
    EXPECT_EQ(st.latest, 10);
}

TEST_F(MixerTest, FinishWithNothingIngestedFinalisesAnEmptyFile) {
    m().finish();
    EXPECT_EQ(std::filesystem::file_size(path_), 44u);
    std::ifstream in(path_, std::ios::binary);
    std::array<char, 44> header{};
    in.read(header.data(), 44);
    const auto expected = WAVWriter::header(16000, 0);
    EXPECT_TRUE(std::equal(header.begin(), header.end(), expected.begin(),
                           [](char a, std::uint8_t b) { return std::uint8_t(a) == b; }));
    const auto d = m().diagnostics();
    const char* keys[] = {"resyncs",        "clockClamps",    "silenceInsertedSamples",
                          "samplesDropped", "limitedSamples", "samplesNotWritten"};
    ASSERT_EQ(d.size(), std::size(keys));
    for (std::size_t i = 0; i < std::size(keys); ++i) {
        EXPECT_EQ(d[i].first, keys[i]);
        EXPECT_EQ(std::get<std::int64_t>(d[i].second.v), 0);
    }
}

// The converters hold back kDelayFrames: finish() drains them, so a tone that fills only
// the last 50 ms of the input is in the file, which ends where the input ended.
TEST_F(MixerTest, FinishPlacesTheConvertersTailsBeforeTheLastFlush) {
    const pcm::Format formats[] = {*pcm::Format::common(pcm::SampleType::float32, 48000, 2, true),
                                   *pcm::Format::common(pcm::SampleType::int16, 44100, 1, true)};
    for (const auto& f : formats) {
        SCOPED_TRACE(f.sampleRate());
        fresh();
        const auto rate = std::uint32_t(f.sampleRate());
        const std::uint32_t block = rate / 100, total = rate, toneFrom = rate - rate / 20;
        for (std::uint32_t done = 0; done < total; done += block) {
            auto b = dc(f, block, 0.0);
            for (std::uint32_t i = 0; i < block; ++i) {
                const std::uint32_t n = done + i;
                const double v = n >= toneFrom ? 0.5 * std::sin(2 * kPi * 1000 * n / f.sampleRate()) : 0.0;
                for (std::uint32_t c = 0; c < f.channelCount(); ++c) {
                    if (f.sampleType() == pcm::SampleType::int16) b->int16ChannelData()[0][i] = std::int16_t(v * 32767);
                    else b->floatChannelData()[0][i * f.channelCount() + c] = float(v);
                }
            }
            m().ingest(b, SourceKey::system, at(std::int64_t(done) * 16000 / rate));
        }
        m().finish();
        const auto samples = fileSamples();
        ASSERT_EQ(samples.size(), 16000u + pcm::Converter::kDelayFrames);
        double sum = 0;
        for (std::size_t i = samples.size() - 780; i < samples.size() - 20; ++i) sum += double(samples[i]) * samples[i];
        const double rms = std::sqrt(sum / 760) / 32767;
        EXPECT_NEAR(rms, 0.5 * Mixer::kGain / std::sqrt(2.0), 0.01);
    }
}

TEST_F(MixerTest, TwoFullScaleSourcesSumBeforeTheLimiter) {
    auto block = [](float v) {
        auto b = constant(100, v);
        for (std::size_t i = 50; i < 100; ++i) b->floatChannelData()[0][i] = -v;
        return b;
    };
    m().ingest(block(1.0f), SourceKey::system, at(0));
    m().ingest(block(1.0f), SourceKey::mic, at(0));
    const auto w = m().state().window;
    ASSERT_EQ(w.size(), 100u);
    EXPECT_NEAR(w[0], 1.414f, 1e-6);
    EXPECT_NEAR(w[99], -1.414f, 1e-6);
    m().finish();
    const auto d = m().diagnostics();
    EXPECT_EQ(std::get<std::int64_t>(d[4].second.v), 100);
    for (auto s : fileSamples()) EXPECT_LT(std::abs(int(s)), 32767);
}

TEST_F(MixerTest, TimesWithoutAPlaceAreDroppedAndCounted) {
    m().ingest(constant(10, 0.5f), SourceKey::system, std::nan(""));
    m().ingest(constant(20, 0.5f), SourceKey::system, std::numeric_limits<double>::infinity());
    EXPECT_FALSE(view(m()).start);
    EXPECT_EQ(view(m()).dropped, 30);
    m().ingest(constant(10, 0.5f), SourceKey::system, 0.0);
    m().ingest(constant(40, 0.5f), SourceKey::mic, 1e16);   // beyond 64-bit positions
    m().ingest(constant(80, 0.5f), SourceKey::mic, -1e16);
    m().ingest(constant(5, 0.5f), SourceKey::system, -1e14);   // fits: a backward jump before everything
    const auto st = view(m());
    EXPECT_EQ(st.dropped, 30 + 40 + 80 + 5);
    EXPECT_EQ(st.resyncs, 1);
    EXPECT_EQ(st.latest, 10);
    EXPECT_EQ(cursor(m(), SourceKey::system), 10);
}

// A click at one host time in two sources of different formats lands at one timeline
// index, each source in its own 10 ms blocks with jittered host times and a different
// first block time. The canonical format skips the converter, so that row shows the
// converter's delay is compensated.
TEST_F(MixerTest, ClickInTwoFormatsLandsAtTheSameIndex) {
    struct Pair {
        const char* name;
        pcm::Format sys, mic;
    };
    const Pair pairs[] = {
        {"48k stereo float / 44.1k mono int16", *pcm::Format::common(pcm::SampleType::float32, 48000, 2, true),
         *pcm::Format::common(pcm::SampleType::int16, 44100, 1, true)},
        {"48k stereo float / canonical", *pcm::Format::common(pcm::SampleType::float32, 48000, 2, true),
         *pcm::Format::common(pcm::SampleType::float32, 16000, 1, false)},
    };
    const auto setSample = [](pcm::Buffer& b, std::uint32_t frame, double v) {
        const auto& f = b.format();
        if (f.sampleType() == pcm::SampleType::int16) {
            b.int16ChannelData()[0][frame] = std::int16_t(v * 32767);
        } else if (f.isInterleaved()) {
            for (std::uint32_t c = 0; c < f.channelCount(); ++c) b.floatChannelData()[0][frame * f.channelCount() + c] = float(v);
        } else {
            for (std::uint32_t c = 0; c < f.channelCount(); ++c) b.floatChannelData()[c][frame] = float(v);
        }
    };
    const double clickAt = 1.0, sysStart = 0.0, micStart = 0.0123;
    for (const auto& pair : pairs) {
        SCOPED_TRACE(pair.name);
        auto run = [&](bool clickInSystem) {
            fresh();
            std::uint64_t sysFrames = 0, micFrames = 0;
            for (int k = 0; k < 200; ++k) {
                const double jitter = 0.0003 * std::sin(k * 1.7);
                for (int which = 0; which < 2; ++which) {
                    const bool isSys = which == 0;
                    const auto& f = isSys ? pair.sys : pair.mic;
                    auto& done = isSys ? sysFrames : micFrames;
                    const double start = isSys ? sysStart : micStart;
                    const auto n = std::uint32_t(std::lround(f.sampleRate() / 100));
                    const auto click = std::uint64_t(std::llround((clickAt - start) * f.sampleRate()));
                    auto b = pcm::Buffer::make(f, n);
                    b->setFrameLength(n);
                    for (std::uint32_t i = 0; i < n; ++i) {
                        setSample(*b, i, (done + i == click && isSys == clickInSystem) ? 0.8 : 0.0);
                    }
                    m().ingest(b, isSys ? SourceKey::system : SourceKey::mic, start + double(done) / f.sampleRate() + jitter);
                    done += n;
                }
            }
            m().finish();
            const auto s = fileSamples();
            const auto peak =
                std::max_element(s.begin(), s.end(), [](auto a, auto b) { return std::abs(a) < std::abs(b); });
            EXPECT_GT(*peak, 1000);
            return peak - s.begin();
        };
        const auto fromSystem = run(true), fromMic = run(false);
        EXPECT_NEAR(double(fromSystem), double(fromMic), 16.0);
    }
}


// Two devices on clocks of their own, in virtual time: SourceKey::system at 16 kHz on the host's
// clock, SourceKey::mic with a clock error in ppm (changing mid-run, or stopping for a second) in
// the canonical format or at 48 kHz, both stamped with +-jitter, in 10 ms blocks. Each
// clicks once per second of its own clock; once the mic's loop has locked, the two
// sources' clicks keep one distance (within 2 ms): what their first stamps' jitter left,
// which steering does not remove, as placement alone keeps a source on the host's clock
// where its first block landed. Nothing is dropped, inserted or resynchronised but for
// the gap.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double kLongRun = 600;  // sanitizers run the pipeline about twenty times slower
#else
constexpr double kLongRun = 1800;
#endif

TEST_F(MixerTest, SourcesOnDriftingClocksStayTogether) {
    struct Case {
        const char* what;
        double ppm, jitter, seconds;
        bool mic48k;
        double changeAt = -1, ppmAfter = 0, gapAt = -1;
    };
    const Case cases[] = {
        {"0 ppm", 0, 0, 150, false},
        {"+50 ppm, jittered", 50, 0.005, 400, false},
        {"-50 ppm", -50, 0, 400, true},
        {"+300 ppm, 48 kHz, jittered", 300, 0.005, 150, true},
        {"-300 ppm, jittered", -300, 0.005, 150, false},
        {"+1000 ppm, jittered", 1000, 0.005, 150, false},
        {"-1000 ppm, 48 kHz, jittered", -1000, 0.005, 150, true},
        {"+500 ppm, jittered, half an hour (10 minutes under sanitizers)", 500, 0.005, kLongRun, false},
        {"+100 then -100 ppm, jittered", 100, 0.005, 600, false, 300, -100},
        {"+300 ppm, a one-second gap", 300, 0.005, 300, false, -1, 0, 150},
    };
    struct Click {
        double host;  // true host seconds
        float sign;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // Steering starts once the drift has moved the mic by 10 ms, then takes up to 30 s
        // to pull that back; a change of an engaged clock settles within 30 s.
        const double settle = 30 + (c.ppm != 0 ? 0.01 / (std::abs(c.ppm) * 1e-6) : 0.0), resettle = 30;
        fresh();
        const auto f48 = *pcm::Format::common(pcm::SampleType::float32, 48000, 1, false);
        const double micRate = c.mic48k ? 48000 : 16000;
        sim::DeviceClock sys(16000, 0, c.jitter, kStart, 1), mic(micRate, c.ppm, c.jitter, kStart + 0.1, 2);
        std::uint64_t sysFrames = 0, micFrames = 0;
        double micPpm = c.ppm;
        bool gapDone = false;
        std::vector<Click> clicks;
        while (sys.now() < kStart + c.seconds) {
            const bool isSys = sys.now() <= mic.now();
            auto& clock = isSys ? sys : mic;
            auto& done = isSys ? sysFrames : micFrames;
            const auto rate = std::uint64_t(isSys ? 16000 : micRate);
            const auto frames = std::uint32_t(rate / 100);
            auto b = isSys ? constant(frames, 0.0f) : dc(c.mic48k ? f48 : canonical(), frames, 0.0);
            const std::uint64_t at = (rate - done % rate) % rate;  // the block's frame that starts a second
            if (at < frames) {
                const double perFrame = 1 / (double(rate) * (1 + (isSys ? 0.0 : micPpm) * 1e-6));
                clicks.push_back({clock.now() + double(at) * perFrame, isSys ? 1.0f : -1.0f});
                b->floatChannelData()[0][at] = isSys ? 0.5f : -0.5f;
            }
            m().ingest(b, isSys ? SourceKey::system : SourceKey::mic, clock.stamp(frames));
            done += frames;
            if (!isSys && c.changeAt >= 0 && mic.now() - kStart >= c.changeAt && micPpm != c.ppmAfter) {
                micPpm = c.ppmAfter;
                mic.setPpm(micPpm);
            }
            if (!isSys && c.gapAt >= 0 && !gapDone && mic.now() - kStart >= c.gapAt) {
                mic.skip(1.0);
                gapDone = true;
            }
        }
        m().finish();
        const auto st = view(m());
        EXPECT_EQ(st.resyncs, c.gapAt >= 0 ? 1 : 0);
        EXPECT_EQ(st.dropped, 0);
        EXPECT_NEAR(double(st.silence), c.gapAt >= 0 ? 16000.0 : 0.0, c.gapAt >= 0 ? 200.0 : 0.0);
        EXPECT_EQ(st.clamps, 0);
        const auto file = fileSamples();
        // Where each click landed against where its true host time belongs.
        const auto error = [&](const Click& k) {
            const double expected = (k.host - *st.start) * 16000;
            const auto from = std::max<std::int64_t>(0, std::int64_t(expected) - 160);
            const auto to = std::min<std::int64_t>(std::int64_t(file.size()) - 1, std::int64_t(expected) + 160);
            std::int64_t best = from;
            for (std::int64_t i = from; i <= to; ++i)
                if (float(file[std::size_t(i)]) * k.sign > float(file[std::size_t(best)]) * k.sign) best = i;
            EXPECT_GT(float(file[std::size_t(best)]) * k.sign, 1000.0f) << "no click within 10 ms of " << expected;
            return double(best) - expected;
        };
        const auto settling = [&](double t) {
            t -= kStart;
            return t < settle || (c.changeAt >= 0 && t >= c.changeAt && t < c.changeAt + resettle) ||
                   (c.gapAt >= 0 && t >= c.gapAt && t < c.gapAt + settle) || t > c.seconds - 1;
        };
        // The distance of each mic click to the system's click before it: constant within
        // 2 ms from lock (or from the resync after the gap) on, and no further apart than
        // the two sources' first stamps can have put them.
        double lastSystem = std::nan(""), lo[2] = {1e9, 1e9}, hi[2] = {-1e9, -1e9};
        int compared = 0;
        for (const auto& k : clicks) {
            if (settling(k.host)) continue;
            if (k.sign > 0) {
                lastSystem = error(k);
                continue;
            }
            if (!std::isfinite(lastSystem)) continue;
            const double d = error(k) - lastSystem;
            const int segment = c.gapAt >= 0 && k.host - kStart >= c.gapAt ? 1 : 0;
            lo[segment] = std::min(lo[segment], d), hi[segment] = std::max(hi[segment], d);
            compared += 1;
        }
        EXPECT_GT(compared, int((c.seconds - settle) / 2));
        for (int segment = 0; segment < (c.gapAt >= 0 ? 2 : 1); ++segment) {
            EXPECT_LE(hi[segment] - lo[segment], 32.0) << "2 ms";
            EXPECT_LE(std::max(hi[segment], -lo[segment]), 2 * c.jitter * 16000 + 32.0);
        }
    }
}

// ---- layouts: the mix, or microphone and system audio each in a channel of its own ----

struct LayoutRow {
    const char* name;
    ChannelLayout layout;
    std::size_t channels;
    float gain;
    std::size_t micChannel, systemChannel;
};
const LayoutRow kLayouts[] = {
    {"mix", ChannelLayout::mix, 1, Mixer::kGain, 0, 0},
    {"split", ChannelLayout::split, 2, 1.0f, 0, 1},
};

using testing::channelSamples;

// Two seconds of a 48 kHz microphone (mono) and system audio (stereo) in 10 ms blocks;
// the system starts 7 ms after the microphone. A side given no frequency is silent.
void feedTones(Mixer& m, double micHz, double systemHz, double level) {
    const auto micFormat = *pcm::Format::common(pcm::SampleType::float32, 48000, 1, false);
    const auto sysFormat = *pcm::Format::common(pcm::SampleType::float32, 48000, 2, true);
    for (int k = 0; k < 200; ++k) {
        for (const bool isMic : {true, false}) {
            const double hz = isMic ? micHz : systemHz;
            const double start = isMic ? 0.0 : 0.007;
            auto b = pcm::Buffer::make(isMic ? micFormat : sysFormat, 480);
            b->setFrameLength(480);
            const std::uint32_t channels = isMic ? 1 : 2;
            for (std::uint32_t i = 0; i < 480; ++i) {
                const double t = double(k * 480 + int(i)) / 48000.0;
                const auto v = float(hz > 0 ? level * std::sin(2 * kPi * hz * t) : 0.0);
                for (std::uint32_t c = 0; c < channels; ++c) b->floatChannelData()[0][i * channels + c] = v;
            }
            m.ingest(b, isMic ? SourceKey::mic : SourceKey::system, kStart + start + double(k) / 100.0);
        }
    }
}

TEST_F(MixerTest, ATonePlayedOnOneSideLandsInItsChannelsAtTheirGain) {
    struct Side {
        const char* name;
        double micHz, systemHz;
    };
    const Side sides[] = {{"tone on the microphone only", 1000, 0}, {"tone on the system audio only", 0, 440}};
    for (const auto& row : kLayouts) {
        for (const auto& side : sides) {
            SCOPED_TRACE(::testing::Message() << row.name << ": " << side.name);
            fresh(row.layout);
            feedTones(m(), side.micHz, side.systemHz, 0.5);
            m().finish();
            const auto frames = fileSamples();
            ASSERT_EQ(frames.size() % row.channels, 0u);
            const std::size_t toneChannel = side.micHz > 0 ? row.micChannel : row.systemChannel;
            const double hz = side.micHz > 0 ? side.micHz : side.systemHz;
            for (std::size_t c = 0; c < row.channels; ++c) {
                const auto s = channelSamples(frames, row.channels, c);
                ASSERT_GT(s.size(), 30000u);
                const double expected = c == toneChannel ? 0.5 * double(row.gain) : 0.0;
                EXPECT_NEAR(testing::toneLevel(s, 4000, 28000, hz), expected, 0.005) << "channel " << c + 1;
                double peak = 0;
                for (std::size_t i = 4000; i < 28000; ++i) peak = std::max(peak, double(std::fabs(s[i])));
                if (c != toneChannel) {
                    EXPECT_LT(peak, 1e-4) << "channel " << c + 1;
                }
            }
        }
    }
}

// A click at one host time on both sides: in the split layout each channel holds its
// side's click where the mix puts it when that side alone clicks, whatever the placement
// did (a resync, a late first block, a lost front).
TEST_F(MixerTest, AClickOnBothSidesLinesUpAcrossTheChannelsAsInTheMix) {
    const auto f48 = *pcm::Format::common(pcm::SampleType::float32, 48000, 2, true);
    const auto f44 = *pcm::Format::common(pcm::SampleType::int16, 44100, 1, true);
    // Clicks 1.0 s after the start; system blocks jittered, with a 0.3 s hole at 0.5 s
    // (a resync); the microphone starts 0.2 s late.
    auto run = [&](ChannelLayout layout, bool micClicks, bool systemClicks) {
        fresh(layout);
        for (int k = 0; k < 250; ++k) {
            const double t = double(k) / 100.0;
            const double jitter = 0.0003 * std::sin(k * 1.7);
            if (!(t >= 0.5 && t < 0.8)) {
                auto b = pcm::Buffer::make(f48, 480);
                b->setFrameLength(480);
                for (std::uint32_t i = 0; i < 480 * 2; ++i)
                    b->floatChannelData()[0][i] = (systemClicks && k * 480 + int(i / 2) == 48000) ? 0.8f : 0.0f;
                m().ingest(b, SourceKey::system, kStart + t + jitter);
            }
            if (t >= 0.2) {
                auto b = pcm::Buffer::make(f44, 441);
                b->setFrameLength(441);
                for (std::uint32_t i = 0; i < 441; ++i)
                    b->int16ChannelData()[0][i] = (micClicks && k * 441 + int(i) == 44100) ? 26000 : 0;
                m().ingest(b, SourceKey::mic, kStart + t - jitter);
            }
        }
        m().finish();
        EXPECT_EQ(view(m()).resyncs, 1);
        return fileSamples();
    };
    struct Peak {
        std::ptrdiff_t at;
        float value;
    };
    const auto peakIn = [](const std::vector<float>& s) {
        const auto at = std::max_element(s.begin(), s.end(), [](float a, float b) { return std::fabs(a) < std::fabs(b); });
        EXPECT_GT(std::fabs(*at), 0.03f);
        return Peak{at - s.begin(), *at};
    };
    const Peak micInMix = peakIn(channelSamples(run(ChannelLayout::mix, true, false), 1, 0));
    const Peak systemInMix = peakIn(channelSamples(run(ChannelLayout::mix, false, true), 1, 0));
    EXPECT_NEAR(double(micInMix.at), double(systemInMix.at), 16.0);
    const auto split = run(ChannelLayout::split, true, true);
    const Peak mic = peakIn(channelSamples(split, 2, 0)), system = peakIn(channelSamples(split, 2, 1));
    EXPECT_EQ(mic.at, micInMix.at);
    EXPECT_EQ(system.at, systemInMix.at);
    // Unit gain: the same click, without the mix's 0.707.
    EXPECT_NEAR(mic.value * Mixer::kGain, micInMix.value, 2e-4);
    EXPECT_NEAR(system.value * Mixer::kGain, systemInMix.value, 2e-4);
}

// The worked sequence in the split layout: the same timeline (cursors, resync, clamp,
// drops, flushes) with every sample in its own side's channel at unit gain.
TEST_F(MixerTest, SplitLayoutFollowsTheSameTimeline) {
    fresh(ChannelLayout::split);
    struct Step {
        SourceKey key;
        std::int64_t p, n;
    };
    const Step steps[] = {{SourceKey::system, 0, 160},    {SourceKey::mic, -1000, 480},      {SourceKey::mic, -520, 480},
                          {SourceKey::system, 163, 160},  {SourceKey::system, 5000, 160},    {SourceKey::system, 2505160, 160},
                          {SourceKey::system, 19840, 160}, {SourceKey::mic, 500, 480}};
    for (const Step& s : steps)
        m().ingest(constant(std::size_t(s.n), s.key == SourceKey::system ? 0.25f : 0.5f), s.key, at(s.p));
    const auto st = view(m());
    EXPECT_EQ(st.base, 12000);
    EXPECT_EQ(st.latest, 20000);
    EXPECT_EQ(st.window, 2 * (st.latest - st.base));  // two floats per index
    EXPECT_EQ(st.resyncs, 2);
    EXPECT_EQ(st.clamps, 1);
    EXPECT_EQ(st.silence, 19200);
    EXPECT_EQ(st.dropped, 960);
    EXPECT_EQ(st.written, 2 * 12000);  // samples: two per frame
    m().finish();
    const auto frames = fileSamples();
    ASSERT_EQ(frames.size(), 2u * 20000u);
    const auto mic = channelSamples(frames, 2, 0), system = channelSamples(frames, 2, 1);
    auto expectRuns = [](const std::vector<float>& s, std::initializer_list<std::tuple<std::size_t, std::size_t, float>> runs) {
        for (const auto& [from, to, value] : runs)
            for (std::size_t i = from; i < to; ++i) ASSERT_EQ(s[i] * 32767.0f, float(stored(value))) << i;
    };
    expectRuns(mic, {{0, 480, 0.5f}, {480, 20000, 0.0f}});
    expectRuns(system, {{0, 320, 0.25f}, {320, 5000, 0.0f}, {5000, 5320, 0.25f}, {5320, 19840, 0.0f}, {19840, 20000, 0.25f}});
}

// Full scale on both sides: the mix sums to 1.414 and limits one channel; the split
// layout limits each side on its own and counts the samples of both channels.
TEST_F(MixerTest, EachChannelIsLimitedOnItsOwnAndCountedInLimitedSamples) {
    struct Row {
        ChannelLayout layout;
        std::int16_t value;
        std::int64_t limited;
    };
    const Row rows[] = {{ChannelLayout::mix, stored(1.0f * Mixer::kGain + 1.0f * Mixer::kGain), 100},
                        {ChannelLayout::split, 31985, 200}};
    for (const Row& row : rows) {
        fresh(row.layout);
        m().ingest(constant(100, 1.0f), SourceKey::system, at(0));
        m().ingest(constant(100, 1.0f), SourceKey::mic, at(0));
        m().finish();
        const auto d = m().diagnostics();
        EXPECT_EQ(d[4].first, "limitedSamples");
        EXPECT_EQ(std::get<std::int64_t>(d[4].second.v), row.limited);
        const auto file = fileSamples();
        ASSERT_EQ(file.size(), std::size_t(row.limited));
        for (auto v : file) ASSERT_EQ(v, row.value);
    }
}

}  // namespace
}  // namespace velomar
