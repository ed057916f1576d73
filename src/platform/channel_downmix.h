#pragma once
// A captured chunk brought to the channel count its consumer takes, in its own buffer.

#include <cstdint>

#include "platform/stream_orderer.h"

namespace velomar::platform {

// Averages all channels into one (mono), keeps the first `outChannels` of more, or
// repeats the last one into a wider layout. In place: no allocation unless widening
// needs more room than the buffer holds.
void downmixInPlace(CapturedChunk& chunk, std::uint32_t outChannels);

}  // namespace velomar::platform
