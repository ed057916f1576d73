// A microphone whose clock is off, on a real server: a pipe source follows the pace of
// whoever feeds its FIFO, so a feeder paced on the monotonic (host) clock at
// 48000 × (1 + ε) frames a second makes a microphone whose clock runs ε fast. Both it and
// the speakers click at every host second; the recorder must keep the microphone's clicks
// on the host-time line for minutes instead of letting them drift away.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
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

constexpr int kSeconds = 180;
// Steering starts once the drift has moved the microphone by 10 ms (33 s at 300 ppm) and
// has pulled that back by about 50 s.
constexpr std::size_t kLocked = 60;

// Writes float32 mono frames into the FIFO at 48000 × (1 + ppm) frames per second of the
// monotonic clock, a -0.9 click at the frame of every whole host second from its start.
// Writes never block: once the recording stops the server may stop reading the FIFO.
class PacedFeeder {
public:
    PacedFeeder(const std::string& fifo, double ppm) : ppm_(ppm), thread_([this, fifo] { run(fifo); }) {}
    ~PacedFeeder() {
        stop_ = true;
        thread_.join();
    }
    bool failed() const { return failed_; }

private:
    void run(const std::string& fifo) {
        const int fd = ::open(fifo.c_str(), O_WRONLY);
        if (fd < 0) {
            failed_ = true;
            return;
        }
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        const double rate = 48000 * (1 + ppm_ * 1e-6);
        const auto start = std::chrono::steady_clock::now();
        std::uint64_t written = 0, clicks = 0;
        std::uint64_t nextClick = 0;  // the first frame at or after the next whole host second
        std::vector<float> block;
        std::vector<char> pending;  // bytes the FIFO had no room for yet
        while (!stop_) {
            const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            const auto due = std::uint64_t(elapsed * rate);
            block.assign(due - written, 0.0f);
            while (nextClick < due) {
                block[nextClick - written] = -0.9f;
                nextClick = std::uint64_t(std::ceil(double(++clicks) * rate));
            }
            const auto* bytes = reinterpret_cast<const char*>(block.data());
            pending.insert(pending.end(), bytes, bytes + block.size() * sizeof(float));
            const ssize_t n = pending.empty() ? 0 : ::write(fd, pending.data(), pending.size());
            if (n > 0) pending.erase(pending.begin(), pending.begin() + n);
            else if (n < 0 && errno != EAGAIN) failed_ = true;
            written = due;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ::close(fd);
    }

    double ppm_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> failed_{false};
    std::thread thread_;
};

class ClockDriftE2ETest : public ::testing::TestWithParam<double> {};

// At 300 ppm the microphone is followed; at 0 ppm neither side may be steered at all.
TEST_P(ClockDriftE2ETest, AMicrophoneKeepsToTheHostTimelineAndTheSystemAudioStaysPut) {
    VELOMAR_REQUIRE_SERVER();
    const double ppm = GetParam();
    if (TestServer::kind() == "pipewire") GTEST_SKIP() << "the paced FIFO microphone is PulseAudio's pipe source";
    ASSERT_TRUE(testing::setDefaults("velomar_speakers", "velomar_mic"));
    const auto dir = std::filesystem::temp_directory_path() / ("velomar-drift-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string fifo = (dir / "mic.fifo").string(), out = (dir / "out.wav").string(),
                      clicks = (dir / "clicks.raw").string();
    const std::string module = testing::firstLine("pactl load-module module-pipe-source source_name=velomar_drift_mic file='" +
                                                  fifo + "' format=float32le rate=48000 channels=1");
    ASSERT_FALSE(module.empty()) << "module-pipe-source did not load";
    {
        std::ofstream f(clicks, std::ios::binary);
        for (int i = 0; i < 48000 * (kSeconds + 10); ++i) {
            const float v = i % 48000 == 0 ? 0.9f : 0.0f;
            const float frame[2] = {v, v};
            f.write(reinterpret_cast<const char*>(frame), sizeof frame);
        }
    }
    nlohmann::json stopped;
    {
        PacedFeeder feeder(fifo, ppm);
        RecorderProcess rec({"--out", out, "--mic-device", "velomar_drift_mic"});
        ASSERT_TRUE(rec.waitFor("started", 15)) << rec.transcript();
        Background speakers("pacat --raw --playback -d velomar_speakers --rate=48000 --channels=2 --format=float32le "
                            "--latency-msec=300 '" + clicks + "'");
        std::this_thread::sleep_for(std::chrono::seconds(kSeconds));
        rec.sendStop();
        auto event = rec.waitFor("stopped", 15);
        ASSERT_TRUE(event) << rec.transcript();
        EXPECT_EQ(rec.wait(10), 0) << rec.transcript();
        stopped = event->json;
        EXPECT_FALSE(feeder.failed());
    }
    testing::sh("pactl unload-module " + module);
    for (const char* counter : {"resyncs", "silenceInsertedSamples", "samplesDropped"})
        EXPECT_EQ(stopped.value(counter, -1), 0) << counter << ": " << stopped.dump();

    auto wav = testing::readWav(out);
    ASSERT_TRUE(wav);
    const auto& s = wav->samples;
    // Each side's clicks, one per second from its first: the system audio's positive, the
    // microphone's negative; -1 where a second has none within 50 ms of its place.
    auto clicksOf = [&](float sign) {
        std::vector<long> at;
        long first = -1;
        for (std::size_t i = 16000; i < s.size() && first < 0; ++i)
            if (s[i] * sign > 0.1f) first = long(i);
        if (first < 0) return at;
        for (long k = 0; first + 16000 * k + 800 < long(s.size()); ++k) {
            const long centre = first + 16000 * k;
            long best = centre - 800;
            for (long i = centre - 800; i <= centre + 800; ++i)
                if (s[std::size_t(i)] * sign > s[std::size_t(best)] * sign) best = i;
            at.push_back(s[std::size_t(best)] * sign > 0.1f ? best - 16000 * k : -1);
        }
        return at;
    };
    const auto sys = clicksOf(1.0f), mic = clicksOf(-1.0f);
    ASSERT_GT(mic.size(), std::size_t(kSeconds - 20));
    ASSERT_GT(sys.size(), std::size_t(kSeconds - 20));
    // After the loop has locked, the microphone's clicks keep their place on
    // the host-time line (unfollowed, a 300 ppm clock moves them by 18 ms a minute), and
    // their distance to the system audio's, which is on the host's clock and left alone,
    // holds.
    long micLo = 1L << 40, micHi = -(1L << 40);
    double pairLo = 1e9, pairHi = -1e9;
    int pairs = 0;
    for (std::size_t k = kLocked; k < mic.size(); ++k) {
        if (mic[k] < 0) continue;
        micLo = std::min(micLo, mic[k]), micHi = std::max(micHi, mic[k]);
        if (k < sys.size() && sys[k] >= 0) {
            const double d = double(mic[k] - sys[k]) / 16.0;
            pairLo = std::min(pairLo, d), pairHi = std::max(pairHi, d);
            pairs += 1;
        }
    }
    std::printf("[ figures  ] %s, microphone %+.0f ppm, %d s: after %zu s its clicks move by %.2f ms on the timeline; "
                "mic - system %.2f ... %.2f ms over %d clicks\n",
                TestServer::kind().c_str(), ppm, kSeconds, kLocked, double(micHi - micLo) / 16.0, pairLo, pairHi, pairs);
    EXPECT_LT(double(micHi - micLo) / 16.0, 2.0);
    EXPECT_GT(pairs, int(kSeconds - kLocked) - 20) << "the system audio's clicks are missing";
    EXPECT_LT(pairHi - pairLo, 2.0) << "the distance of the two sides' clicks moved";
    if (!HasFailure()) std::filesystem::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(ClockDrift, ClockDriftE2ETest, ::testing::Values(300.0, 0.0),
                         [](const ::testing::TestParamInfo<double>& p) { return std::to_string(int(p.param)) + "ppm"; });

}  // namespace
}  // namespace velomar
