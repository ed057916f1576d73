// Cost of the WAV writer and of event serialisation; prints figures, asserts nothing.
#include <chrono>
#include <cmath>
#include <cstdio>
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

void eventLineRun() {
    constexpr int kLines = 200000;
    const velomar::Fields fields = {{"out", "/tmp/recordings/call-2024.wav"}, {"seconds", 3600},
                                    {"resyncs", 0},  {"clockClamps", 0}, {"silenceInsertedSamples", 1234},
                                    {"samplesDropped", 0}, {"limitedSamples", 17}, {"reason", "stdin"}};
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
    eventLineRun();
    return 0;
}
