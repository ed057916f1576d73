#include "platform/channel_downmix.h"

#include <algorithm>
#include <cstddef>

namespace velomar::platform {

void downmixInPlace(CapturedChunk& chunk, std::uint32_t outChannels) {
    const std::uint32_t in = chunk.channels;
    if (in == 0 || outChannels == 0 || in == outChannels) return;
    const std::size_t frames = chunk.frames;
    if (outChannels > in) {
        // Backwards: each frame moves to a later place, which the frames after it left.
        chunk.samples.resize(frames * outChannels);
        float* data = chunk.samples.data();
        for (std::size_t f = frames; f-- > 0;) {
            for (std::uint32_t c = outChannels; c-- > 0;) {
                data[f * outChannels + c] = data[f * in + std::min(c, in - 1)];
            }
        }
    } else {
        // Forwards: a frame is written no further on than it was read from.
        float* data = chunk.samples.data();
        for (std::size_t f = 0; f < frames; ++f) {
            const float* frame = data + f * in;
            float* out = data + f * outChannels;
            if (outChannels == 1) {
                float sum = 0;
                for (std::uint32_t c = 0; c < in; ++c) sum += frame[c];
                out[0] = sum / static_cast<float>(in);
            } else {
                for (std::uint32_t c = 0; c < outChannels; ++c) out[c] = frame[c];
            }
        }
        chunk.samples.resize(frames * outChannels);
    }
    chunk.channels = outChannels;
}

}  // namespace velomar::platform
