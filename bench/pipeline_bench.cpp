// Pushes hours of two-source audio through the recording pipeline as it arrives in a
// recording (48 kHz stereo float system audio and 48 kHz mono float microphone in 10 ms
// blocks with jittered host times): ingest, conversion, placement, the WAV writer, the
// file. Prints CPU time per audio hour, speed against real time and peak memory, then
// does the same job with sox on the same input and prints our CPU time as a ratio of its.
//
//   pipeline_bench [hours] [--no-sox]      (hours also from VELOMAR_BENCH_HOURS; default 1)

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "core/mixer.h"
#include "core/wav_writer.h"
#include "platform/pcm.h"

using namespace velomar;

namespace {

constexpr std::uint32_t kBlock = 480;  // 10 ms at 48 kHz
constexpr std::size_t kPoolBlocks = 97;  // a prime, so the two sources' patterns do not line up

struct Pool {
    std::vector<std::vector<float>> system;  // interleaved stereo
    std::vector<std::vector<float>> mic;
};

// Speech-like material: a few drifting partials plus a little noise.
Pool makePool() {
    Pool pool;
    std::uint32_t seed = 12345;
    auto noise = [&] {
        seed = seed * 1664525u + 1013904223u;
        return float(seed >> 8) / float(1u << 24) - 0.5f;
    };
    const double pi = std::numbers::pi;
    for (std::size_t b = 0; b < kPoolBlocks; ++b) {
        std::vector<float> sys(kBlock * 2), mic(kBlock);
        for (std::uint32_t i = 0; i < kBlock; ++i) {
            const double t = double(b * kBlock + i) / 48000.0;
            const double l = 0.3 * std::sin(2 * pi * 220 * t) + 0.2 * std::sin(2 * pi * 1330 * t) + 0.02 * noise();
            const double r = 0.3 * std::sin(2 * pi * 330 * t) + 0.1 * std::sin(2 * pi * 5100 * t) + 0.02 * noise();
            sys[2 * i] = float(l);
            sys[2 * i + 1] = float(r);
            mic[i] = float(0.4 * std::sin(2 * pi * 180 * t) * (0.6 + 0.4 * std::sin(2 * pi * 3 * t)) + 0.03 * noise());
        }
        pool.system.push_back(std::move(sys));
        pool.mic.push_back(std::move(mic));
    }
    return pool;
}

double cpuSeconds(int who) {
    rusage u{};
    getrusage(who, &u);
    return double(u.ru_utime.tv_sec) + double(u.ru_utime.tv_usec) * 1e-6 + double(u.ru_stime.tv_sec) +
           double(u.ru_stime.tv_usec) * 1e-6;
}

double peakRssMiB() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_maxrss) / 1024.0;
}

double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// 32-bit float WAV, as the capture delivers it.
class FloatWav {
public:
    FloatWav(const std::string& path, std::uint16_t channels) : out_(path, std::ios::binary), channels_(channels) {
        writeHeader(0);
    }
    void append(const std::vector<float>& samples) {
        out_.write(reinterpret_cast<const char*>(samples.data()), std::streamsize(samples.size() * sizeof(float)));
        bytes_ += samples.size() * sizeof(float);
    }
    void close() {
        out_.seekp(0);
        writeHeader(std::uint32_t(bytes_));
        out_.close();
    }

private:
    void put(std::uint32_t v, int n) {
        for (int i = 0; i < n; ++i) out_.put(char((v >> (8 * i)) & 0xFF));
    }
    void writeHeader(std::uint32_t data) {
        out_.write("RIFF", 4);
        put(38 + data, 4);
        out_.write("WAVEfmt ", 8);
        put(18, 4);  // with the (empty) extension that float WAV files carry
        put(3, 2);  // IEEE float
        put(channels_, 2);
        put(48000, 4);
        put(48000u * 4u * channels_, 4);
        put(4u * channels_, 2);
        put(32, 2);
        put(0, 2);
        out_.write("data", 4);
        put(data, 4);
    }
    std::ofstream out_;
    std::uint16_t channels_;
    std::uint64_t bytes_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    double hours = 1.0;
    bool withSox = true;
    if (const char* env = std::getenv("VELOMAR_BENCH_HOURS")) hours = std::atof(env);
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--no-sox") == 0) withSox = false;
        else hours = std::atof(argv[i]);
    }
    if (!(hours > 0)) {
        std::printf("usage: pipeline_bench [hours] [--no-sox]\n");
        return 2;
    }
    const auto blocks = std::uint64_t(std::llround(hours * 3600 * 100));
    const double audioSeconds = double(blocks) / 100.0;

    char dirName[] = "/tmp/velomar-bench-XXXXXX";
    if (!::mkdtemp(dirName)) return 1;
    const std::filesystem::path dir = dirName;
    const Pool pool = makePool();

    const auto sysFormat = *pcm::Format::common(pcm::SampleType::float32, 48000, 2, true);
    const auto micFormat = *pcm::Format::common(pcm::SampleType::float32, 48000, 1, true);
    std::uint32_t seed = 99;
    auto jitter = [&] {  // ±0.5 ms
        seed = seed * 1664525u + 1013904223u;
        return (double(seed >> 8) / double(1u << 24) - 0.5) * 0.001;
    };

    const double cpu0 = cpuSeconds(RUSAGE_SELF), wall0 = wallSeconds();
    Fields diagnostics;
    std::uint32_t dataBytes = 0;
    {
        auto writer = std::make_shared<WAVWriter>((dir / "ours.wav").string(), 16000);
        Mixer mixer(writer);
        const double t0 = 5000.0;
        for (std::uint64_t k = 0; k < blocks; ++k) {
            // What a capture callback does: copy into a fresh buffer, hand it over.
            auto sys = pcm::Buffer::make(sysFormat, kBlock);
            std::memcpy(sys->floatChannelData()[0], pool.system[k % kPoolBlocks].data(), kBlock * 2 * sizeof(float));
            sys->setFrameLength(kBlock);
            mixer.ingest(std::move(sys), "system", t0 + double(k) * 0.01 + jitter());
            auto mic = pcm::Buffer::make(micFormat, kBlock);
            std::memcpy(mic->floatChannelData()[0], pool.mic[k % kPoolBlocks].data(), kBlock * sizeof(float));
            mic->setFrameLength(kBlock);
            mixer.ingest(std::move(mic), "mic", t0 + 0.0031 + double(k) * 0.01 + jitter());
            // Audio arrives in real time, so the queue never holds much; wait for it each
            // second of audio instead of flooding it.
            if (k % 100 == 99) mixer.diagnostics();
        }
        mixer.finish();
        diagnostics = mixer.diagnostics();
        dataBytes = mixer.writer().dataBytes();
    }
    const double cpu = cpuSeconds(RUSAGE_SELF) - cpu0, wall = wallSeconds() - wall0;
    const double rss = peakRssMiB();

    std::printf("audio: %.0f s (%.3f h) from two sources, output %.1f s\n", audioSeconds, hours,
                double(dataBytes) / 2 / 16000);
    std::printf("diagnostics:");
    for (const auto& [key, value] : diagnostics) std::printf(" %s=%lld", key.c_str(), (long long)std::get<std::int64_t>(value.v));
    std::printf("\n");
    std::printf("pipeline: %.3f CPU s, %.3f CPU s per audio hour, %.0fx real time by CPU, %.0fx by wall clock\n", cpu,
                cpu / (audioSeconds / 3600), audioSeconds / cpu, audioSeconds / wall);
    std::printf("peak RSS: %.1f MiB\n", rss);

    if (withSox) {
        {
            FloatWav sysWav((dir / "sys.wav").string(), 2), micWav((dir / "mic.wav").string(), 1);
            for (std::uint64_t k = 0; k < blocks; ++k) {
                sysWav.append(pool.system[k % kPoolBlocks]);
                micWav.append(pool.mic[k % kPoolBlocks]);
            }
            sysWav.close();
            micWav.close();
        }
        const std::string command = "cd " + dir.string() +
                                    " && sox -M sys.wav mic.wav -b 16 out.wav remix 1v0.3535,2v0.3535,3v0.707 rate 16000";
        const double child0 = cpuSeconds(RUSAGE_CHILDREN), soxWall0 = wallSeconds();
        const int status = std::system(command.c_str());
        const double soxCpu = cpuSeconds(RUSAGE_CHILDREN) - child0, soxWall = wallSeconds() - soxWall0;
        if (status != 0 || soxCpu <= 0) {
            std::printf("sox: failed (status %d)\n", status);
        } else {
            std::printf("sox: %.3f CPU s, %.3f CPU s per audio hour, %.0fx real time by wall clock, output %.1f s\n",
                        soxCpu, soxCpu / (audioSeconds / 3600), audioSeconds / soxWall,
                        double(std::filesystem::file_size(dir / "out.wav") - 44) / 2 / 16000);
            std::printf("ratio to sox (CPU): %.3f (target <= 0.5)\n", cpu / soxCpu);
        }
    }
    std::filesystem::remove_all(dir);
    return 0;
}
