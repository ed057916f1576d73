#include "platform/pcm.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace velomar::pcm {
namespace {

Format fmt(SampleType type, double rate, std::uint32_t channels, bool interleaved) {
    return *Format::common(type, rate, channels, interleaved);
}

TEST(PcmFormat, CommonRefusesBadRatesAndNoChannels) {
    for (double rate : {0.0, -1.0, std::nan(""), std::numeric_limits<double>::infinity()})
        EXPECT_FALSE(Format::common(SampleType::float32, rate, 1, false)) << rate;
    EXPECT_FALSE(Format::common(SampleType::float32, 48000, 0, false));
    auto f = Format::common(SampleType::int16, 44100, 2, true);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->sampleType(), SampleType::int16);
    EXPECT_EQ(f->sampleRate(), 44100);
    EXPECT_EQ(f->channelCount(), 2u);
    EXPECT_TRUE(f->isInterleaved());
}

TEST(PcmFormat, StreamDescriptionRoundTripsAndEqualityCoversEveryField) {
    const Format formats[] = {
        fmt(SampleType::float32, 48000, 2, false), fmt(SampleType::float32, 48000, 2, true),
        fmt(SampleType::int16, 48000, 2, true),    fmt(SampleType::int32, 48000, 2, true),
        fmt(SampleType::float32, 44100, 2, true),  fmt(SampleType::float32, 48000, 1, true),
    };
    for (std::size_t i = 0; i < std::size(formats); ++i) {
        const StreamDescription d = formats[i].streamDescription();
        auto back = Format::fromStreamDescription(d);
        ASSERT_TRUE(back) << i;
        EXPECT_EQ(*back, formats[i]) << i;
        for (std::size_t j = 0; j < std::size(formats); ++j) EXPECT_EQ(formats[i] == formats[j], i == j) << i << "," << j;
    }
    const StreamDescription d = fmt(SampleType::int16, 16000, 3, true).streamDescription();
    EXPECT_EQ(d.formatID, kFormatLinearPCM);
    EXPECT_EQ(d.bytesPerFrame, 6u);
    EXPECT_EQ(d.bytesPerPacket, 6u);
    EXPECT_EQ(d.framesPerPacket, 1u);
    EXPECT_EQ(d.bitsPerChannel, 16u);
    EXPECT_EQ(d.formatFlags & (kFlagIsSignedInteger | kFlagIsFloat | kFlagIsNonInterleaved), kFlagIsSignedInteger);
    EXPECT_EQ(fmt(SampleType::float32, 48000, 2, false).streamDescription().bytesPerFrame, 4u);
}

TEST(PcmFormat, FromStreamDescriptionRefusesWhatItCannotCarry) {
    const StreamDescription good = fmt(SampleType::float32, 48000, 2, true).streamDescription();
    struct Case {
        const char* what;
        void (*change)(StreamDescription&);
    };
    const Case cases[] = {
        {"not linear PCM", [](StreamDescription& d) { d.formatID = fourCC("aac "); }},
        {"big endian", [](StreamDescription& d) { d.formatFlags |= kFlagIsBigEndian; }},
        {"float and integer", [](StreamDescription& d) { d.formatFlags |= kFlagIsSignedInteger; }},
        {"unsigned integer", [](StreamDescription& d) { d.formatFlags = kFlagIsPacked; d.bitsPerChannel = 16; d.bytesPerFrame = d.bytesPerPacket = 4; }},
        {"float64", [](StreamDescription& d) { d.bitsPerChannel = 64; d.bytesPerFrame = d.bytesPerPacket = 16; }},
        {"24-bit integer", [](StreamDescription& d) { d.formatFlags = kFlagIsSignedInteger | kFlagIsPacked; d.bitsPerChannel = 24; d.bytesPerFrame = d.bytesPerPacket = 6; }},
        {"no channels", [](StreamDescription& d) { d.channelsPerFrame = 0; }},
        {"zero rate", [](StreamDescription& d) { d.sampleRate = 0; }},
        {"NaN rate", [](StreamDescription& d) { d.sampleRate = std::nan(""); }},
        {"padded frame", [](StreamDescription& d) { d.bytesPerFrame = d.bytesPerPacket = 12; }},
        {"two frames a packet", [](StreamDescription& d) { d.framesPerPacket = 2; }},
    };
    ASSERT_TRUE(Format::fromStreamDescription(good));
    for (const auto& c : cases) {
        StreamDescription d = good;
        c.change(d);
        EXPECT_FALSE(Format::fromStreamDescription(d)) << c.what;
    }
    StreamDescription int32 = good;
    int32.formatFlags = kFlagIsSignedInteger;  // packed flag omitted but sizes say packed
    auto f = Format::fromStreamDescription(int32);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->sampleType(), SampleType::int32);
}

TEST(PcmBuffer, TypedChannelDataAnswersOnlyForItsOwnType) {
    auto fl = Buffer::make(fmt(SampleType::float32, 48000, 2, false), 10);
    auto i16 = Buffer::make(fmt(SampleType::int16, 48000, 2, true), 10);
    auto i32 = Buffer::make(fmt(SampleType::int32, 48000, 1, false), 10);
    ASSERT_TRUE(fl && i16 && i32);
    EXPECT_TRUE(fl->floatChannelData());
    EXPECT_FALSE(fl->int16ChannelData());
    EXPECT_FALSE(fl->int32ChannelData());
    EXPECT_FALSE(i16->floatChannelData());
    EXPECT_TRUE(i16->int16ChannelData());
    EXPECT_FALSE(i16->int32ChannelData());
    EXPECT_FALSE(i32->floatChannelData());
    EXPECT_FALSE(i32->int16ChannelData());
    EXPECT_TRUE(i32->int32ChannelData());
}

TEST(PcmBuffer, BufferListViewsTheSameMemoryWithFrameLengthSizes) {
    auto planar = Buffer::make(fmt(SampleType::float32, 48000, 2, false), 480);
    ASSERT_TRUE(planar);
    EXPECT_EQ(planar->frameCapacity(), 480u);
    EXPECT_EQ(planar->frameLength(), 0u);
    planar->setFrameLength(100);
    AudioBufferList& list = planar->mutableAudioBufferList();
    ASSERT_EQ(list.buffers.size(), 2u);
    for (std::size_t c = 0; c < 2; ++c) {
        EXPECT_EQ(list.buffers[c].numberChannels, 1u);
        EXPECT_EQ(list.buffers[c].dataByteSize, 400u);
        EXPECT_EQ(list.buffers[c].data, planar->floatChannelData()[c]);
    }
    static_cast<float*>(list.buffers[1].data)[99] = 0.25f;
    EXPECT_EQ(planar->floatChannelData()[1][99], 0.25f);
    planar->setFrameLength(100000);  // clamped
    EXPECT_EQ(planar->frameLength(), 480u);
    EXPECT_EQ(planar->mutableAudioBufferList().buffers[0].dataByteSize, 1920u);

    auto packed = Buffer::make(fmt(SampleType::int16, 48000, 3, true), 64);
    ASSERT_TRUE(packed);
    packed->setFrameLength(10);
    AudioBufferList& plist = packed->mutableAudioBufferList();
    ASSERT_EQ(plist.buffers.size(), 1u);
    EXPECT_EQ(plist.buffers[0].numberChannels, 3u);
    EXPECT_EQ(plist.buffers[0].dataByteSize, 60u);
    EXPECT_EQ(plist.buffers[0].data, packed->int16ChannelData()[0]);
}

TEST(PcmBuffer, MakeRefusesCapacitiesThatCannotExist) {
    EXPECT_FALSE(Buffer::make(Format{}, 10));  // no channels
    EXPECT_FALSE(Buffer::make(fmt(SampleType::float32, 48000, 0xFFFFFFFFu, false), 0xFFFFFFFFu));
    auto empty = Buffer::make(fmt(SampleType::float32, 48000, 1, false), 0);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->frameCapacity(), 0u);
}

TEST(PcmBuffer, WrapUsesTheCallersMemoryWithoutCopying) {
    float left[4] = {1, 2, 3, 4}, right[4] = {5, 6, 7, 8};
    AudioBufferList planar{{{1, sizeof left, left}, {1, sizeof right, right}}};
    auto w = Buffer::wrap(fmt(SampleType::float32, 48000, 2, false), planar);
    ASSERT_TRUE(w);
    EXPECT_EQ(w->frameLength(), 4u);
    EXPECT_EQ(w->frameCapacity(), 4u);
    EXPECT_EQ(w->floatChannelData()[0], left);
    EXPECT_EQ(w->floatChannelData()[1], right);
    right[2] = 42;
    EXPECT_EQ(w->floatChannelData()[1][2], 42);

    std::int16_t frames[6] = {1, 2, 3, 4, 5, 6};
    AudioBufferList packed{{{2, sizeof frames, frames}}};
    auto p = Buffer::wrap(fmt(SampleType::int16, 44100, 2, true), packed);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->frameLength(), 3u);
    EXPECT_EQ(p->int16ChannelData()[0], frames);
}

TEST(PcmBuffer, WrapRefusesListsThatDoNotMatchTheFormat) {
    float a[4] = {}, b[4] = {};
    const Format planar = fmt(SampleType::float32, 48000, 2, false);
    const Format packed = fmt(SampleType::float32, 48000, 2, true);
    struct Case {
        const char* what;
        Format format;
        AudioBufferList list;
    };
    const Case cases[] = {
        {"one buffer for two planes", planar, {{{1, 16, a}}}},
        {"planes of different sizes", planar, {{{1, 16, a}, {1, 12, b}}}},
        {"plane with two channels", planar, {{{2, 16, a}, {1, 16, b}}}},
        {"partial sample", planar, {{{1, 6, a}, {1, 6, b}}}},
        {"null data", planar, {{{1, 16, a}, {1, 16, nullptr}}}},
        {"two buffers for packed", packed, {{{2, 16, a}, {2, 16, b}}}},
        {"wrong channel count", packed, {{{1, 16, a}}}},
        {"partial frame", packed, {{{2, 12, a}}}},
    };
    for (const auto& c : cases) EXPECT_FALSE(Buffer::wrap(c.format, c.list)) << c.what;
}

TEST(PcmBuffer, CopyChannelTakesOneChannelOfAWindowOfInterleavedFrames) {
    // Three channels, frame f channel c holds 10 f + c.
    std::vector<float> interleaved;
    for (int f = 0; f < 5; ++f)
        for (int c = 0; c < 3; ++c) interleaved.push_back(float(10 * f + c));
    std::vector<float> out(3, -1.0f);
    copyChannel(interleaved.data(), 3, 2, 1, 2, out.data());
    EXPECT_EQ(out, (std::vector<float>{12, 22, -1}));  // frames 1 and 2 only, nothing past them
    copyChannel(interleaved.data(), 3, 0, 4, 1, out.data());
    EXPECT_EQ(out[0], 40);
}

TEST(PcmHostClock, TicksAreMonotonicNanoseconds) {
    const std::uint64_t a = hostTimeNow();
    const std::uint64_t b = hostTimeNow();
    EXPECT_LE(a, b);
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const double now = double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
    EXPECT_NEAR(secondsForHostTime(b), now, 1.0);
    EXPECT_DOUBLE_EQ(secondsForHostTime(1500000000), 1.5);
    EXPECT_EQ(hostTimeForSeconds(1.5), 1500000000u);
    EXPECT_EQ(hostTimeForSeconds(123456.000000001), 123456000000001u);
    EXPECT_EQ(hostTimeForSeconds(-1), 0u);
    EXPECT_EQ(hostTimeForSeconds(std::nan("")), 0u);
    EXPECT_EQ(hostTimeForSeconds(1e30), std::numeric_limits<std::uint64_t>::max());
}

}  // namespace
}  // namespace velomar::pcm
