// The recorder as a process on the simulated machine: exit statuses, event order on
// stdout and the stop sources, for the recording start-up and the stream-capture engine.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

std::string tempPath(const std::string& name) {
    return (std::filesystem::temp_directory_path() /
            ("velomar_startup_" + std::to_string(::getpid()) + "_" + name))
        .string();
}

// One run of the test program with a scenario; stdout is read line by line as events.
class SimRun {
public:
    SimRun(const std::string& scenario, std::vector<std::string> args) {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        scenarioPath_ = tempPath(std::string(test->name()) + ".scenario");
        std::ofstream(scenarioPath_) << scenario;

        int in[2];
        int out[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, in[1]);
        posix_spawn_file_actions_addclose(&actions, out[0]);

        std::vector<std::string> argStore{VELOMAR_SIM_BINARY};
        for (auto& arg : args) argStore.push_back(arg);
        std::vector<char*> argv;
        for (auto& arg : argStore) argv.push_back(arg.data());
        argv.push_back(nullptr);
        std::vector<std::string> envStore;
        for (char** e = environ; *e; ++e) {
            if (std::string(*e).rfind("VELOMAR_SIM_SCENARIO=", 0) != 0) envStore.emplace_back(*e);
        }
        envStore.push_back("VELOMAR_SIM_SCENARIO=" + scenarioPath_);
        std::vector<char*> envp;
        for (auto& entry : envStore) envp.push_back(entry.data());
        envp.push_back(nullptr);

        const int rc = posix_spawn(&pid_, VELOMAR_SIM_BINARY, &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        if (rc != 0) throw std::runtime_error("spawn");
        stdin_ = in[1];
        reader_ = std::thread([this, fd = out[0]] { readEvents(fd); });
    }

    ~SimRun() {
        if (!status_) {
            ::kill(pid_, SIGKILL);
            waitExit(10);
        }
        closeStdin();
        if (reader_.joinable()) reader_.join();
        std::remove(scenarioPath_.c_str());
    }

    void send(const std::string& line) {
        const std::string text = line + "\n";
        ASSERT_EQ(::write(stdin_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void closeStdin() {
        if (stdin_ >= 0) ::close(stdin_);
        stdin_ = -1;
    }
    void signal(int sig) { ::kill(pid_, sig); }

    // The first event of that name, waiting up to `seconds`.
    std::optional<json> waitFor(const std::string& name, double seconds = 15) {
        std::unique_lock<std::mutex> lock(mutex_);
        std::optional<json> found;
        changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
            for (const auto& event : events_) {
                if (event.value("event", "") == name) {
                    found = event;
                    return true;
                }
            }
            return done_;
        });
        return found;
    }

    // Exit status after the process ended by itself (waits up to `seconds`); -1 if killed.
    int waitExit(double seconds = 20) {
        if (status_) return *status_;
        const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        for (;;) {
            int raw = 0;
            const pid_t done = ::waitpid(pid_, &raw, WNOHANG);
            if (done == pid_) {
                status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
                break;
            }
            if (Clock::now() > deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &raw, 0);
                status_ = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (reader_.joinable()) reader_.join();
        return *status_;
    }

    std::vector<json> events() {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    std::vector<std::string> names() {
        std::vector<std::string> out;
        for (const auto& event : events()) out.push_back(event.value("event", ""));
        return out;
    }
    // Names without the periodic "levels" events.
    std::vector<std::string> namesWithoutLevels() {
        std::vector<std::string> out;
        for (const auto& name : names()) {
            if (name != "levels") out.push_back(name);
        }
        return out;
    }
    std::string transcript() {
        std::string text;
        for (const auto& event : events()) text += event.dump() + "\n";
        return text;
    }

private:
    void readEvents(int fd) {
        std::string pending;
        char chunk[4096];
        for (;;) {
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n <= 0) break;
            pending.append(chunk, static_cast<std::size_t>(n));
            for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
                const std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                json event = json::parse(line, nullptr, false);
                if (event.is_discarded()) event = json{{"event", "<not json>"}, {"line", line}};
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    events_.push_back(std::move(event));
                }
                changed_.notify_all();
            }
        }
        ::close(fd);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        changed_.notify_all();
    }

    std::string scenarioPath_;
    pid_t pid_ = -1;
    int stdin_ = -1;
    std::optional<int> status_;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<json> events_;
    bool done_ = false;
};

class StartupProcess : public ::testing::Test {
protected:
    void SetUp() override {
        out = tempPath(std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".wav");
    }
    void TearDown() override { std::remove(out.c_str()); }

    std::vector<std::string> args(std::vector<std::string> extra = {}) {
        std::vector<std::string> all{"--out", out};
        for (auto& arg : extra) all.push_back(std::move(arg));
        return all;
    }

    std::string out;
};

// A machine on which the tap engine can start: one microphone, the default input.
const std::string kMicMachine =
    "device mic-1 1 48000 Desk Mic\n"
    "default-input mic-1\n";
const std::string kDisplay = "display 1 Built-in\n";

TEST_F(StartupProcess, TapStartOrderAndStop) {
    struct Case {
        std::vector<std::string> extra;
        std::vector<std::string> before;  // events before "started", levels aside
    };
    const std::vector<Case> cases = {
        {{}, {"mic-format"}},
        {{"--mic-device", "not-there"}, {"mic-device-missing", "mic-format"}},
    };
    for (const auto& c : cases) {
        SimRun run(kMicMachine + kDisplay + "tap-audio 480 10\n", args(c.extra));
        auto started = run.waitFor("started");
        ASSERT_TRUE(started) << run.transcript();
        EXPECT_EQ(*started, (json{{"event", "started"}, {"out", out}, {"engine", "tap"}}));
        auto names = run.namesWithoutLevels();
        std::vector<std::string> expected = c.before;
        expected.push_back("started");
        EXPECT_EQ(names, expected) << run.transcript();
        EXPECT_EQ((*run.waitFor("mic-format"))["reason"], "start");
        run.send("stop");
        auto stopped = run.waitFor("stopped");
        ASSERT_TRUE(stopped) << run.transcript();
        EXPECT_EQ((*stopped)["reason"], "stdin");
        EXPECT_EQ(run.waitExit(), 0);
    }
}

TEST_F(StartupProcess, TapFailingAtTheSystemTapFallsBackToStreamCapture) {
    SimRun run(kMicMachine + kDisplay + "fault deviceStart -50\ntap-audio 480 10\naudio system 48000 2 480 10\n",
               args());
    auto fallback = run.waitFor("engine-fallback");
    ASSERT_TRUE(fallback) << run.transcript();
    EXPECT_EQ((*fallback)["reason"], "AudioDeviceStart failed (OSStatus -50)");
    auto started = run.waitFor("started");
    ASSERT_TRUE(started) << run.transcript();
    EXPECT_EQ((*started)["engine"], "sck");
    // The levels timer went with the failed engine.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(run.namesWithoutLevels(), (std::vector<std::string>{"mic-format", "engine-fallback", "started"}));
    const auto names = run.names();
    const auto fallbackAt = std::find(names.begin(), names.end(), "engine-fallback");
    EXPECT_EQ(std::find(fallbackAt, names.end(), "levels"), names.end()) << run.transcript();
    run.signal(SIGTERM);
    auto stopped = run.waitFor("stopped");
    ASSERT_TRUE(stopped) << run.transcript();
    EXPECT_EQ((*stopped)["reason"], "signal");
    EXPECT_EQ(run.waitExit(), 0);
    EXPECT_GT(std::filesystem::file_size(out), 44u);
}

TEST_F(StartupProcess, EngineOtherThanTapStartsStreamCaptureDirectly) {
    // Microphone access denied: any authorisation step would fail and fall back.
    for (const std::string engine : {"sck", "Tap", "anything"}) {
        SCOPED_TRACE(engine);
        SimRun run(kMicMachine + kDisplay + "auth status 2\n", args({"--engine", engine}));
        auto started = run.waitFor("started");
        ASSERT_TRUE(started) << run.transcript();
        EXPECT_EQ(*started, (json{{"event", "started"}, {"out", out}, {"engine", "sck"}}));
        run.send("stop");
        ASSERT_TRUE(run.waitFor("stopped")) << run.transcript();
        EXPECT_EQ(run.waitExit(), 0);
        EXPECT_EQ(run.names(), (std::vector<std::string>{"started", "stopped"}));
    }
}

TEST_F(StartupProcess, NoDisplayIsAnErrorWithStatusOne) {
    SimRun run("", args({"--engine", "sck"}));
    EXPECT_EQ(run.waitExit(), 1);
    const auto events = run.events();
    ASSERT_EQ(events.size(), 1u) << run.transcript();
    EXPECT_EQ(events[0], (json{{"event", "error"},
                               {"message", "could not start capture: no display available to attach the audio capture to"}}));
}

TEST_F(StartupProcess, StopBeforeTheFirstStreamStartedFinalisesAtOnce) {
    SimRun run(kDisplay + "start-delay 60000\n", args({"--engine", "sck"}));
    run.send("stop");
    auto stopped = run.waitFor("stopped");
    ASSERT_TRUE(stopped) << run.transcript();
    EXPECT_EQ((*stopped)["reason"], "stdin");
    EXPECT_EQ((*stopped)["seconds"], 0);
    EXPECT_EQ(run.waitExit(), 0);
    EXPECT_EQ(run.names(), std::vector<std::string>{"stopped"});
}

TEST_F(StartupProcess, StopDuringTheBackoffUsesItsOwnReason) {
    SimRun run(kDisplay + "interrupt 1 100 The display went to sleep\n", args({"--engine", "sck"}));
    auto interrupted = run.waitFor("interrupted");
    ASSERT_TRUE(interrupted) << run.transcript();
    EXPECT_EQ((*interrupted)["reason"], "stream stopped: The display went to sleep");
    run.send("stop");  // well inside the 2 s pause
    auto stopped = run.waitFor("stopped");
    ASSERT_TRUE(stopped) << run.transcript();
    EXPECT_EQ((*stopped)["reason"], "stdin");
    EXPECT_EQ(run.waitExit(), 0);
    EXPECT_EQ(run.names(), (std::vector<std::string>{"started", "interrupted", "stopped"}));
}

TEST_F(StartupProcess, ThreeFailingAttemptsThenSuccessRestartsAsAttemptFour) {
    SimRun run(kDisplay +
                   "clock virtual 0.05 1\n"
                   "attempt ok\n"
                   "attempt fail start Stream failed to start\n"
                   "attempt fail content Content unavailable\n"
                   "attempt fail mic-output Microphone busy\n"
                   "attempt ok\n"
                   "interrupt 1 100 Stream interrupted\n"
                   "audio system 48000 2 480 10\n"
                   "audio mic 48000 1 480 10\n",
               args({"--engine", "sck"}));
    auto restarted = run.waitFor("restarted");
    ASSERT_TRUE(restarted) << run.transcript();
    EXPECT_EQ((*restarted)["attempt"], 4);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    run.send("stop");
    auto stopped = run.waitFor("stopped");
    ASSERT_TRUE(stopped) << run.transcript();
    EXPECT_EQ((*stopped)["reason"], "stdin");
    EXPECT_EQ(run.waitExit(), 0);
    EXPECT_EQ(run.names(), (std::vector<std::string>{"started", "interrupted", "restarted", "stopped"}));
    EXPECT_GT(std::filesystem::file_size(out), 44u);
}

TEST_F(StartupProcess, EveryAttemptFailingGivesUpAndExitsWithZero) {
    SimRun run(kDisplay +
                   "clock virtual 0.5 1\n"
                   "attempt ok\n"
                   "attempt-default fail start Stream failed to start\n"
                   "interrupt 1 100 Display disconnected\n",
               args({"--engine", "sck"}));
    auto stopped = run.waitFor("stopped", 60);
    ASSERT_TRUE(stopped) << run.transcript();
    EXPECT_EQ((*stopped)["reason"], "stream stopped and could not resume within 120s: Display disconnected");
    EXPECT_EQ(run.waitExit(), 0);
    EXPECT_EQ(run.names(), (std::vector<std::string>{"started", "interrupted", "stopped"}));
}

TEST_F(StartupProcess, InterruptionAfterAStopWasRequestedIsNotReported) {
    SimRun run(kDisplay + "stop-interrupts Stream stopped while stopping\nstop-delay 200\n", args({"--engine", "sck"}));
    ASSERT_TRUE(run.waitFor("started")) << run.transcript();
    run.send("stop");
    auto stopped = run.waitFor("stopped");
    ASSERT_TRUE(stopped) << run.transcript();
    EXPECT_EQ((*stopped)["reason"], "stdin");
    EXPECT_EQ(run.waitExit(), 0);
    EXPECT_EQ(run.names(), (std::vector<std::string>{"started", "stopped"}));
}

TEST_F(StartupProcess, ListDevicesReportsInputDevicesInOrder) {
    {
        SimRun run("", {"--list-devices"});
        EXPECT_EQ(run.waitExit(), 0);
        EXPECT_EQ(run.events(), (std::vector<json>{json{{"event", "devices"}, {"devices", json::array()}}}));
    }
    {
        SimRun run("device b-uid 2 48000 Second\ndevice a-uid 1 44100 First\ndefault-input a-uid\n",
                   {"--list-devices"});
        EXPECT_EQ(run.waitExit(), 0);
        const json expected = json::array({json{{"uid", "b-uid"}, {"name", "Second"}, {"isDefault", false}},
                                           json{{"uid", "a-uid"}, {"name", "First"}, {"isDefault", true}}});
        ASSERT_EQ(run.events().size(), 1u) << run.transcript();
        EXPECT_EQ(run.events()[0]["devices"], expected);
    }
}

}  // namespace
