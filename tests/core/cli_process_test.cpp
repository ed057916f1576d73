// The program as a controlling process sees it: arguments and stdin in, exit status and
// event lines out, nothing on stderr.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <thread>

#include "core/command_line.h"
#include "core/wav_writer.h"
#include "support/json_lines.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace velomar {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::SpawnOptions;
using testing::StdStream;

const std::string kBinary = VELOMAR_SIM_BINARY;

std::string expand(std::string text, const testing::TempDir& dir) {
    for (std::size_t at; (at = text.find("{dir}")) != std::string::npos;) text.replace(at, 5, dir.path().string());
    return text;
}

struct CliCase {
    const char* what;
    std::vector<std::string> args;  // "{dir}" stands for the run's empty working directory
    int status;
    std::string event;              // the one event expected; empty: the usage text
    std::string message = {};       // "message" of an "error" event
    std::vector<std::string> absent = {};  // files the run must not create
};

TEST(CliProcessTest, ArgumentCasesGiveStatusAndOneAnswer) {
    const CliCase cases[] = {
        {"no arguments", {}, 1, "error", "--out <path.wav> is required"},
        {"a bare last --out clears the path", {"--out", "a.wav", "--out"}, 1, "error",
         "--out <path.wav> is required", {"a.wav"}},
        {"--out takes --engine as its value", {"--out", "--engine", "sck"}, 1, "error", "unknown argument: sck",
         {"--engine"}},
        {"--engine alone still needs --out", {"--engine"}, 1, "error", "--out <path.wav> is required"},
        {"help stops parsing", {"--help", "--bogus"}, 0, ""},
        {"short help", {"-h"}, 0, ""},
        {"error before help", {"--bogus", "--help"}, 1, "error", "unknown argument: --bogus"},
        {"parsing ends before the device list", {"--list-devices", "--bogus"}, 1, "error",
         "unknown argument: --bogus"},
        {"device list creates no file", {"--list-devices", "--out", "x.wav"}, 0, "devices", "", {"x.wav"}},
        {"empty argument", {"--out", "a.wav", ""}, 1, "error", "unknown argument: ", {"a.wav"}},
        {"options are case-sensitive", {"--OUT", "a.wav"}, 1, "error", "unknown argument: --OUT"},
        {"bytes that are not UTF-8", {"--\xFF"}, 1, "error", "unknown argument: --\xEF\xBF\xBD"},
        {"missing directory", {"--out", "{dir}/no/such/a.wav"}, 1, "error",
         "cannot open {dir}/no/such/a.wav for writing"},
        {"a directory", {"--out", "{dir}"}, 1, "error", "cannot open {dir} for writing"},
        {"a FIFO nobody reads does not hang", {"--out", "{dir}/fifo"}, 1, "error",
         "cannot open {dir}/fifo for writing"},
        {"a channel count other than 1 or 2", {"--out", "a.wav", "--channels", "3"}, 1, "error",
         "invalid value for --channels: 3 (allowed: 1, 2)", {"a.wav"}},
        {"--channels without a value", {"--out", "a.wav", "--channels"}, 1, "error",
         "missing value for --channels (allowed: 1, 2)", {"a.wav"}},
        {"a bad channel count ends parsing", {"--channels", "mono", "--out", "a.wav", "--list-devices"}, 1,
         "error", "invalid value for --channels: mono (allowed: 1, 2)", {"a.wav"}},
        {"two channels with the device list", {"--list-devices", "--channels", "2", "--out", "x.wav"}, 0,
         "devices", "", {"x.wav"}},
        {"help is unchanged by --channels", {"--channels", "2", "--help"}, 0, ""},
    };
    for (const CliCase& c : cases) {
        SCOPED_TRACE(c.what);
        testing::TempDir dir;
        ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
        std::vector<std::string> argv{kBinary};
        for (const std::string& arg : c.args) argv.push_back(expand(arg, dir));
        SpawnOptions options;
        options.cwd = dir.path().string();
        const auto run = testing::runProcess(argv, {}, 30s, options);
        ASSERT_TRUE(run.status) << "did not end";
        EXPECT_TRUE(run.status->exitedWith(c.status)) << run.status->describe();
        EXPECT_EQ(run.err, "");
        if (c.event.empty()) {
            EXPECT_EQ(run.out, kUsageText);
        } else {
            const auto events = testing::parseEventLines(run.out);
            ASSERT_EQ(events.size(), 1u) << run.out;
            EXPECT_EQ(events[0].value("event", ""), c.event);
            if (c.event == "error") {
                EXPECT_EQ(events[0].value("message", ""), expand(c.message, dir));
            }
            if (c.event == "devices") {
                EXPECT_TRUE(events[0].at("devices").is_array());
            }
        }
        for (const std::string& name : c.absent) EXPECT_FALSE(std::filesystem::exists(dir.file(name))) << name;
    }
}

TEST(CliProcessTest, VersionIsTheProjectVersionAndEndsTheRun) {
    const std::vector<std::vector<std::string>> cases = {
        {"--version"},
        {"--version", "--bogus"},
        {"--out", "a.wav", "--version"},  // answered before any file exists
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(args.back());
        testing::TempDir dir;
        std::vector<std::string> argv{kBinary};
        argv.insert(argv.end(), args.begin(), args.end());
        SpawnOptions options;
        options.cwd = dir.path().string();
        const auto run = testing::runProcess(argv, {}, 30s, options);
        ASSERT_TRUE(run.status) << "did not end";
        EXPECT_TRUE(run.status->exitedWith(0)) << run.status->describe();
        EXPECT_EQ(run.out, "VelomarCapture " VELOMAR_PROJECT_VERSION "\n");
        EXPECT_EQ(run.err, "");
        EXPECT_FALSE(std::filesystem::exists(dir.file("a.wav")));
    }
}

// Waits until path holds at least size bytes.
bool waitForFileSize(const std::string& path, std::uintmax_t size) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    std::error_code error;
    while (std::chrono::steady_clock::now() < deadline) {
        if (std::filesystem::file_size(path, error) >= size && !error) return true;
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

std::vector<std::uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A stop request may end the run only through the stop path: exit 0, never the signal's
// default action.
void expectNotKilledBy(ChildProcess& child, int signalNumber) {
    child.sendSignal(signalNumber);
    if (const auto status = child.wait(1s)) {
        EXPECT_TRUE(status->exitedWith(0)) << status->describe();
    }
}

TEST(CliProcessTest, RecordingRunCreatesTheFileAndSurvivesEndOfInput) {
    testing::TempDir dir;
    const std::string path = dir.file("rec.wav");
    constexpr std::size_t kOldSize = 1 << 20;
    std::ofstream(path) << std::string(kOldSize, 'z');  // an old file is emptied
    ChildProcess child({kBinary, "--out", path});
    const auto provisional = WAVWriter::header(16000, 0);
    std::vector<std::uint8_t> file;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while ((file = readFile(path)).size() < 44 || file[0] != 'R') {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no header written";
        std::this_thread::sleep_for(5ms);
    }
    // The provisional header is there at once; the old bytes are gone.
    EXPECT_LT(file.size(), kOldSize);
    EXPECT_TRUE(std::equal(provisional.begin(), provisional.end(), file.begin()));

    child.closeStdin();  // end of input is not a stop
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(child.running());
    expectNotKilledBy(child, SIGTERM);
    expectNotKilledBy(child, SIGINT);
    EXPECT_EQ(child.stderrText(), "");
}

TEST(CliProcessTest, ClosedStandardDescriptorsAreNeverTheOutputFile) {
    testing::TempDir dir;
    const std::string path = dir.file("rec.wav");
    SpawnOptions options;
    options.in = options.out = options.err = StdStream::closed;
    ChildProcess child({kBinary, "--out", path}, options);
    ASSERT_TRUE(waitForFileSize(path, 44));
    const std::string fds = "/proc/" + std::to_string(child.pid()) + "/fd/";
    for (int fd = 0; fd <= 2; ++fd) {
        std::error_code error;
        EXPECT_EQ(std::filesystem::read_symlink(fds + std::to_string(fd), error), "/dev/null") << fd;
    }
    bool found = false;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(fds, error)) {
        std::error_code ignored;
        if (std::filesystem::read_symlink(entry.path(), ignored) == path) {
            found = true;
            EXPECT_GT(std::stoi(entry.path().filename().string()), 2);
        }
    }
    EXPECT_TRUE(found) << "output file not open in the child";
}

TEST(CliProcessTest, FileSizeLimitIsAWriteErrorNotAKill) {
    testing::TempDir dir;
    const std::string path = dir.file("rec.wav");
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 20;  // not even room for the header
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    std::optional<ChildProcess> child;
    try {
        child.emplace(std::vector<std::string>{kBinary, "--out", path});  // inherits the limit
    } catch (...) {
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ASSERT_TRUE(child);
    ASSERT_TRUE(waitForFileSize(path, 20));
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(child->running()) << "killed: " << child->wait(0ms)->describe();
    EXPECT_EQ(child->stderrText(), "");
}

TEST(CliProcessTest, UnwritableStdoutNeverKillsTheProcess) {
    struct Case {
        const char* what;
        std::vector<std::string> args;
        int status;
    };
    const Case cases[] = {
        {"error event", {"--bogus"}, 1},
        {"usage text", {"--help"}, 0},
        {"device list", {"--list-devices"}, 0},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv{kBinary};
        argv.insert(argv.end(), c.args.begin(), c.args.end());

        // A reader that has gone away: every write fails with EPIPE.
        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        ::close(fds[0]);
        SpawnOptions vanished;
        vanished.outFd = fds[1];
        const auto piped = testing::runProcess(argv, {}, 30s, vanished);
        ::close(fds[1]);

        SpawnOptions closed;
        closed.out = StdStream::closed;
        const auto noStdout = testing::runProcess(argv, {}, 30s, closed);

        SpawnOptions full;
        full.outFd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
        const auto diskFull = testing::runProcess(argv, {}, 30s, full);
        if (full.outFd >= 0) ::close(full.outFd);

        for (const auto* run : {&piped, &noStdout, &diskFull}) {
            SCOPED_TRACE(c.what);
            ASSERT_TRUE(run->status);
            EXPECT_TRUE(run->status->exitedWith(c.status)) << run->status->describe();
            EXPECT_EQ(run->err, "");
        }
    }
}

}  // namespace
}  // namespace velomar
