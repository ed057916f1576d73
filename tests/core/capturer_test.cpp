#include "core/capturer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/events.h"
#include "core/process_exit.h"
#include "core/wav_writer.h"
#include "platform/dispatch.h"
#include "platform/sim/sim_stream_capture.h"

namespace velomar {
namespace {

using json = nlohmann::json;
using platform::StreamOutputType;
using sim::AttemptOutcome;
using sim::FailStep;
using sim::SimSampleBuffer;

// Everything the engine reports, and every exit it asks for, seen from the test thread.
class Recorder {
public:
    void line(std::string_view text) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            events_.push_back(json::parse(text));
        }
        changed_.notify_all();
    }
    void exit(int status) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            exits_.push_back(status);
        }
        changed_.notify_all();
    }
    // The first event of that name, waiting up to 10 s for it.
    std::optional<json> waitFor(const std::string& name) {
        std::unique_lock<std::mutex> lock(mutex_);
        std::optional<json> found;
        changed_.wait_for(lock, std::chrono::seconds(10), [&] {
            for (const auto& event : events_) {
                if (event.value("event", "") == name) {
                    found = event;
                    return true;
                }
            }
            return false;
        });
        return found;
    }
    bool has(const std::string& name) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& event : events_) {
            if (event.value("event", "") == name) return true;
        }
        return false;
    }
    std::vector<std::string> names() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> out;
        for (const auto& event : events_) out.push_back(event.value("event", ""));
        return out;
    }
    // The exits so far; once an event asked for one, waits (up to 10 s) for it to arrive,
    // as the exit follows the last event on the same thread.
    std::vector<int> exits() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(10), [&] {
            std::size_t expected = 0;
            for (const auto& event : events_) {
                const auto name = event.value("event", "");
                if (name == "stopped" || name == "error") ++expected;
            }
            return exits_.size() >= expected;
        });
        return exits_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<json> events_;
    std::vector<int> exits_;
};

class CapturerTest : public ::testing::Test {
protected:
    void SetUp() override {
        clock = std::make_shared<dispatch::ManualClock>();
        dispatch::setClock(clock);
        setEventSink([this](std::string_view line) { recorder.line(line); });
        setExitHandler([this](int status) { recorder.exit(status); });
        path = (std::filesystem::temp_directory_path() /
                ("capturer_test_" + std::to_string(::getpid()) + "_" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".wav"))
                   .string();
        auto writer = std::make_shared<WAVWriter>(path, 16000);
        mixer = std::make_shared<Mixer>(writer);
        capturer = std::make_shared<Capturer>(mixer, path, streams);
        streams.setDisplays({platform::Display{7, "first"}, platform::Display{9, "second"}});
    }

    void TearDown() override {
        // A restart run still holds the engine; let it see the stop and end.
        capturer->requestStop();
        std::weak_ptr<Capturer> weak = capturer;
        capturer.reset();
        for (int i = 0; i < 1000 && !weak.expired(); ++i) {
            clock->advance(Capturer::restartBackoffSeconds);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_TRUE(weak.expired());
        streams.quiesce();
        mixer.reset();
        setEventSink(nullptr);
        setExitHandler(nullptr);
        dispatch::setClock(nullptr);
        std::remove(path.c_str());
    }

    void startRunning() {
        capturer->start();
        ASSERT_TRUE(recorder.waitFor("started"));
        ASSERT_TRUE(capturer->hasStream());
    }

    // True once the restart run sleeps; false when `unless` appears first (or after 5 s).
    bool waitForSleeper(const std::string& unless = "") {
        for (int i = 0; i < 5000; ++i) {
            if (!unless.empty() && recorder.has(unless)) return false;
            if (clock->sleepers() > 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    // Lets one restart pause pass once the run is asleep in it, and waits until the
    // attempt after it has begun (each attempt starts with a content query).
    bool passBackoff(const std::string& unless = "") {
        if (!waitForSleeper(unless)) return false;
        const int queries = streams.contentQueries();
        clock->advance(Capturer::restartBackoffSeconds);
        for (int i = 0; i < 5000; ++i) {
            if (streams.contentQueries() > queries) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    // Passes every pause until the event appears.
    bool driveUntil(const std::string& name) {
        for (int pass = 0; pass < 1000; ++pass) {
            if (recorder.has(name)) return true;
            if (!passBackoff(name)) return recorder.has(name);
        }
        return false;
    }

    void stopFromOutside(const std::string& reason) {
        capturer->requestStop();
        capturer->finish(reason);
    }

    static std::vector<std::int16_t> wavSamples(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<std::int16_t> samples;
        for (std::size_t i = 44; i + 1 < bytes.size(); i += 2) {
            samples.push_back(static_cast<std::int16_t>(static_cast<std::uint8_t>(bytes[i]) |
                                                        (static_cast<std::uint8_t>(bytes[i + 1]) << 8)));
        }
        return samples;
    }

    Recorder recorder;
    sim::SimStreamCapture streams;
    std::shared_ptr<dispatch::ManualClock> clock;
    std::string path;
    std::shared_ptr<Mixer> mixer;
    std::shared_ptr<Capturer> capturer;
};

TEST_F(CapturerTest, StartBuildsOneConfiguredStreamOnTheFirstDisplay) {
    startRunning();
    auto started = recorder.waitFor("started");
    EXPECT_EQ(*started, (json{{"event", "started"}, {"out", path}, {"engine", "sck"}}));

    ASSERT_EQ(streams.streamsMade(), 1);
    auto stream = streams.streams().front();
    EXPECT_EQ(stream->filter().display.displayID, 7u);
    EXPECT_TRUE(stream->filter().excludedWindows.empty());
    const auto& config = stream->configuration();
    EXPECT_TRUE(config.capturesAudio);
    EXPECT_TRUE(config.excludesCurrentProcessAudio);
    EXPECT_EQ(config.sampleRate, 48000);
    EXPECT_EQ(config.channelCount, 2);
    EXPECT_EQ(config.width, 2);
    EXPECT_EQ(config.height, 2);
    EXPECT_EQ(config.minimumFrameIntervalSeconds, 1.0);
    EXPECT_TRUE(config.captureMicrophone);
    EXPECT_EQ(stream->outputTypes(), (std::vector{StreamOutputType::audio, StreamOutputType::microphone}));
    EXPECT_EQ(stream->outputQueueLabels(), (std::vector<std::string>{"velomar.capture", "velomar.capture"}));
    EXPECT_TRUE(recorder.exits().empty());
}

TEST_F(CapturerTest, FailedFirstStartReportsTheDetailAndExitsWithOne) {
    struct Case {
        bool displays;
        AttemptOutcome outcome;
        std::string message;
    };
    const std::vector<Case> cases = {
        {false, {}, "could not start capture: no display available to attach the audio capture to"},
        {true, {FailStep::content, "The user declined TCCs for application"}, "could not start capture: The user declined TCCs for application"},
        {true, {FailStep::audioOutput, "audio output refused"}, "could not start capture: audio output refused"},
        {true, {FailStep::micOutput, "no microphone"}, "could not start capture: no microphone"},
        {true, {FailStep::start, "Stream failed to start"}, "could not start capture: Stream failed to start"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        Recorder local;
        setEventSink([&](std::string_view line) { local.line(line); });
        setExitHandler([&](int status) { local.exit(status); });
        sim::SimStreamCapture machine;
        if (c.displays) machine.setDisplays({platform::Display{1, "only"}});
        machine.queueOutcomes({c.outcome});
        auto engine = std::make_shared<Capturer>(mixer, path, machine);
        engine->start();
        auto error = local.waitFor("error");
        ASSERT_TRUE(error);
        EXPECT_EQ((*error)["message"], c.message);
        EXPECT_EQ(local.names(), std::vector<std::string>{"error"});
        EXPECT_EQ(local.exits(), std::vector<int>{1});
        EXPECT_FALSE(engine->hasStream());
        engine.reset();
        machine.quiesce();
    }
    setEventSink([this](std::string_view line) { recorder.line(line); });
    setExitHandler([this](int status) { recorder.exit(status); });
}

TEST_F(CapturerTest, PcmBufferCopiesDecodableBuffersAndRejectsTheRest) {
    // Stereo interleaved float: the copy holds the same samples and owns them.
    auto stereo = SimSampleBuffer::floats(48000, 2, true, {0.1f, -0.1f, 0.2f, -0.2f, 0.3f, -0.3f}, 5.0);
    auto copy = Capturer::pcmBuffer(*stereo);
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->frameLength(), 3u);
    EXPECT_EQ(copy->format().channelCount(), 2u);
    EXPECT_EQ(copy->format().sampleRate(), 48000.0);
    stereo->blocks.front().assign(stereo->blocks.front().size(), 0);
    ASSERT_TRUE(copy->floatChannelData());
    EXPECT_FLOAT_EQ(copy->floatChannelData()[0][4], 0.3f);

    // Non-interleaved float and interleaved int16 decode as well.
    auto planar = SimSampleBuffer::floats(44100, 2, false, {1, 2, 3, 4, 5, 6}, 0);
    auto planarCopy = Capturer::pcmBuffer(*planar);
    ASSERT_TRUE(planarCopy);
    EXPECT_FLOAT_EQ(planarCopy->floatChannelData()[1][0], 4.0f);
    auto ints = SimSampleBuffer::int16s(16000, 1, {100, -200}, 0);
    auto intCopy = Capturer::pcmBuffer(*ints);
    ASSERT_TRUE(intCopy);
    EXPECT_EQ(intCopy->int16ChannelData()[0][1], -200);

    auto noDescription = SimSampleBuffer::floats(48000, 1, true, {0.5f}, 0);
    noDescription->description.reset();
    auto bigEndian = SimSampleBuffer::floats(48000, 1, true, {0.5f}, 0);
    bigEndian->description->formatFlags |= pcm::kFlagIsBigEndian;
    auto copyFails = SimSampleBuffer::floats(48000, 1, true, {0.5f}, 0);
    copyFails->copyStatus = SimSampleBuffer::kCopyFailed;
    auto huge = SimSampleBuffer::floats(48000, 1, true, {0.5f}, 0);
    huge->frames = std::int64_t{1} << 32;
    for (const auto* rejected : {noDescription.get(), bigEndian.get(), copyFails.get(), huge.get()}) {
        EXPECT_EQ(Capturer::pcmBuffer(*rejected), nullptr);
    }
}

TEST_F(CapturerTest, OutputsReachTheMixerUnderTheirOwnKeysAndBadBuffersAreDropped) {
    startRunning();
    // 2.5 s of system audio at 0.5 and microphone at 0.25 over the same host time:
    // kept apart they are summed, so the file holds (0.5 + 0.25) * 0.707.
    const double t0 = 500.0;
    for (int block = 0; block < 25; ++block) {
        const double at = t0 + block * 0.1;
        ASSERT_TRUE(streams.deliver(SimSampleBuffer::floats(48000, 2, true, std::vector<float>(9600, 0.5f), at),
                                    StreamOutputType::audio));
        ASSERT_TRUE(streams.deliver(SimSampleBuffer::floats(48000, 1, true, std::vector<float>(4800, 0.25f), at),
                                    StreamOutputType::microphone));
        // None of these may reach the mixer: loud enough to show in the file if they did.
        auto invalid = SimSampleBuffer::floats(48000, 1, true, std::vector<float>(4800, 0.9f), at);
        invalid->valid = false;
        auto empty = SimSampleBuffer::floats(48000, 1, true, {}, at);
        auto undecodable = SimSampleBuffer::floats(48000, 1, true, std::vector<float>(4800, 0.9f), at);
        undecodable->description->formatFlags |= pcm::kFlagIsBigEndian;
        streams.deliver(invalid, StreamOutputType::microphone);
        streams.deliver(empty, StreamOutputType::audio);
        streams.deliver(undecodable, StreamOutputType::audio);
        streams.deliver(SimSampleBuffer::floats(48000, 1, true, std::vector<float>(4800, 0.9f), at),
                        StreamOutputType::screen);
    }
    // A stop drops what the stream has not handed over yet.
    capturer->sampleQueue()->sync([] {});
    stopFromOutside("stdin");
    auto stopped = recorder.waitFor("stopped");
    ASSERT_TRUE(stopped);
    EXPECT_EQ((*stopped)["seconds"], 2);  // 2.5 s truncated
    EXPECT_EQ((*stopped)["reason"], "stdin");
    EXPECT_EQ((*stopped)["out"], path);
    for (const char* key : {"resyncs", "clockClamps", "silenceInsertedSamples", "samplesDropped", "limitedSamples",
                            "samplesNotWritten"}) {
        EXPECT_TRUE(stopped->contains(key)) << key;
    }
    EXPECT_EQ(recorder.exits(), std::vector<int>{0});

    const auto samples = wavSamples(path);
    ASSERT_GT(samples.size(), 16000u);
    const double expected = 0.75 * 0.707 * 32767.0;
    EXPECT_NEAR(samples[samples.size() / 2], expected, 0.02 * 32767.0);
}

TEST_F(CapturerTest, StopBeforeTheFirstStreamStartedFinalisesAtOnceAndTheLateStreamIsDropped) {
    streams.setStartDelay(0.3);
    std::thread starting([this] { capturer->start(); });
    stopFromOutside("signal");
    // Finalised without waiting for the start.
    auto stopped = recorder.waitFor("stopped");
    ASSERT_TRUE(stopped);
    EXPECT_EQ((*stopped)["reason"], "signal");
    EXPECT_EQ(streams.streamsStarted(), 0);
    starting.join();
    streams.quiesce();
    EXPECT_EQ(recorder.names(), std::vector<std::string>{"stopped"});
    EXPECT_EQ(recorder.exits(), std::vector<int>{0});
    ASSERT_EQ(streams.streamsMade(), 1);
    EXPECT_TRUE(streams.streams().front()->stopCalled());
    EXPECT_FALSE(capturer->hasStream());
}

TEST_F(CapturerTest, FirstStartFailingAfterAStopDoesNotTurnTheRunIntoAnError) {
    streams.setStartDelay(0.3);
    streams.queueOutcomes({{FailStep::start, "late failure"}});
    std::thread starting([this] { capturer->start(); });
    stopFromOutside("stdin");
    ASSERT_TRUE(recorder.waitFor("stopped"));
    starting.join();
    EXPECT_EQ(recorder.names(), std::vector<std::string>{"stopped"});
    EXPECT_EQ(recorder.exits(), std::vector<int>{0});
}

TEST_F(CapturerTest, OnlyTheFirstOfConcurrentFinishesFinalises) {
    startRunning();
    streams.setStopDelay(0.05);
    std::vector<std::thread> stoppers;
    for (int i = 0; i < 8; ++i) {
        stoppers.emplace_back([this, i] {
            if (i % 2 == 0) capturer->requestStop();
            capturer->finish("reason " + std::to_string(i));
        });
    }
    for (auto& thread : stoppers) thread.join();
    ASSERT_TRUE(recorder.waitFor("stopped"));
    streams.quiesce();
    capturer->finish("late");
    EXPECT_EQ(recorder.names(), (std::vector<std::string>{"started", "stopped"}));
    EXPECT_EQ(recorder.exits(), std::vector<int>{0});
    EXPECT_EQ(streams.streamsStopped(), 1);
}

TEST_F(CapturerTest, InterruptionIsReportedAndTheFirstAttemptRestartsAfterTheBackoff) {
    startRunning();
    const double before = clock->now();
    ASSERT_TRUE(streams.interrupt("The stream was stopped by the system"));
    auto interrupted = recorder.waitFor("interrupted");
    ASSERT_TRUE(interrupted);
    EXPECT_EQ((*interrupted)["reason"], "stream stopped: The stream was stopped by the system");
    ASSERT_TRUE(passBackoff());
    auto restarted = recorder.waitFor("restarted");
    ASSERT_TRUE(restarted);
    EXPECT_EQ((*restarted)["attempt"], 1);
    EXPECT_EQ(clock->now() - before, Capturer::restartBackoffSeconds);
    EXPECT_TRUE(capturer->hasStream());
    EXPECT_EQ(streams.streamsStarted(), 2);
    EXPECT_EQ(streams.streams().back()->filter().display.displayID, 7u);

    // A second interruption of the restarted stream is a new run, counting from 1 again.
    ASSERT_TRUE(streams.interrupt("again"));
    ASSERT_TRUE(passBackoff());
    for (int i = 0; i < 1000 && recorder.names().size() < 5; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(recorder.names(),
              (std::vector<std::string>{"started", "interrupted", "restarted", "interrupted", "restarted"}));
    EXPECT_TRUE(recorder.exits().empty());
}

TEST_F(CapturerTest, FailedAttemptsAreRetriedSilentlyUntilOneSucceeds) {
    streams.queueOutcomes({{}, {FailStep::start, "a"}, {FailStep::content, "b"}, {FailStep::micOutput, "c"}, {}});
    startRunning();
    ASSERT_TRUE(streams.interrupt("gone"));
    for (int attempt = 1; attempt <= 4; ++attempt) ASSERT_TRUE(passBackoff()) << attempt;
    auto restarted = recorder.waitFor("restarted");
    ASSERT_TRUE(restarted);
    EXPECT_EQ((*restarted)["attempt"], 4);
    EXPECT_EQ(recorder.names(), (std::vector<std::string>{"started", "interrupted", "restarted"}));
}

// Attempts begin 0, 2, ... 118 s into the window: the 60th still tries and its success
// counts; the loop test at 120 s gives up.
TEST_F(CapturerTest, AnAttemptBegunBeforeTheDeadlineStillCounts) {
    std::vector<AttemptOutcome> outcomes{{}};
    for (int i = 0; i < 59; ++i) outcomes.push_back({FailStep::start, "still no stream"});
    streams.queueOutcomes(outcomes);
    startRunning();
    const int queriesBefore = streams.contentQueries();
    ASSERT_TRUE(streams.interrupt("lost"));
    ASSERT_TRUE(driveUntil("restarted"));
    EXPECT_EQ((*recorder.waitFor("restarted"))["attempt"], 60);
    EXPECT_EQ(streams.contentQueries() - queriesBefore, 60);
    EXPECT_TRUE(recorder.exits().empty());
}

TEST_F(CapturerTest, EveryAttemptFailingGivesUpWithTheInterruptionDetailAndExitsWithZero) {
    streams.queueOutcomes({{}});
    streams.setDefaultOutcome({FailStep::start, "attempt error, never reported"});
    startRunning();
    const int queriesBefore = streams.contentQueries();
    const double interruptedAt = clock->now();
    ASSERT_TRUE(streams.interrupt("Connection to the display was lost"));
    ASSERT_TRUE(driveUntil("stopped"));
    auto stopped = recorder.waitFor("stopped");
    EXPECT_EQ((*stopped)["reason"],
              "stream stopped and could not resume within 120s: Connection to the display was lost");
    EXPECT_EQ(streams.contentQueries() - queriesBefore, 60);
    EXPECT_EQ(clock->now() - interruptedAt, Capturer::restartWindowSeconds);
    EXPECT_EQ(recorder.names(), (std::vector<std::string>{"started", "interrupted", "stopped"}));
    EXPECT_EQ(recorder.exits(), std::vector<int>{0});
}

TEST_F(CapturerTest, StopDuringTheBackoffFinalisesWithItsOwnReasonAndBuildsNothingMore) {
    startRunning();
    ASSERT_TRUE(streams.interrupt("gone"));
    ASSERT_TRUE(recorder.waitFor("interrupted"));
    ASSERT_TRUE(waitForSleeper());
    const int queries = streams.contentQueries();
    stopFromOutside("stdin");
    auto stopped = recorder.waitFor("stopped");
    ASSERT_TRUE(stopped);
    EXPECT_EQ((*stopped)["reason"], "stdin");
    EXPECT_EQ(recorder.exits(), std::vector<int>{0});
    // The run wakes, sees the stop and ends without another attempt.
    clock->advance(Capturer::restartBackoffSeconds);
    std::weak_ptr<Capturer> weak = capturer;
    capturer.reset();
    for (int i = 0; i < 2000 && !weak.expired(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(streams.contentQueries(), queries);
    EXPECT_EQ(recorder.names(), (std::vector<std::string>{"started", "interrupted", "stopped"}));
    capturer = std::make_shared<Capturer>(mixer, path, streams);  // for TearDown
}

TEST_F(CapturerTest, InterruptionAfterAStopWasRequestedStartsNoRun) {
    // The stream reports stopping by itself while it is being stopped.
    startRunning();
    streams.setStopInterruption("stopped while stopping");
    stopFromOutside("stdin");
    ASSERT_TRUE(recorder.waitFor("stopped"));
    streams.quiesce();
    EXPECT_EQ((*recorder.waitFor("stopped"))["reason"], "stdin");
    EXPECT_EQ(recorder.names(), (std::vector<std::string>{"started", "stopped"}));
    EXPECT_EQ(recorder.exits(), std::vector<int>{0});
}

TEST_F(CapturerTest, InterruptionWhileAStopIsPendingFinishesWithTheInterruptionText) {
    startRunning();
    capturer->requestStop();
    ASSERT_TRUE(streams.interrupt("device removed"));
    auto stopped = recorder.waitFor("stopped");
    ASSERT_TRUE(stopped);
    EXPECT_EQ((*stopped)["reason"], "stream stopped: device removed");
    EXPECT_EQ(recorder.names(), (std::vector<std::string>{"started", "stopped"}));
    capturer->finish("signal");
    EXPECT_EQ(recorder.exits(), std::vector<int>{0});
}

}  // namespace
}  // namespace velomar
