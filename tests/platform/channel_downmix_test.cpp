#include "platform/channel_downmix.h"

#include <gtest/gtest.h>

#include <vector>

namespace velomar::platform {
namespace {

TEST(ChannelDownmixTest, EachLayoutLandsInPlaceFrameByFrame) {
    struct Case {
        const char* name;
        std::uint32_t in;
        std::uint32_t out;
        std::vector<float> samples;
        std::vector<float> expected;
    };
    const Case cases[] = {
        {"stereo to mono averages", 2, 1, {1, 3, -2, 0, 0.5f, 0.5f}, {2, -1, 0.5f}},
        {"5.1 to mono: every channel counts equally", 6, 1, {6, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1}, {1, 1}},
        {"5.1 to stereo keeps the front pair", 6, 2, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, {1, 2, 7, 8}},
        {"mono to stereo repeats", 1, 2, {1, 2, 3}, {1, 1, 2, 2, 3, 3}},
        {"same layout untouched", 2, 2, {1, 2, 3, 4}, {1, 2, 3, 4}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CapturedChunk chunk;
        chunk.samples = c.samples;
        chunk.channels = c.in;
        chunk.frames = static_cast<std::uint32_t>(c.samples.size() / c.in);
        chunk.samples.reserve(c.expected.size());
        const float* memory = chunk.samples.data();
        downmixInPlace(chunk, c.out);
        EXPECT_EQ(chunk.samples, c.expected);
        EXPECT_EQ(chunk.channels, c.out);
        EXPECT_EQ(chunk.samples.data(), memory) << "the buffer was replaced";
    }
}

}  // namespace
}  // namespace velomar::platform
