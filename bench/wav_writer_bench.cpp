// Cost of the WAV writer and of event serialisation; prints figures, asserts nothing.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "core/events.h"
#include "core/wav_writer.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// One hour of 16 kHz audio in the mixer's half-second flushes.
void writerRun(const char* name, float amplitude) {
    constexpr std::size_t kChunk = 8000;
    constexpr std::size_t kChunks = 2 * 3600;
    std::vector<float> chunk(kChunk);
    for (std::size_t i = 0; i < kChunk; ++i)
        chunk[i] = amplitude * static_cast<float>(std::sin(2.0 * M_PI * 440.0 * static_cast<double>(i) / 16000.0));
    velomar::WAVWriter writer("/dev/null", 16000);
    const auto start = Clock::now();
    for (std::size_t i = 0; i < kChunks; ++i) writer.write(chunk);
    writer.finalize();
    const double seconds = secondsSince(start);
    const double samples = static_cast<double>(kChunk * kChunks);
    std::printf("wav write %-22s %8.2f ns/sample  %8.0fx real time  limited %lld\n", name,
                seconds * 1e9 / samples, samples / 16000.0 / seconds,
                static_cast<long long>(writer.limitedSamples()));
}

double cpuSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

struct Cost {
    double cpu = 1e9;
    double wall = 1e9;
};

// Ten minutes of speech-level audio in the mixer's 10 ms flushes, to a real file, with the
// header kept current while recording (rewrite once a second of audio, fdatasync every
// fourth) or only at the end; the best of a few alternating rounds of each. Both end with
// the file on the disk (one fdatasync after finalize): the data has to get there either
// way, and writing it back is work the kernel charges to whoever starts it.
void liveHeaderRun() {
    constexpr std::size_t kChunk = 160;
    constexpr std::size_t kChunks = 100 * 600;
    std::vector<float> chunk(kChunk);
    for (std::size_t i = 0; i < kChunk; ++i)
        chunk[i] = 0.3f * static_cast<float>(std::sin(2.0 * M_PI * 440.0 * static_cast<double>(i) / 16000.0));
    const char* tmp = std::getenv("TMPDIR");
    const std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/wav_writer_bench-" + std::to_string(::getpid()) + ".wav";
    Cost costs[2];
    for (int round = 0; round < 4; ++round) {
        for (int live = 0; live < 2; ++live) {
            velomar::WAVWriter writer(path, 16000);
            writer.setLiveHeader(live == 1);
            const double cpu = cpuSeconds();
            const auto start = Clock::now();
            for (std::size_t i = 0; i < kChunks; ++i) writer.write(chunk);
            writer.finalize();
            const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd >= 0) {
                ::fdatasync(fd);
                ::close(fd);
            }
            costs[live].cpu = std::min(costs[live].cpu, cpuSeconds() - cpu);
            costs[live].wall = std::min(costs[live].wall, secondsSince(start));
        }
    }
    ::unlink(path.c_str());
    const double audio = static_cast<double>(kChunk * kChunks) / 16000.0;
    std::printf("live header, 10 min in 10 ms writes to %s:\n", path.c_str());
    std::printf("  header at the end only   CPU %6.1f us per audio second   wall %6.1f us\n", costs[0].cpu / audio * 1e6,
                costs[0].wall / audio * 1e6);
    std::printf("  header kept current      CPU %6.1f us per audio second   wall %6.1f us\n", costs[1].cpu / audio * 1e6,
                costs[1].wall / audio * 1e6);
    std::printf("  extra: CPU %+.1f %%, wall %+.1f %% (wall includes waiting for the disk in fdatasync)\n",
                (costs[1].cpu / costs[0].cpu - 1) * 100, (costs[1].wall / costs[0].wall - 1) * 100);
}

void eventLineRun() {
    constexpr int kLines = 200000;
    const velomar::Fields fields = {{"out", "/tmp/recordings/call-2024.wav"}, {"seconds", 3600},
                                    {"resyncs", 0},  {"clockClamps", 0}, {"silenceInsertedSamples", 1234},
                                    {"samplesDropped", 0}, {"limitedSamples", 17}, {"samplesNotWritten", 0},
                                    {"reason", "stdin"}};
    std::size_t bytes = 0;
    const auto start = Clock::now();
    for (int i = 0; i < kLines; ++i) bytes += velomar::eventLine("stopped", fields).size();
    const double seconds = secondsSince(start);
    std::printf("eventLine \"stopped\"            %8.0f ns/line   (%zu bytes)\n", seconds * 1e9 / kLines,
                bytes / kLines);
}

}  // namespace

int main() {
    writerRun("speech level (0.3)", 0.3f);
    writerRun("hot sine (3.0)", 3.0f);
    liveHeaderRun();
    eventLineRun();
    return 0;
}
