#include "platform/sim/sim_stream_capture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <sstream>
#include <thread>

#include "platform/sim/sim_platform.h"
#include "platform/sim/sim_scenario.h"

namespace velomar::sim {
namespace {

using platform::StreamError;
using platform::StreamOutputType;

// Counts what the stream hands to its delegate and outputs, and on which thread.
class Probe : public platform::StreamDelegate, public platform::StreamOutput {
public:
    void streamDidStop(platform::Stream&, const StreamError& error) override {
        std::lock_guard<std::mutex> lock(mutex);
        stops.push_back(error.description);
        stopThread = std::this_thread::get_id();
    }
    void streamDidOutput(platform::Stream&, const platform::SampleBuffer& buffer, StreamOutputType type) override {
        // Slow enough that a stop overlaps the deliveries.
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        std::lock_guard<std::mutex> lock(mutex);
        outputs.emplace_back(type, buffer.presentationSeconds());
        if (stopCompleted) deliveredAfterStop = true;
    }
    std::mutex mutex;
    std::vector<std::string> stops;
    std::thread::id stopThread;
    std::vector<std::pair<StreamOutputType, double>> outputs;
    bool stopCompleted = false;
    bool deliveredAfterStop = false;
};

std::shared_ptr<platform::Stream> startStream(SimStreamCapture& sim, const std::shared_ptr<Probe>& probe,
                                              const std::shared_ptr<dispatch::Queue>& queue) {
    auto stream = sim.makeStream({}, {}, probe);
    EXPECT_FALSE(stream->addStreamOutput(probe, StreamOutputType::audio, queue));
    EXPECT_FALSE(stream->addStreamOutput(probe, StreamOutputType::microphone, queue));
    std::promise<std::optional<StreamError>> started;
    stream->startCapture([&](std::optional<StreamError> error) { started.set_value(error); });
    EXPECT_FALSE(started.get_future().get());
    return stream;
}

TEST(SimStreamCapture, NoBufferReachesAnOutputAfterTheStopCompletion) {
    SimStreamCapture sim;
    auto probe = std::make_shared<Probe>();
    auto queue = dispatch::Queue::makeSerial("test.capture");
    auto stream = startStream(sim, probe, queue);

    std::atomic<bool> feeding{true};
    std::thread feeder([&] {
        for (int i = 0; feeding.load(); ++i) {
            sim.deliver(SimSampleBuffer::floats(48000, 1, true, {0.1f}, i), i % 2 ? StreamOutputType::audio
                                                                                  : StreamOutputType::microphone);
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::promise<std::thread::id> stopped;
    stream->stopCapture([&](std::optional<StreamError>) {
        {
            std::lock_guard<std::mutex> lock(probe->mutex);
            probe->stopCompleted = true;
        }
        stopped.set_value(std::this_thread::get_id());
    });
    EXPECT_NE(stopped.get_future().get(), std::this_thread::get_id());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    feeding = false;
    feeder.join();
    queue->sync([] {});
    sim.quiesce();

    std::lock_guard<std::mutex> lock(probe->mutex);
    EXPECT_FALSE(probe->outputs.empty());
    EXPECT_FALSE(probe->deliveredAfterStop);
    EXPECT_TRUE(probe->stops.empty());  // a requested stop is not reported to the delegate
    EXPECT_EQ(sim.streamsStopped(), 1);
}

TEST(SimStreamCapture, StreamStoppingByItselfTellsTheDelegateOnAnotherThread) {
    SimStreamCapture sim;
    auto probe = std::make_shared<Probe>();
    auto queue = dispatch::Queue::makeSerial("test.capture");
    auto stream = startStream(sim, probe, queue);
    ASSERT_TRUE(sim.interrupt("display asleep"));
    EXPECT_FALSE(sim.interrupt("again"));  // nothing runs any more
    EXPECT_FALSE(sim.deliver(SimSampleBuffer::floats(48000, 1, true, {0.1f}, 0), StreamOutputType::audio));
    sim.quiesce();
    std::lock_guard<std::mutex> lock(probe->mutex);
    EXPECT_EQ(probe->stops, std::vector<std::string>{"display asleep"});
    EXPECT_NE(probe->stopThread, std::this_thread::get_id());
}

TEST(SimStreamCapture, OutcomesApplyToSuccessiveBuildsThenTheDefault) {
    SimStreamCapture sim;
    sim.setDisplays({platform::Display{3, "d"}});
    sim.queueOutcomes({{FailStep::content, "no content"}, {FailStep::micOutput, "no mic"}});
    sim.setDefaultOutcome({FailStep::start, "no start"});
    auto probe = std::make_shared<Probe>();
    auto queue = dispatch::Queue::makeSerial("test.capture");

    auto query = [&] {
        std::promise<std::optional<StreamError>> answer;
        sim.getShareableContent(false, false, [&](std::optional<platform::ShareableContent> content,
                                                  std::optional<StreamError> error) {
            EXPECT_NE(content.has_value(), error.has_value());
            answer.set_value(error);
        });
        return answer.get_future().get();
    };
    EXPECT_EQ(query()->description, "no content");

    EXPECT_FALSE(query());
    auto second = sim.makeStream({}, {}, probe);
    EXPECT_FALSE(second->addStreamOutput(probe, StreamOutputType::audio, queue));
    EXPECT_EQ(second->addStreamOutput(probe, StreamOutputType::microphone, queue)->description, "no mic");

    for (int i = 0; i < 2; ++i) {
        EXPECT_FALSE(query());
        auto stream = sim.makeStream({}, {}, probe);
        std::promise<std::optional<StreamError>> started;
        stream->startCapture([&](std::optional<StreamError> error) { started.set_value(error); });
        EXPECT_EQ(started.get_future().get()->description, "no start");
    }
    sim.quiesce();
    EXPECT_EQ(sim.contentQueries(), 4);
    EXPECT_EQ(sim.streamsMade(), 3);
    EXPECT_EQ(sim.streamsStarted(), 0);
}

TEST(SimSampleBuffer, CopyChecksBoundsAndLayout) {
    auto buffer = SimSampleBuffer::floats(48000, 2, false, {1, 2, 3, 4, 5, 6}, 0);
    std::vector<float> left(2), right(2);
    pcm::AudioBufferList list;
    list.buffers = {{1, 8, left.data()}, {1, 8, right.data()}};
    EXPECT_EQ(buffer->copyPCMData(1, 2, list), 0);
    EXPECT_EQ(left, (std::vector<float>{2, 3}));
    EXPECT_EQ(right, (std::vector<float>{5, 6}));
    EXPECT_EQ(buffer->copyPCMData(2, 2, list), SimSampleBuffer::kCopyFailed);  // past the end
    pcm::AudioBufferList tooSmall;
    tooSmall.buffers = {{1, 4, left.data()}, {1, 4, right.data()}};
    EXPECT_EQ(buffer->copyPCMData(0, 2, tooSmall), SimSampleBuffer::kCopyFailed);
    pcm::AudioBufferList oneBuffer;
    oneBuffer.buffers = {{2, 16, left.data()}};
    EXPECT_EQ(buffer->copyPCMData(0, 1, oneBuffer), SimSampleBuffer::kCopyFailed);
}

TEST(SimScenario, BadLinesNameTheirLine) {
    const std::vector<std::string> bad = {
        "displays 1 x",
        "attempt maybe",
        "attempt fail somewhere text",
        "attempt fail start",
        "interrupt one 100 text",
        "audio speaker 48000 2 480 10",
        "audio mic 48000 2 480 0",
        "clock real 1 1",
        "default-input nowhere",
        "device only-uid",
    };
    for (const auto& line : bad) {
        SCOPED_TRACE(line);
        SimPlatform platform;
        std::istringstream input("# comment\n\n" + line + "\n");
        try {
            Scenario::parse(input, platform);
            ADD_FAILURE() << "accepted";
        } catch (const ScenarioError& error) {
            EXPECT_EQ(std::string(error.what()).rfind("scenario line 3: ", 0), 0u) << error.what();
        }
    }
}

TEST(SimScenario, DirectivesSetUpTheMachine) {
    SimPlatform platform;
    std::istringstream input(
        "display 4 Main screen\n"
        "display 5 Side\n"
        "attempt fail start  Stream failed to start \n"
        "attempt-default ok\n");
    auto scenario = Scenario::parse(input, platform);
    auto& sim = platform.streamCapture();
    std::promise<std::vector<platform::Display>> displays;
    sim.getShareableContent(false, false, [&](std::optional<platform::ShareableContent> content,
                                              std::optional<StreamError>) { displays.set_value(content->displays); });
    const auto list = displays.get_future().get();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].displayID, 4u);
    EXPECT_EQ(list[0].name, "Main screen");
    auto stream = sim.makeStream({}, {}, std::weak_ptr<platform::StreamDelegate>());
    std::promise<std::optional<StreamError>> started;
    stream->startCapture([&](std::optional<StreamError> error) { started.set_value(error); });
    EXPECT_EQ(started.get_future().get()->description, "Stream failed to start");
    sim.quiesce();
}

}  // namespace
}  // namespace velomar::sim
