// One instant on both sides, with an output whose format is not the graph's: a player
// sends bursts to a 44.1 kHz stereo output, and the microphone is that output's right
// channel, so the server delivers both copies of each burst together. The recorder's
// host stamps must put them together in the file, and keep them there, for a minute.
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/recorder_process.h"
#include "platform/pulse/test_server.h"

namespace velomar {
namespace {

using testing::Background;
using testing::RecorderProcess;
using testing::TestServer;

constexpr int kSeconds = 60;
constexpr double kBurst = 0.02;

TEST(SharedInstantE2ETest, BothCopiesOfABurstStayTogetherWithA44kStereoOutput) {
    VELOMAR_REQUIRE_SERVER();
    const auto dir = std::filesystem::temp_directory_path() / ("velomar-instant-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string out = (dir / "out.wav").string(), raw = (dir / "bursts.raw").string();
    const std::string sink = testing::firstLine(
        "pactl load-module module-null-sink sink_name=velomar_out44 format=float32le rate=44100 channels=2");
    ASSERT_FALSE(sink.empty()) << "the 44.1 kHz output did not load";
    ASSERT_TRUE(testing::waitUntil([] { return testing::sh("pactl list short sinks | grep -q velomar_out44") == 0; }, 5));
    const std::string mic = testing::firstLine(
        "pactl load-module module-remap-source source_name=velomar_mic44 master=velomar_out44.monitor channels=1 "
        "master_channel_map=front-right channel_map=mono");
    ASSERT_FALSE(mic.empty()) << "the microphone did not load";
    ASSERT_TRUE(testing::waitUntil([] { return testing::sh("pactl list short sources | grep -q velomar_mic44") == 0; }, 5));
    ASSERT_TRUE(testing::setDefaults("velomar_out44", "velomar_mic"));
    // L = 2·b1 − b2 and R = b2: the output's monitor (mono, (L+R)/2) carries the 3 kHz
    // burst b1 only, the microphone the 1 kHz burst b2 only, both from the same frame.
    {
        std::ofstream f(raw, std::ios::binary);
        for (int i = 0; i < 44100 * (kSeconds + 10); ++i) {
            const double t = std::fmod(i / 44100.0, 1.0) - 0.1;
            const auto b1 = static_cast<float>(testing::burstShape(t, 3000, kBurst));
            const auto b2 = static_cast<float>(testing::burstShape(t, 1000, kBurst));
            const float frame[2] = {2 * b1 - b2, b2};
            f.write(reinterpret_cast<const char*>(frame), sizeof frame);
        }
    }
    nlohmann::json stopped;
    {
        RecorderProcess rec({"--out", out, "--mic-device", "velomar_mic44"});
        ASSERT_TRUE(rec.waitFor("started", 15)) << rec.transcript();
        Background player("pacat --raw --playback -d velomar_out44 --rate=44100 --channels=2 --format=float32le "
                          "--latency-msec=20 '" + raw + "'");
        std::this_thread::sleep_for(std::chrono::seconds(kSeconds));
        rec.sendStop();
        auto event = rec.waitFor("stopped", 15);
        ASSERT_TRUE(event) << rec.transcript();
        EXPECT_EQ(rec.wait(10), 0) << rec.transcript();
        stopped = event->json;
    }
    testing::setDefaults("velomar_speakers", "velomar_mic");
    testing::sh("pactl unload-module " + mic);
    testing::sh("pactl unload-module " + sink);
    for (const char* counter : {"resyncs", "silenceInsertedSamples", "samplesDropped"})
        EXPECT_EQ(stopped.value(counter, -1), 0) << counter << ": " << stopped.dump();

    auto wav = testing::readWav(out);
    ASSERT_TRUE(wav);
    // Each second's pair, mic minus system in ms, in order.
    std::vector<double> offsets;
    for (std::size_t start = 16000; start + 32000 < wav->samples.size(); start += 16000) {
        auto [p1, v1] = testing::locateBurst(wav->samples, 3000, kBurst, start, start + 16000);
        const auto from = static_cast<std::size_t>(std::max(0.0, p1 - 0.1 * 16000));
        auto [p2, v2] = testing::locateBurst(wav->samples, 1000, kBurst, from, from + 3200);
        if (v1 > 0.05 && v2 > 0.05) offsets.push_back((p2 - p1) / 16.0);
    }
    ASSERT_GT(offsets.size(), std::size_t(kSeconds - 10)) << "bursts not found in the mix";
    double largest = 0, jump = 0;
    for (std::size_t k = 0; k < offsets.size(); ++k) {
        if (std::fabs(offsets[k]) > std::fabs(largest)) largest = offsets[k];
        if (k > 0) jump = std::max(jump, std::fabs(offsets[k] - offsets[k - 1]));
    }
    const auto [lo, hi] = std::minmax_element(offsets.begin(), offsets.end());
    std::printf("[ figures  ] %s, 44.1 kHz stereo output: mic - system %.2f ... %.2f ms over %zu bursts, "
                "largest jump %.2f ms\n",
                TestServer::kind().c_str(), *lo, *hi, offsets.size(), jump);
    std::string each;
    for (double o : offsets) {
        char text[16];
        std::snprintf(text, sizeof text, " %.1f", o);
        each += text;
    }
    if (TestServer::kind() != "pipewire") {
        // PulseAudio's remap source is some 4.6 ms behind its master, and the latency it
        // reports for it does not cancel that (at 48 kHz the same instant lands as far apart);
        // on a busy machine its distance has been seen to jump once in a while as well.
        EXPECT_LT(std::fabs(largest), 10.0) << "the two copies of one burst landed apart; each second:" << each;
    } else {
        EXPECT_LT(std::fabs(largest), 5.0) << "the two copies of one burst landed apart; each second:" << each;
        // A loss is counted from the readings and the arrivals' floor; one was seen counted
        // 2.7 ms short in five busy runs, so the bound is set to catch the 5-19 ms jumps of a
        // stream whose losses go uncounted rather than that remainder.
        EXPECT_LT(jump, 4.0) << "the distance of the two sides jumped; each second:" << each;
    }
    if (!HasFailure()) std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace velomar
