#include "core/wav_writer.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/mount.h>
#include <sys/wait.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <thread>
#include <vector>

#include "core/capture_error.h"
#include "support/temp_dir.h"

namespace velomar {
namespace {

std::vector<std::uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::uint32_t u32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 | std::uint32_t(b[at + 2]) << 16 |
           std::uint32_t(b[at + 3]) << 24;
}
std::uint16_t u16(const std::vector<std::uint8_t>& b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}
std::int16_t sampleAt(const std::vector<std::uint8_t>& b, std::size_t index) {
    return static_cast<std::int16_t>(u16(b, 44 + 2 * index));
}

// The file is a WAV whose header describes exactly the bytes that follow it.
void expectTruthfulFile(const std::vector<std::uint8_t>& file, std::uint32_t dataBytes) {
    ASSERT_EQ(file.size(), 44u + dataBytes);
    EXPECT_EQ(u32(file, 4), 36u + dataBytes);
    EXPECT_EQ(u32(file, 40), dataBytes);
}

TEST(WAVWriterTest, HeaderLayout) {
    const auto h = WAVWriter::header(16000, 0);
    const std::vector<std::uint8_t> b(h.begin(), h.end());
    EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "RIFF");
    EXPECT_EQ(u32(b, 4), 36u);
    EXPECT_EQ(std::string(b.begin() + 8, b.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(u32(b, 16), 16u);
    EXPECT_EQ(u16(b, 20), 1u);      // integer PCM
    EXPECT_EQ(u16(b, 22), 1u);      // mono
    EXPECT_EQ(u32(b, 24), 16000u);
    EXPECT_EQ(u32(b, 28), 32000u);  // byte rate
    EXPECT_EQ(u16(b, 32), 2u);      // block align
    EXPECT_EQ(u16(b, 34), 16u);
    EXPECT_EQ(std::string(b.begin() + 36, b.begin() + 40), "data");
    EXPECT_EQ(u32(b, 40), 0u);

    const auto big = WAVWriter::header(48000, WAVWriter::kMaxDataBytes);
    const std::vector<std::uint8_t> g(big.begin(), big.end());
    EXPECT_EQ(u32(g, 4), 0xFFFFFFFEu);
    EXPECT_EQ(u32(g, 28), 96000u);
    EXPECT_EQ(u32(g, 40), WAVWriter::kMaxDataBytes);
}

TEST(WAVWriterTest, SizeLimitIsTheLargestEvenSizeWhoseRiffSizeFits) {
    constexpr std::uint64_t limit = WAVWriter::kMaxDataBytes;
    static_assert(limit % 2 == 0);
    static_assert(36 + limit <= std::numeric_limits<std::uint32_t>::max());
    static_assert(36 + limit + 2 > std::numeric_limits<std::uint32_t>::max());
}

TEST(WAVWriterTest, ConversionTableHoldsInTheFile) {
    const float inf = std::numeric_limits<float>::infinity();
    struct Row {
        float in;
        std::int16_t out;
        bool counted;
    };
    const Row rows[] = {
        {0.0f, 0, false},         {0.25f, 8191, false},     {0.5f, 16383, false},    {-0.5f, -16383, false},
        {0.9f, 29490, false},     {-0.9f, -29490, false},   {0.95f, 31004, true},    {1.0f, 31985, true},
        {-1.0f, -31985, true},    {1.5f, 32766, true},      {1.7f, 32767, true},     {2.0f, 32767, true},
        {-2.0f, -32767, true},    {1e30f, 32767, true},     {inf, 0, true},          {-inf, 0, true},
        {std::numeric_limits<float>::quiet_NaN(), 0, false},
    };
    testing::TempDir dir;
    const std::string path = dir.file("table.wav");
    std::vector<float> input;
    std::int64_t counted = 0;
    for (const Row& row : rows) {
        input.push_back(row.in);
        counted += row.counted;
        bool limited = true;
        EXPECT_EQ(WAVWriter::softLimitToInt16(row.in, limited), row.out) << row.in;
        EXPECT_EQ(limited, row.counted) << row.in;
    }
    WAVWriter writer(path, 16000);
    writer.write(input);
    EXPECT_EQ(writer.limitedSamples(), counted);
    writer.finalize();
    const auto file = readFile(path);
    expectTruthfulFile(file, static_cast<std::uint32_t>(2 * input.size()));
    for (std::size_t i = 0; i < std::size(rows); ++i) EXPECT_EQ(sampleAt(file, i), rows[i].out) << rows[i].in;
}

TEST(WAVWriterTest, KneeIsContinuousAndNeverLeavesTheRange) {
    bool limited = false;
    std::int16_t previous = WAVWriter::softLimitToInt16(0.8f, limited);
    for (float x = 0.8f; x < 3.0f; x += 0.0001f) {
        const std::int16_t y = WAVWriter::softLimitToInt16(x, limited);
        EXPECT_GE(y, previous) << x;  // monotonic, no jump down at the knee
        EXPECT_LE(y - previous, 4) << x;
        EXPECT_EQ(WAVWriter::softLimitToInt16(-x, limited), -y) << x;
        previous = y;
    }
    EXPECT_EQ(previous, 32767);
}

TEST(WAVWriterTest, HeaderCountsEveryCall) {
    testing::TempDir dir;
    const std::string path = dir.file("calls.wav");
    WAVWriter writer(path, 16000);
    expectTruthfulFile(readFile(path), 0);  // the provisional header is there at once

    const std::vector<float> a(1000, 0.1f), b(1, -0.1f), c(4567, 0.2f);
    writer.write(a);
    writer.write({});
    writer.write(b);
    writer.write(c);
    const std::uint32_t n = 1000 + 1 + 4567;
    EXPECT_EQ(writer.dataBytes(), 2 * n);

    const auto before = readFile(path);
    ASSERT_EQ(before.size(), 44u + 2 * n);
    EXPECT_LE(u32(before, 40), 2 * n);  // while recording it never claims more than is there

    writer.finalize();
    const auto file = readFile(path);
    expectTruthfulFile(file, 2 * n);
    EXPECT_EQ(sampleAt(file, 1000), static_cast<std::int16_t>(-0.1f * 32767.0f));
}

TEST(WAVWriterTest, NoSamplesGiveA44ByteFile) {
    testing::TempDir dir;
    const std::string path = dir.file("empty.wav");
    WAVWriter writer(path, 16000);
    writer.finalize();
    expectTruthfulFile(readFile(path), 0);
}

TEST(WAVWriterTest, ExistingFileIsEmptied) {
    testing::TempDir dir;
    const std::string path = dir.file("old.wav");
    std::ofstream(path) << std::string(100000, 'z');
    WAVWriter writer(path, 16000);
    expectTruthfulFile(readFile(path), 0);
}

TEST(WAVWriterTest, PathsThatCannotBeOpenedThrowTheMessage) {
    testing::TempDir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string paths[] = {
        dir.file("missing/a.wav"),
        dir.path().string(),  // a directory
        fifo,                 // no reader: must fail at once, not hang
        "",
    };
    for (const std::string& path : paths) {
        try {
            WAVWriter writer(path, 16000);
            ADD_FAILURE() << "opened " << path;
        } catch (const CaptureError& error) {
            EXPECT_EQ(error.kind(), CaptureError::Kind::io);
            EXPECT_EQ(error.message(), "cannot open " + path + " for writing");
        }
    }
}

TEST(WAVWriterTest, ReadOnlyDirectoryThrows) {
    if (::geteuid() == 0) GTEST_SKIP() << "root ignores directory permissions";
    testing::TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0500), 0);
    const std::string path = dir.file("a.wav");
    EXPECT_THROW(WAVWriter(path, 16000), CaptureError);
    ::chmod(dir.path().c_str(), 0700);
}

TEST(WAVWriterTest, DeviceThatFailsEveryWriteKeepsCountersAtZero) {
    if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no writable /dev/full";
    WAVWriter writer("/dev/full", 16000);
    writer.write(std::vector<float>(1000, 0.5f));
    writer.write(std::vector<float>(10, 0.5f));
    EXPECT_EQ(writer.dataBytes(), 0u);
    EXPECT_EQ(writer.samplesNotWritten(), 1010);
    writer.finalize();
}

std::vector<std::uint8_t> headerOnDisk(const std::string& path) {
    auto file = readFile(path);
    file.resize(44);
    return file;
}

// In 10 ms calls as the mixer makes them: the header on disk never claims more than the
// file holds and never lags it by a second of audio or more.
TEST(WAVWriterTest, HeaderStaysCurrentWhileRecording) {
    testing::TempDir dir;
    const std::string path = dir.file("live.wav");
    WAVWriter writer(path, 16000);
    const std::vector<float> block(160, 0.25f);
    std::uint32_t lastSize = 0;
    for (int i = 0; i < 350; ++i) {
        writer.write(block);
        const auto h = headerOnDisk(path);
        const std::uint32_t size = u32(h, 40);
        ASSERT_EQ(u32(h, 4), 36u + size);
        ASSERT_LE(size, writer.dataBytes());
        ASSERT_LT(writer.dataBytes() - size, 32000u) << "after " << i + 1 << " blocks";
        ASSERT_GE(size, lastSize);
        lastSize = size;
    }
}

// What an ordinary WAV reader makes of a file, in frames; -1 when it cannot read it.
long long readerFrames(const std::string& command) {
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return -1;
    char line[128] = {};
    const bool got = std::fgets(line, sizeof line, p) != nullptr;
    const int status = ::pclose(p);
    if (!got || status != 0) return -1;
    return std::atoll(line);
}

bool haveCommand(const char* name) { return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0; }

// A recorder killed with SIGKILL (OOM kill, crash) never finalises: its file must still read
// as a WAV holding all but at most the last second, with Python's wave module and with sox.
TEST(WAVWriterTest, KilledWriterLeavesAFileThatReadersRead) {
    if (!haveCommand("python3") || !haveCommand("soxi")) GTEST_SKIP() << "needs python3 and soxi (sox) to read the file";
    testing::TempDir dir;
    const std::string path = dir.file("killed.wav");
    constexpr int kBlocks = 350;  // 3.5 s of audio in 10 ms calls
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(ready[0]);
        WAVWriter writer(path, 16000);
        const std::vector<float> block(160, 0.25f);
        for (int i = 0; i < kBlocks; ++i) writer.write(block);
        [[maybe_unused]] const auto n = ::write(ready[1], "x", 1);
        for (;;) ::pause();
    }
    ::close(ready[1]);
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ::close(ready[0]);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));

    const long long written = kBlocks * 160;
    const long long python = readerFrames("python3 -c 'import sys, wave; print(wave.open(sys.argv[1]).getnframes())' " + path);
    const long long sox = readerFrames("soxi -s " + path + " 2>/dev/null");
    std::printf("killed after %lld samples: python wave reads %lld, sox reads %lld\n", written, python, sox);
    for (long long frames : {python, sox}) {
        EXPECT_LE(frames, written);
        EXPECT_GT(frames, written - 16000);
    }
}

// A full disk: what does not fit is counted, and the header states what is there.
TEST(WAVWriterTest, FullFileSystemCountsSamplesNotWritten) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
    testing::TempDir dir;
    const std::string mountPoint = dir.path().string();
    if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=64k") != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    }
    struct Unmount {
        std::string at;
        ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } unmount{mountPoint};
    const std::string path = mountPoint + "/full.wav";
    WAVWriter writer(path, 16000);
    const std::vector<float> block(8000, 0.25f);
    for (int i = 0; i < 10; ++i) writer.write(block);  // 160 kB into 64 kB
    const std::int64_t written = writer.dataBytes() / 2;
    EXPECT_GT(written, 0);
    EXPECT_GT(writer.samplesNotWritten(), 0);
    EXPECT_EQ(written + writer.samplesNotWritten(), 10 * 8000);
    std::printf("64 KiB tmpfs: %lld samples written, samplesNotWritten %lld\n", static_cast<long long>(written),
                static_cast<long long>(writer.samplesNotWritten()));
    const auto live = headerOnDisk(path);
    EXPECT_EQ(u32(live, 40), writer.dataBytes());  // rewritten at the failure
    writer.finalize();
    expectTruthfulFile(readFile(path), writer.dataBytes());
}

// Limits the size of files this process writes; a write past it fails with EFBIG.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        previous_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        ok_ = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previous_);
    }
    bool ok() const { return ok_; }

private:
    rlimit saved_{};
    void (*previous_)(int) = nullptr;
    bool ok_ = false;
};

TEST(WAVWriterTest, ShortWriteThenFailureKeepsOnlyWholeSamples) {
    testing::TempDir dir;
    const std::string path = dir.file("full.wav");
    {
        // Room for the header, 10 samples and one byte: the write is cut mid-sample.
        WAVWriter writer(path, 16000);
        FileSizeLimit limit(44 + 2 * 10 + 1);
        ASSERT_TRUE(limit.ok());
        writer.write(std::vector<float>(4, 0.5f));
        writer.write(std::vector<float>(100, 0.25f));
        EXPECT_EQ(writer.dataBytes(), 20u);
        writer.write(std::vector<float>(3, 0.5f));  // after a failure nothing is appended
        EXPECT_EQ(writer.dataBytes(), 20u);
        EXPECT_EQ(writer.samplesNotWritten(), 4 + 100 + 3 - 10);
        writer.finalize();
    }
    const auto file = readFile(path);
    expectTruthfulFile(file, 20);
    EXPECT_EQ(sampleAt(file, 3), 16383);
    EXPECT_EQ(sampleAt(file, 4), 8191);
    EXPECT_EQ(sampleAt(file, 9), 8191);
}

TEST(WAVWriterTest, SamplesPastTheSizeLimitAreRefused) {
    testing::TempDir dir;
    const std::string path = dir.file("limit.wav");
    WAVWriter writer(path, 16000, 11);  // an odd limit rounds down to whole samples
    writer.write(std::vector<float>(3, 0.5f));
    writer.write(std::vector<float>{0.25f, 0.25f, 0.95f, 0.95f});
    EXPECT_EQ(writer.dataBytes(), 10u);
    EXPECT_EQ(writer.limitedSamples(), 0);  // refused samples are not counted
    writer.write(std::vector<float>(5, 0.5f));
    EXPECT_EQ(writer.dataBytes(), 10u);
    EXPECT_EQ(writer.samplesNotWritten(), 3 + 4 + 5 - 5);
    writer.finalize();
    const auto file = readFile(path);
    expectTruthfulFile(file, 10);
    EXPECT_EQ(sampleAt(file, 2), 16383);
    EXPECT_EQ(sampleAt(file, 4), 8191);
}


// ---- two channels: microphone and system audio apart ------------------------------

TEST(WAVWriterTest, HeaderArithmeticFollowsTheLayout) {
    struct Row {
        ChannelLayout layout;
        std::uint16_t channels, blockAlign;
        std::uint32_t byteRate;
    };
    const Row rows[] = {{ChannelLayout::mix, 1, 2, 32000}, {ChannelLayout::split, 2, 4, 64000}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.channels);
        const auto h = WAVWriter::header(16000, 4000, row.layout);
        const std::vector<std::uint8_t> b(h.begin(), h.end());
        EXPECT_EQ(u32(b, 4), 36u + 4000u);
        EXPECT_EQ(u16(b, 20), 1u);
        EXPECT_EQ(u16(b, 22), row.channels);
        EXPECT_EQ(u32(b, 24), 16000u);
        EXPECT_EQ(u32(b, 28), row.byteRate);
        EXPECT_EQ(u16(b, 32), row.blockAlign);
        EXPECT_EQ(u16(b, 34), 16u);
        EXPECT_EQ(u32(b, 40), 4000u);
    }
    EXPECT_EQ(WAVWriter::header(16000, 0), WAVWriter::header(16000, 0, ChannelLayout::mix));
}

// Frames of (microphone, system audio): each channel goes through the knee on its own,
// so one loud side neither pulls down nor counts for the other.
TEST(WAVWriterTest, TwoChannelFramesAreLimitedPerChannel) {
    testing::TempDir dir;
    const std::string path = dir.file("split.wav");
    WAVWriter writer(path, 16000, ChannelLayout::split);
    EXPECT_EQ(writer.layout(), ChannelLayout::split);
    expectTruthfulFile(readFile(path), 0);
    writer.write(std::vector<float>{0.25f, 1.0f, 0.95f, 0.5f, -1.0f, -2.0f});
    writer.write(std::vector<float>{0.5f, 0.5f, 0.95f});  // the odd sample is no frame
    EXPECT_EQ(writer.dataBytes(), 4u * 4u);
    EXPECT_EQ(writer.limitedSamples(), 4);
    writer.finalize();
    const auto file = readFile(path);
    expectTruthfulFile(file, 16);
    EXPECT_EQ(u16(file, 22), 2u);
    const std::int16_t expected[] = {8191, 31985, 31004, 16383, -31985, -32767, 16383, 16383};
    for (std::size_t i = 0; i < std::size(expected); ++i) EXPECT_EQ(sampleAt(file, i), expected[i]) << i;
}

TEST(WAVWriterTest, TwoChannelLimitsAndFailuresKeepWholeFrames) {
    testing::TempDir dir;
    {
        // A limit of 11 bytes holds two frames of 4; the rest is refused.
        const std::string path = dir.file("limit.wav");
        WAVWriter writer(path, 16000, ChannelLayout::split, 11);
        writer.write(std::vector<float>(6, 0.5f));
        writer.write(std::vector<float>(2, 0.95f));
        EXPECT_EQ(writer.dataBytes(), 8u);
        EXPECT_EQ(writer.limitedSamples(), 0);
        writer.finalize();
        expectTruthfulFile(readFile(path), 8);
    }
    {
        // Room for the header, three frames and one sample of the fourth: cut to three.
        const std::string path = dir.file("full.wav");
        WAVWriter writer(path, 16000, ChannelLayout::split);
        FileSizeLimit limit(44 + 4 * 3 + 2);
        ASSERT_TRUE(limit.ok());
        writer.write(std::vector<float>(10, 0.25f));
        EXPECT_EQ(writer.dataBytes(), 12u);
        writer.finalize();
        expectTruthfulFile(readFile(path), 12);
    }
}

TEST(WAVWriterTest, RecordedSecondsCountFramesNotSamples) {
    testing::TempDir dir;
    struct Row {
        ChannelLayout layout;
        std::size_t samples;
        std::int64_t seconds;
    };
    const Row rows[] = {
        {ChannelLayout::mix, 0, 0},           {ChannelLayout::mix, 31999, 1},
        {ChannelLayout::mix, 32000, 2},       {ChannelLayout::split, 31998, 0},
        {ChannelLayout::split, 32000, 1},     {ChannelLayout::split, 80000, 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.samples);
        WAVWriter writer(dir.file("seconds.wav"), 16000, row.layout);
        writer.write(std::vector<float>(row.samples, 0.1f));
        EXPECT_EQ(writer.recordedSeconds(), row.seconds);
    }
}

}  // namespace
}  // namespace velomar
