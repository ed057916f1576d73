// Pushes hours of two-source audio through the recording pipeline as it arrives in a
// recording (48 kHz stereo float system audio and 48 kHz mono float microphone in 10 ms
// blocks with jittered host times): ingest, conversion, placement, the WAV writer, the
// file. Prints CPU time per audio hour, speed against real time and peak memory, then
// does the same job with sox on the same input and prints our CPU time as a ratio of its.
// It also counts the pipeline's heap allocations (operator new outside the capture side's
// own fresh buffers) per buffer once the pipeline runs steadily.
// Then the clock figures: the same two sources, carrying only a click per second of their
// own clocks, once with both clocks on the host's and once with the microphone's clock
// off by --ppm (default +300): where the microphone's clicks land against the system
// audio's after lock, and the drifting run's CPU time against the nominal one's.
//
//   pipeline_bench [hours] [--no-sox] [--ppm N]   (hours also from VELOMAR_BENCH_HOURS; default 1)

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <new>
#include <numbers>
#include <string>
#include <vector>

#include "core/mixer.h"
#include "core/wav_writer.h"
#include "platform/pcm.h"

using namespace velomar;

namespace {

std::atomic<std::uint64_t> gAllocations{0};
// Set around what the capture side allocates for itself, which the count leaves out.
thread_local bool tUncounted = false;

}  // namespace

// The replacements pair malloc with free; the compiler cannot see that they belong together.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    if (!tUncounted) gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

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

double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
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

// The samples of a 16-bit PCM WAV file, found by its "data" chunk.
std::vector<std::int16_t> readPcm16(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t at = 12;
    while (at + 8 <= bytes.size()) {
        std::uint32_t size = 0;
        std::memcpy(&size, &bytes[at + 4], 4);
        if (std::memcmp(&bytes[at], "data", 4) == 0) {
            const std::size_t n = std::min<std::size_t>(size, bytes.size() - at - 8) / 2;
            std::vector<std::int16_t> samples(n);
            std::memcpy(samples.data(), &bytes[at + 8], n * 2);
            return samples;
        }
        at += 8 + size + (size & 1);
    }
    return {};
}

struct ClockRun {
    double cpu = 0;
    Fields diagnostics;
    std::vector<double> offsets;  // microphone click against the system click before it, ms
    int missing = 0;              // clicks not within 10 ms of where they belong
};

// Two sources in 10 ms blocks, each clicking at the start of every second of its own
// clock, the microphone's clock (1 + ppm) fast; stamps jittered by +-0.5 ms. Blocks are
// handed over in host-time order, as capture delivers them.
ClockRun clockRun(const std::filesystem::path& path, std::uint64_t blocks, double ppm) {
    const auto sysFormat = *pcm::Format::common(pcm::SampleType::float32, 48000, 2, true);
    const auto micFormat = *pcm::Format::common(pcm::SampleType::float32, 48000, 1, true);
    std::uint32_t seed = 7;
    auto jitter = [&] {
        seed = seed * 1664525u + 1013904223u;
        return (double(seed >> 8) / double(1u << 24) - 0.5) * 0.001;
    };
    const double t0 = 5000.0, micStart = t0 + 0.5031, micBlock = 0.01 / (1 + ppm * 1e-6);
    std::vector<double> sysClicks, micClicks;  // true host seconds
    double origin = 0;
    ClockRun run;
    const double cpu0 = cpuSeconds(RUSAGE_SELF);
    {
        auto writer = std::make_shared<WAVWriter>(path.string(), 16000);
        Mixer mixer(writer);
        std::uint64_t ks = 0, km = 0;
        while (ks < blocks) {
            const double sysTrue = t0 + double(ks) * 0.01, micTrue = micStart + double(km) * micBlock;
            const bool isSys = sysTrue <= micTrue;
            const std::uint64_t k = isSys ? ks++ : km++;
            auto b = pcm::Buffer::make(isSys ? sysFormat : micFormat, kBlock);
            b->setFrameLength(kBlock);
            float* data = b->floatChannelData()[0];
            std::fill(data, data + kBlock * (isSys ? 2 : 1), 0.0f);
            if (k % 100 == 0) {
                if (isSys) data[0] = data[1] = 0.9f;
                else data[0] = -0.9f;
                (isSys ? sysClicks : micClicks).push_back(isSys ? sysTrue : micTrue);
            }
            const double stamp = (isSys ? sysTrue : micTrue) + jitter();
            // The timeline starts at the first block's stamp less its converter's delay.
            if (isSys && k == 0) origin = stamp - double(pcm::Converter::kDelayFrames) / 16000;
            mixer.ingest(std::move(b), isSys ? SourceKey::system : SourceKey::mic, stamp);
            if (k % 100 == 99) mixer.diagnostics();
        }
        mixer.finish();
        run.diagnostics = mixer.diagnostics();
    }
    run.cpu = cpuSeconds(RUSAGE_SELF) - cpu0;
    const auto file = readPcm16(path);
    // Where a click landed against where its true host time belongs, in samples.
    auto error = [&](double host, int sign) {
        const double expected = (host - origin) * 16000;
        const auto from = std::max<std::int64_t>(0, std::int64_t(expected) - 160);
        const auto to = std::min<std::int64_t>(std::int64_t(file.size()) - 1, std::int64_t(expected) + 160);
        std::int64_t best = from;
        for (std::int64_t i = from; i <= to; ++i)
            if (file[std::size_t(i)] * sign > file[std::size_t(best)] * sign) best = i;
        if (file[std::size_t(best)] * sign < 1000) run.missing += 1;
        return double(best) - expected;
    };
    std::size_t s = 0;
    for (double m : micClicks) {
        while (s + 1 < sysClicks.size() && sysClicks[s + 1] <= m) ++s;
        if (m - t0 < 30 || m - t0 > double(blocks) / 100 - 1) continue;  // lock; the last second
        // Clicks of the two sources passing over each other hide one another.
        if (m - sysClicks[s] < 0.02 || (s + 1 < sysClicks.size() && sysClicks[s + 1] - m < 0.02)) continue;
        run.offsets.push_back((error(m, -1) - error(sysClicks[s], 1)) / 16.0);
    }
    return run;
}

void printClockFigures(const std::filesystem::path& dir, std::uint64_t blocks, double ppm) {
    const ClockRun nominal = clockRun(dir / "nominal.wav", blocks, 0);
    const ClockRun drifting = clockRun(dir / "drifting.wav", blocks, ppm);
    for (const auto* r : {&nominal, &drifting}) {
        double sum = 0, worst = 0;
        for (double o : r->offsets) sum += o, worst = std::max(worst, std::abs(o));
        std::printf("clocks, microphone %+.0f ppm: click offset after 30 s: mean %+.3f ms, max |%.3f| ms over %zu clicks"
                    " (%d not found);",
                    r == &nominal ? 0.0 : ppm, r->offsets.empty() ? 0.0 : sum / double(r->offsets.size()), worst,
                    r->offsets.size(), r->missing);
        for (const auto& [key, value] : r->diagnostics)
            if (key != "limitedSamples") std::printf(" %s=%lld", key.c_str(), (long long)std::get<std::int64_t>(value.v));
        std::printf("\n");
    }
    const double hours = double(blocks) / 100 / 3600;
    std::printf("clocks, CPU s per audio hour: nominal %.3f, drifting %.3f, ratio %.3f (target <= 1.3)\n",
                nominal.cpu / hours, drifting.cpu / hours, drifting.cpu / nominal.cpu);
}

}  // namespace

int main(int argc, char** argv) {
    double hours = 1.0;
    bool withSox = true;
    if (const char* env = std::getenv("VELOMAR_BENCH_HOURS")) hours = std::atof(env);
    double ppm = 300;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--no-sox") == 0) withSox = false;
        else if (std::strcmp(argv[i], "--ppm") == 0 && i + 1 < argc) ppm = std::atof(argv[++i]);
        else hours = std::atof(argv[i]);
    }
    if (!(hours > 0)) {
        std::printf("usage: pipeline_bench [hours] [--no-sox] [--ppm N]\n");
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
    double firstSystem = 0, firstMic = 0;
    double captureCpu = 0;  // the capture side: copy into a fresh buffer and ingest
    // Allocations are counted from the first minute on, when every buffer has its size.
    const std::uint64_t kSteadyFrom = std::min<std::uint64_t>(6000, blocks / 2);
    std::uint64_t steadyAllocations = 0;
    Fields diagnostics;
    std::uint32_t dataBytes = 0;
    {
        auto writer = std::make_shared<WAVWriter>((dir / "ours.wav").string(), 16000);
        Mixer mixer(writer);
        const double t0 = 5000.0;
        for (std::uint64_t k = 0; k < blocks; ++k) {
            // The capture side is timed on one block in 100: a clock reading costs about
            // as much as what it would time.
            const bool timed = k % 100 == 50;
            const double c0 = timed ? threadCpuSeconds() : 0;
            if (k == kSteadyFrom) steadyAllocations = gAllocations.load();
            // What a capture callback does: copy into a fresh buffer, hand it over.
            tUncounted = true;
            auto sys = pcm::Buffer::make(sysFormat, kBlock);
            auto mic = pcm::Buffer::make(micFormat, kBlock);
            tUncounted = false;
            std::memcpy(sys->floatChannelData()[0], pool.system[k % kPoolBlocks].data(), kBlock * 2 * sizeof(float));
            sys->setFrameLength(kBlock);
            const double sysTime = t0 + double(k) * 0.01 + jitter();
            if (k == 0) firstSystem = sysTime;
            mixer.ingest(std::move(sys), SourceKey::system, sysTime);
            std::memcpy(mic->floatChannelData()[0], pool.mic[k % kPoolBlocks].data(), kBlock * sizeof(float));
            mic->setFrameLength(kBlock);
            const double micTime = t0 + 0.0031 + double(k) * 0.01 + jitter();
            if (k == 0) firstMic = micTime;
            mixer.ingest(std::move(mic), SourceKey::mic, micTime);
            if (timed) captureCpu += threadCpuSeconds() - c0;
            // Audio arrives in real time, so the queue never holds much; wait for it each
            // second of audio instead of flooding it.
            if (k % 100 == 99) mixer.diagnostics();
        }
        mixer.diagnostics();
        steadyAllocations = gAllocations.load() - steadyAllocations;
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
    std::printf("capture side: %.2f us CPU per buffer (copy into a fresh buffer and ingest)\n",
                captureCpu / double(2 * ((blocks + 49) / 100)) * 1e6);
    std::printf("peak RSS: %.1f MiB\n", rss);
    // diagnostics(), called once per 100 blocks to pace the queue, builds its field list:
    // about 7 allocations, 0.035 per buffer of this figure.
    std::printf("heap allocations per buffer in steady state: %.4f (%llu over %llu buffers, with the pacing"
                " diagnostics() calls)\n",
                double(steadyAllocations) / double(2 * (blocks - kSteadyFrom)), (unsigned long long)steadyAllocations,
                (unsigned long long)(2 * (blocks - kSteadyFrom)));

    if (withSox) {
        {
            FloatWav sysWav((dir / "sys.wav").string(), 2), micWav((dir / "mic.wav").string(), 1);
            // The mixer put the microphone where its first host time says, a little after
            // the system audio; start sox's copy as late, so that the outputs compare.
            const auto micLead = std::int64_t((firstMic - firstSystem) * 16000);
            if (micLead > 0) micWav.append(std::vector<float>(std::size_t(micLead) * 3, 0.0f));
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
            // Same mix? Ours runs kDelayFrames behind the input; sox does not.
            const auto ours = readPcm16(dir / "ours.wav"), theirs = readPcm16(dir / "out.wav");
            const std::size_t shift = pcm::Converter::kDelayFrames;
            double diff = 0, power = 0;
            for (std::size_t i = 1000; i + shift < ours.size() && i < theirs.size(); ++i) {
                const double d = double(ours[i + shift]) - double(theirs[i]);
                diff += d * d;
                power += double(theirs[i]) * double(theirs[i]);
            }
            if (power > 0)
                std::printf("difference to the sox output: %.1f dB below its level\n",
                            -10 * std::log10(std::max(diff, 1e-30) / power));
        }
    }
    printClockFigures(dir, blocks, ppm);
    std::filesystem::remove_all(dir);
    return 0;
}
