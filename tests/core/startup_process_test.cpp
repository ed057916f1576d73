// The recorder as a process on the simulated machine: exit statuses, event order on
// stdout and the stop sources, for the recording start-up and the stream-capture engine.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/channel_layout.h"
#include "core/wav_writer.h"
#include "support/event_schema.h"
#include "support/json_lines.h"
#include "support/process.h"
#include "support/temp_dir.h"
#include "support/wav_samples.h"

namespace {

using json = nlohmann::json;
using velomar::testing::ChildProcess;

// One run of the test program on a machine described by a scenario.
class SimRun {
public:
    SimRun(const std::string& scenario, const std::vector<std::string>& args) {
        const std::string path = dir_.file("machine.scenario");
        std::ofstream(path) << scenario;
        std::vector<std::string> argv{VELOMAR_SIM_BINARY};
        argv.insert(argv.end(), args.begin(), args.end());
        // The child takes the environment as it is at the spawn.
        ::setenv("VELOMAR_SIM_SCENARIO", path.c_str(), 1);
        child_.emplace(argv);
        ::unsetenv("VELOMAR_SIM_SCENARIO");
    }
    ~SimRun() { velomar::testing::expectEventTextMatchesSchema(child_->stdoutText()); }

    void send(const std::string& line) { EXPECT_TRUE(child_->writeStdin(line + "\n")); }
    void signal(int sig) { child_->sendSignal(sig); }

    // The first event of that name, waiting up to `seconds` (or until the process ends).
    std::optional<json> waitFor(const std::string& name, double seconds = 15) {
        // The predicate runs under the helper's lock: it may only look at the text.
        child_->waitForStdout([&](const std::string& text) { return find(eventsIn(text), name).has_value(); },
                              std::chrono::milliseconds(static_cast<long>(seconds * 1000)));
        return find(events(), name);
    }

    // Exit status once the process ended by itself; -1 when it had to be killed.
    int waitExit(double seconds = 20) {
        auto status = child_->wait(std::chrono::milliseconds(static_cast<long>(seconds * 1000)));
        if (!status) return -1;
        // Nothing but events on stdout, nothing at all on stderr.
        velomar::testing::parseJsonLines(child_->stdoutText());
        EXPECT_EQ(child_->stderrText(), "");
        return status->exited ? status->code : -1;
    }

    // Every whole line so far.
    std::vector<json> events() const { return eventsIn(child_->stdoutText()); }
    static std::vector<json> eventsIn(std::string text) {
        text.erase(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
        std::vector<json> out;
        std::size_t start = 0;
        for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
            json event = json::parse(text.substr(start, end - start), nullptr, false);
            out.push_back(event.is_discarded() ? json{{"event", "<not json>"}} : event);
        }
        return out;
    }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& event : events()) out.push_back(event.value("event", ""));
        return out;
    }
    // Names without the periodic "levels" events.
    std::vector<std::string> namesWithoutLevels() const {
        auto out = names();
        out.erase(std::remove(out.begin(), out.end(), "levels"), out.end());
        return out;
    }
    std::string transcript() const { return child_->stdoutText() + child_->stderrText(); }

private:
    static std::optional<json> find(const std::vector<json>& events, const std::string& name) {
        for (const auto& event : events) {
            if (event.value("event", "") == name) return event;
        }
        return std::nullopt;
    }

    velomar::testing::TempDir dir_;
    std::optional<ChildProcess> child_;
};

class StartupProcess : public ::testing::Test {
protected:
    velomar::testing::TempDir dir;
    std::string out = dir.file("out.wav");

    std::vector<std::string> args(std::vector<std::string> extra = {}) {
        std::vector<std::string> all{"--out", out};
        for (auto& arg : extra) all.push_back(std::move(arg));
        return all;
    }

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

// --channels 2 with either engine: the simulated microphone (330 Hz) in channel 1, the
// system audio (440 Hz) in channel 2, whole frames under a two-channel header, and
// "seconds" counting frames. The simulated devices stamp their buffers with the time
// they were sent, so on a loaded machine the timeline resyncs now and then; the levels
// are therefore checked loosely here (the mixer's tests check them exactly).
TEST_F(StartupProcess, TwoChannelsKeepTheSidesApartWithEitherEngine) {
    struct Case {
        const char* engine;
        std::string machine;
    };
    const Case cases[] = {
        {"tap", kMicMachine + kDisplay + "tap-audio 480 10\n"},
        {"sck", kDisplay + "audio system 48000 2 480 10\naudio mic 48000 1 480 10\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.engine);
        SimRun run(c.machine, args({"--engine", c.engine, "--channels", "2"}));
        auto started = run.waitFor("started");
        ASSERT_TRUE(started) << run.transcript();
        EXPECT_EQ((*started)["engine"], c.engine);
        std::this_thread::sleep_for(std::chrono::milliseconds(2000));
        run.send("stop");
        auto stopped = run.waitFor("stopped");
        ASSERT_TRUE(stopped) << run.transcript();
        EXPECT_EQ(run.waitExit(), 0);

        const auto samples = velomar::testing::wavSamples(out);
        ASSERT_EQ(samples.size() % 2, 0u);
        const auto frames = samples.size() / 2;
        ASSERT_GT(frames, 16000u) << run.transcript();
        const auto header = velomar::WAVWriter::header(16000, std::uint32_t(frames * 4), velomar::ChannelLayout::split);
        std::ifstream in(out, std::ios::binary);
        std::vector<char> written(44);
        in.read(written.data(), 44);
        EXPECT_TRUE(std::equal(header.begin(), header.end(), written.begin(),
                               [](std::uint8_t a, char b) { return a == std::uint8_t(b); }));
        EXPECT_EQ((*stopped)["seconds"], frames / 16000);

        // One second in the middle, whole cycles of both tones.
        const auto mic = velomar::testing::channelSamples(samples, 2, 0);
        const auto system = velomar::testing::channelSamples(samples, 2, 1);
        const std::size_t from = frames / 2 - 8000, to = from + 16000;
        const double mic330 = velomar::testing::toneLevel(mic, from, to, 330);
        const double system440 = velomar::testing::toneLevel(system, from, to, 440);
        EXPECT_GT(mic330, 0.1);
        EXPECT_GT(system440, 0.1);
        EXPECT_LT(velomar::testing::toneLevel(mic, from, to, 440), mic330 / 10);
        EXPECT_LT(velomar::testing::toneLevel(system, from, to, 330), system440 / 10);
    }
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
