#pragma once
// How the sources share the file's channels. The writer holds the layout of a run; the
// mixer reads it from there, so the two can never disagree.

#include <cstdint>
#include <string_view>

namespace velomar {

enum class ChannelLayout : std::uint8_t {
    mix,    // one channel: every source summed at the mix gain
    split,  // two channels: 1 the microphone, 2 the system audio, each at unit gain
};

constexpr std::uint16_t channelCount(ChannelLayout layout) { return layout == ChannelLayout::split ? 2 : 1; }

// The channel (from 0) that a source key feeds. In the split layout the microphone has
// channel 1 of the file to itself; every other source is system audio.
constexpr std::uint16_t channelOf(ChannelLayout layout, std::string_view key) {
    return layout == ChannelLayout::split && key != "mic" ? 1 : 0;
}

}  // namespace velomar
