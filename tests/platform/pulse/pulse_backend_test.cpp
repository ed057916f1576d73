// The libpulse backend against a real private server (PulseAudio or PipeWire).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "core/capture_error.h"
#include "core/device_directory.h"
#include "core/mic_unit.h"
#include "platform/pcm.h"
#include "platform/pulse/record_stream.h"
#include "platform/pulse/pulse_hardware.h"
#include "platform/pulse/pulse_stream_capture.h"
#include "platform/pulse/test_server.h"

namespace velomar {
namespace {

using namespace platform;
using pulse::NameRegistry;
using pulse::PulseHardware;
using testing::Background;
using testing::sh;
using testing::toneCommand;
using testing::waitUntil;

double nowSeconds() { return pcm::secondsForHostTime(pcm::hostTimeNow()); }

// Frequency from the zero crossings, and the peak, of a stretch of mono samples.
struct Tone {
    double frequency = 0;
    float peak = 0;
};
Tone analyse(const std::vector<float>& samples, double rate) {
    Tone t;
    std::size_t crossings = 0;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        if ((samples[i - 1] < 0) != (samples[i] < 0)) ++crossings;
        t.peak = std::max(t.peak, std::fabs(samples[i]));
    }
    t.frequency = static_cast<double>(crossings) / 2.0 / (static_cast<double>(samples.size()) / rate);
    return t;
}

class PulseBackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        VELOMAR_REQUIRE_SERVER();
        ASSERT_TRUE(testing::setDefaults("velomar_speakers", "velomar_mic"));
        registry_ = std::make_shared<NameRegistry>();
        hw_ = std::make_shared<PulseHardware>(registry_);
    }
    void TearDown() override {
        hw_.reset();
        if (testing::TestServer::available()) testing::setDefaults("velomar_speakers", "velomar_mic");
    }

    std::shared_ptr<NameRegistry> registry_;
    std::shared_ptr<PulseHardware> hw_;
};

TEST_F(PulseBackendTest, ListsSourcesAsInputDevicesWithStableIdsAndTheDefaultMarked) {
    DeviceDirectory directory(*hw_);
    auto entries = directory.inputDevices();
    std::vector<std::string> uids;
    for (auto& e : entries) uids.push_back(e.uid);
    // Remapped sources are microphones; monitors and sinks are not. The server's order
    // changes across restarts.
    std::sort(uids.begin(), uids.end());
    EXPECT_EQ(uids, (std::vector<std::string>{"velomar_click_mic", "velomar_mic", "velomar_mic2"}));
    for (auto& e : entries) {
        EXPECT_EQ(e.isDefault, e.uid == "velomar_mic") << e.uid;
        if (e.uid == "velomar_mic") {
            EXPECT_EQ(e.name, "Test Microphone");
        }
    }

    auto ids = directory.allDeviceIDs();
    ASSERT_GE(ids.size(), 7u);  // 3 sources + 4 sinks
    for (auto id : ids) EXPECT_GT(id, kSystemObject);
    EXPECT_EQ(directory.allDeviceIDs(), ids) << "IDs change between two reads";

    auto mic = directory.inputDeviceID("velomar_mic");
    ASSERT_TRUE(mic);
    EXPECT_EQ(directory.defaultInputDevice(), mic);
    EXPECT_EQ(directory.inputChannelCount(*mic), 1);
    EXPECT_EQ(directory.nominalSampleRate(*mic), 48000.0);
    // A sink is an output-only device: no input channels, never found as a microphone.
    EXPECT_FALSE(directory.inputDeviceID("velomar_speakers"));
    EXPECT_FALSE(directory.inputDeviceID("velomar_speakers.monitor"));
    EXPECT_FALSE(directory.inputDeviceID("VELOMAR_MIC"));
}

TEST_F(PulseBackendTest, DefaultInputListenerFiresOnTheQueueOnlyWhenTheDefaultSourceChanges) {
    auto queue = dispatch::Queue::makeSerial("velomar.test.listener");
    std::atomic<int> calls{0};
    std::atomic<bool> onQueue{true};
    auto listener = std::make_shared<const PropertyListener>([&](std::uint32_t n, const PropertyAddress* a) {
        if (!queue->isCurrent()) onQueue = false;
        if (n == 1 && a[0].selector == selector::defaultInputDevice) ++calls;
    });
    const PropertyAddress address{selector::defaultInputDevice, scope::global, 0};
    ASSERT_EQ(hw_->addPropertyListener(kSystemObject, address, *queue, listener), kNoError);

    ASSERT_EQ(sh("pactl set-default-source velomar_mic2"), 0);
    EXPECT_TRUE(waitUntil([&] { return calls == 1; }, 5));
    DeviceDirectory directory(*hw_);
    EXPECT_EQ(directory.defaultInputDevice(), directory.inputDeviceID("velomar_mic2"));

    // Server changes that leave the default source alone do not fire.
    ASSERT_EQ(sh("pactl set-default-source velomar_mic2"), 0);
    ASSERT_EQ(sh("pactl set-default-sink velomar_headphones"), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ(calls, 1);

    ASSERT_EQ(sh("pactl set-default-source velomar_mic"), 0);
    EXPECT_TRUE(waitUntil([&] { return calls == 2; }, 5));
    EXPECT_TRUE(onQueue);

    // A default that is back where the listeners last heard of it before it held still
    // is no change: reopening the microphone for it would only cut its audio.
    ASSERT_EQ(sh("pactl set-default-source velomar_mic2 && pactl set-default-source velomar_mic"), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ(calls, 2);

    ASSERT_EQ(hw_->removePropertyListener(kSystemObject, address, *queue, listener), kNoError);
    ASSERT_EQ(sh("pactl set-default-source velomar_mic2"), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ(calls, 2);
}

// Collects what an I/O block receives on its queue.
// The last `count` samples (or all of them).
std::vector<float> lastSamples(const std::vector<float>& all, std::size_t count) {
    return {all.end() - static_cast<std::ptrdiff_t>(std::min(count, all.size())), all.end()};
}

struct TapRecording {
    std::mutex mutex;
    std::vector<float> samples;
    std::vector<std::pair<double, std::uint32_t>> chunks;  // host seconds, frames
    std::vector<double> delays;                            // delivery time − chunk end
    std::atomic<int> calls{0};
    std::atomic<std::size_t> frames{0};
    std::atomic<bool> offQueue{false};
    std::atomic<bool> active{true};
    std::atomic<bool> callAfterStop{false};
};

struct Tap {
    AudioObjectID tap = 0;
    AudioObjectID aggregate = 0;
    IOProcID proc = 0;
    double rate = 0;
};

Tap startTap(PulseHardware& hw, const std::shared_ptr<dispatch::Queue>& queue, TapRecording& rec) {
    Tap t;
    TapDescription description;
    EXPECT_EQ(hw.createProcessTap(description, t.tap), kNoError);
    std::string tapUID;
    EXPECT_EQ(hw.getStringProperty(t.tap, {selector::tapUID, scope::global, 0}, tapUID), kNoError);
    AggregateDeviceDescription agg;
    agg.name = "Velomar Capture";
    agg.uid = "velomar-agg-test";
    agg.isPrivate = true;
    agg.taps.push_back({tapUID, true});
    EXPECT_EQ(hw.createAggregateDevice(agg, t.aggregate), kNoError);
    pcm::StreamDescription sfmt{};
    std::uint32_t size = sizeof sfmt;
    EXPECT_EQ(hw.getPropertyData(t.aggregate, {selector::streamFormat, scope::input, 0}, size, &sfmt), kNoError);
    auto format = pcm::Format::fromStreamDescription(sfmt);
    EXPECT_TRUE(format);
    if (format) {
        EXPECT_EQ(format->channelCount(), 1u);
        EXPECT_EQ(format->sampleType(), pcm::SampleType::float32);
    }
    t.rate = sfmt.sampleRate;
    EXPECT_EQ(hw.createIOProcIDWithBlock(
                  t.proc, t.aggregate, queue,
                  [&rec, queue](const AudioTimeStamp&, const pcm::AudioBufferList* input,
                                const AudioTimeStamp& inputTime, pcm::AudioBufferList*, const AudioTimeStamp&) {
                      if (!rec.active) rec.callAfterStop = true;
                      if (!queue->isCurrent()) rec.offQueue = true;
                      const auto& b = input->buffers.at(0);
                      const auto* f = static_cast<const float*>(b.data);
                      const std::uint32_t frames = b.dataByteSize / 4;
                      const double host = pcm::secondsForHostTime(inputTime.hostTime);
                      std::lock_guard g(rec.mutex);
                      rec.samples.insert(rec.samples.end(), f, f + frames);
                      rec.chunks.emplace_back(host, frames);
                      rec.delays.push_back(nowSeconds() - (host + frames / 48000.0));
                      rec.frames += frames;
                      ++rec.calls;
                  }),
              kNoError);
    EXPECT_EQ(hw.deviceStart(t.aggregate, t.proc), kNoError);
    return t;
}

void stopTap(PulseHardware& hw, const Tap& t, TapRecording& rec) {
    EXPECT_EQ(hw.deviceStop(t.aggregate, t.proc), kNoError);
    rec.active = false;
    EXPECT_EQ(hw.destroyIOProcID(t.aggregate, t.proc), kNoError);
    EXPECT_EQ(hw.destroyAggregateDevice(t.aggregate), kNoError);
    EXPECT_EQ(hw.destroyProcessTap(t.tap), kNoError);
}

TEST_F(PulseBackendTest, TapRecordsTheDefaultSinkMonoOnTheBlockQueueWithContinuousHostTimes) {
    Background tone(toneCommand("velomar_speakers", 440, 0.5, 2));
    auto queue = dispatch::Queue::makeSerial("velomar.test.tap");
    TapRecording rec;
    const double started = nowSeconds();
    Tap t = startTap(*hw_, queue, rec);
    EXPECT_EQ(t.rate, 48000.0);
    EXPECT_EQ(hw_->tapSinkName(t.aggregate), "velomar_speakers");
    ASSERT_TRUE(waitUntil([&] { return rec.frames > 60000; }, 10));
    const double stopCalled = nowSeconds();
    stopTap(*hw_, t, rec);
    const double stopTook = nowSeconds() - stopCalled;
    const int callsAtStop = rec.calls;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(rec.calls, callsAtStop);
    EXPECT_FALSE(rec.callAfterStop);
    EXPECT_FALSE(rec.offQueue);

    std::lock_guard g(rec.mutex);
    // The last second: the tone, at half scale (identical channels downmixed to mono).
    std::vector<float> tail = lastSamples(rec.samples, 48000);
    const Tone tone440 = analyse(tail, 48000);
    EXPECT_NEAR(tone440.frequency, 440, 5);
    EXPECT_NEAR(tone440.peak, 0.5, 0.05);

    // Chunks follow each other without gaps or overlaps on the host timeline, and
    // each chunk's time lies shortly before it was delivered.
    double worstStep = 0;
    for (std::size_t i = 1; i < rec.chunks.size(); ++i) {
        const double expected = rec.chunks[i - 1].first + rec.chunks[i - 1].second / 48000.0;
        worstStep = std::max(worstStep, std::fabs(rec.chunks[i].first - expected));
    }
    EXPECT_LT(worstStep, 0.055) << "host time jumped between chunks";
    EXPECT_GT(rec.chunks.front().first, started - 1.0);
    std::vector<double> delays(rec.delays.end() - 20, rec.delays.end());
    std::sort(delays.begin(), delays.end());
    const double medianDelay = delays[delays.size() / 2];
    EXPECT_GT(medianDelay, -0.01) << "chunks stamped in the future";
    EXPECT_LT(medianDelay, 0.25);
    // Everything captured before the stop was delivered before the block stopped.
    const double missing = stopCalled - (rec.chunks.back().first + rec.chunks.back().second / 48000.0);
    EXPECT_LT(missing, 0.01);
    std::printf("[ figures  ] tap: %d chunks, fragment granted %.1f ms, delivery delay median %.1f ms, "
                "worst step %.2f ms; at stop %.1f ms missing, stop took %.0f ms\n",
                callsAtStop, hw_->lastGrantedFragmentSeconds() * 1e3, medianDelay * 1e3, worstStep * 1e3,
                std::max(0.0, missing) * 1e3, stopTook * 1e3);
}

TEST_F(PulseBackendTest, TapFollowsTheDefaultSink) {
    Background tone(toneCommand("velomar_headphones", 1000, 0.3, 2));
    auto queue = dispatch::Queue::makeSerial("velomar.test.tap");
    TapRecording rec;
    Tap t = startTap(*hw_, queue, rec);
    ASSERT_TRUE(waitUntil([&] { return rec.calls > 10; }, 5));
    ASSERT_EQ(sh("pactl set-default-sink velomar_headphones"), 0);
    ASSERT_TRUE(waitUntil([&] { return hw_->tapSinkName(t.aggregate) == "velomar_headphones"; }, 5));
    const std::size_t before = rec.frames;
    ASSERT_TRUE(waitUntil([&] { return rec.frames > before + 36000; }, 5));
    stopTap(*hw_, t, rec);
    std::lock_guard g(rec.mutex);
    std::vector<float> tail = lastSamples(rec.samples, 24000);
    EXPECT_NEAR(analyse(tail, 48000).frequency, 1000, 10);
}

TEST_F(PulseBackendTest, TapRecordsAMultichannelOutputInItsOwnLayoutEveryChannelCountingEqually) {
    // A 5.1 output whose layout is not the server's default one for six channels: asked
    // for that default, the server remixes by channel name and the channels no longer
    // count alike (rear ones weaker, the LFE gone).
    const std::string layout = "front-left,front-right,rear-left,rear-right,front-center,lfe";
    const std::string module =
        testing::firstLine("pactl load-module module-null-sink sink_name=velomar_surround format=float32le "
                           "rate=48000 channels=6 channel_map=" + layout);
    ASSERT_FALSE(module.empty());
    struct Unload {
        std::string module;
        ~Unload() { sh("pactl unload-module " + module); }
    } unload{module};
    ASSERT_TRUE(waitUntil([] { return sh("pactl list short sinks | grep -q velomar_surround") == 0; }, 5));
    ASSERT_TRUE(testing::setDefaults("velomar_surround", "velomar_mic"));
    auto queue = dispatch::Queue::makeSerial("velomar.test.tap");
    TapRecording rec;
    Tap t = startTap(*hw_, queue, rec);
    std::vector<float> peaks;
    for (int channel = 0; channel < 6; ++channel) {
        std::string remix;
        for (int c = 0; c < 6; ++c) remix += c == channel ? " 1" : " 0";
        Background tone("sox -q -r 48000 -c 1 -n -t raw -e floating-point -b 32 -c 6 - synth 60 sine 440 vol 0.6 "
                        "remix" + remix + " | pacat --raw --playback -d velomar_surround --rate=48000 --channels=6 "
                        "--channel-map=" + layout + " --format=float32le --latency-msec=100");
        const std::size_t from = rec.frames;
        EXPECT_TRUE(waitUntil([&] { return rec.frames > from + 36000; }, 5));
        std::lock_guard g(rec.mutex);
        peaks.push_back(analyse(lastSamples(rec.samples, 9600), 48000).peak);
    }
    stopTap(*hw_, t, rec);
    // Each channel alone, averaged with five silent ones: a sixth of its level.
    for (int channel = 0; channel < 6; ++channel) EXPECT_NEAR(peaks[channel], 0.1, 0.012) << "channel " << channel;
}

TEST_F(PulseBackendTest, InputUnitDeliversNonInterleavedBuffersOfTheSourceWithHostTimes) {
    Background tone(toneCommand("velomar_mic_feed", 300, 0.4, 1));
    struct Got {
        std::mutex mutex;
        std::vector<float> samples;
        std::vector<double> hosts;
        std::vector<double> delays;
        double lastEnd = 0;
        std::atomic<int> calls{0};
    } got;
    auto unit = MicUnit::make(*hw_, [&](pcm::BufferPtr buffer, double hostSeconds) {
        std::lock_guard g(got.mutex);
        EXPECT_FALSE(buffer->format().isInterleaved());
        const float* c0 = buffer->floatChannelData()[0];
        got.samples.insert(got.samples.end(), c0, c0 + buffer->frameLength());
        got.hosts.push_back(hostSeconds);
        got.lastEnd = hostSeconds + buffer->frameLength() / buffer->format().sampleRate();
        got.delays.push_back(nowSeconds() - hostSeconds);
        ++got.calls;
    });
    DeviceDirectory directory(*hw_);
    auto mic = directory.inputDeviceID("velomar_mic");
    ASSERT_TRUE(mic);
    unit->start(*mic);
    ASSERT_TRUE(unit->format());
    EXPECT_EQ(unit->format()->channelCount(), 1u);
    EXPECT_EQ(unit->format()->sampleRate(), 48000.0);
    ASSERT_TRUE(waitUntil(
        [&] {
            std::lock_guard g(got.mutex);
            return got.samples.size() > 60000;
        },
        10));
    const double stopCalled = nowSeconds();
    unit->stop();
    const double stopTook = nowSeconds() - stopCalled;
    const int atStop = got.calls;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(got.calls, atStop);

    std::lock_guard g(got.mutex);
    std::vector<float> tail = lastSamples(got.samples, 48000);
    const Tone t = analyse(tail, 48000);
    EXPECT_NEAR(t.frequency, 300, 5);
    EXPECT_NEAR(t.peak, 0.4, 0.05);
    for (std::size_t i = 1; i < got.hosts.size(); ++i) EXPECT_GT(got.hosts[i], got.hosts[i - 1]);
    std::vector<double> delays(got.delays.end() - 20, got.delays.end());
    std::sort(delays.begin(), delays.end());
    EXPECT_LT(delays[delays.size() / 2], 0.3);
    // Everything captured before the stop was delivered before the unit stopped.
    const double missing = stopCalled - got.lastEnd;
    EXPECT_LT(missing, 0.01);
    std::printf("[ figures  ] input unit: %d buffers in %.2f s, fragment granted %.1f ms; at stop %.1f ms missing, "
                "stop took %.0f ms\n",
                atStop, got.hosts.back() - got.hosts.front(), hw_->lastGrantedFragmentSeconds() * 1e3,
                std::max(0.0, missing) * 1e3, stopTook * 1e3);
}

TEST_F(PulseBackendTest, InputUnitOnAMissingDeviceFailsToStartWithoutHanging) {
    auto unit = MicUnit::make(*hw_, [](pcm::BufferPtr, double) {});
    EXPECT_THROW(unit->start(4242), CaptureError);
    unit->stop();
}

// ---- stream capture -------------------------------------------------------------------

struct Collector : StreamOutput, StreamDelegate {
    std::mutex mutex;
    std::map<StreamOutputType, std::vector<float>> samples;  // first channel
    std::map<StreamOutputType, int> buffers;
    std::map<StreamOutputType, double> lastEnd;  // host seconds just after the last frame
    std::vector<std::string> stops;
    std::atomic<int> stopCount{0};
    void streamDidOutput(Stream&, const SampleBuffer& buffer, StreamOutputType type) override {
        auto d = buffer.streamDescription();
        if (!d) return;
        auto format = pcm::Format::fromStreamDescription(*d);
        if (!format) return;
        auto pcmBuffer = pcm::Buffer::make(*format, static_cast<std::uint32_t>(buffer.numSamples()));
        pcmBuffer->setFrameLength(static_cast<std::uint32_t>(buffer.numSamples()));
        if (buffer.copyPCMData(0, static_cast<std::int32_t>(buffer.numSamples()),
                               pcmBuffer->mutableAudioBufferList()) != kNoError) {
            return;
        }
        const float* data = pcmBuffer->floatChannelData()[0];
        std::lock_guard g(mutex);
        for (std::uint32_t f = 0; f < pcmBuffer->frameLength(); ++f) {
            samples[type].push_back(data[f * format->channelCount()]);
        }
        ++buffers[type];
        lastEnd[type] = buffer.presentationSeconds() + static_cast<double>(buffer.numSamples()) / format->sampleRate();
    }
    void streamDidStop(Stream&, const StreamError& error) override {
        std::lock_guard g(mutex);
        stops.push_back(error.description);
        ++stopCount;
    }
    int count(StreamOutputType type) {
        std::lock_guard g(mutex);
        return buffers[type];
    }
};

std::optional<ShareableContent> content(pulse::PulseStreamCapture& capture, std::string* error) {
    std::promise<std::pair<std::optional<ShareableContent>, std::optional<StreamError>>> p;
    capture.getShareableContent(false, false, [&](auto c, auto e) { p.set_value({c, e}); });
    auto r = p.get_future().get();
    if (r.second && error) *error = r.second->description;
    return r.first;
}

std::optional<StreamError> startAndWait(Stream& stream) {
    std::promise<std::optional<StreamError>> p;
    stream.startCapture([&](std::optional<StreamError> e) { p.set_value(e); });
    return p.get_future().get();
}

std::optional<StreamError> stopAndWait(Stream& stream) {
    std::promise<std::optional<StreamError>> p;
    stream.stopCapture([&](std::optional<StreamError> e) { p.set_value(e); });
    return p.get_future().get();
}

TEST_F(PulseBackendTest, StreamCaptureListsSinksDefaultFirstAndRecordsMonitorAndMicrophone) {
    Background system(toneCommand("velomar_speakers", 500, 0.5, 2));
    Background mic(toneCommand("velomar_mic_feed", 700, 0.5, 1));
    pulse::PulseStreamCapture capture(registry_);
    std::string error;
    auto c = content(capture, &error);
    ASSERT_TRUE(c) << error;
    ASSERT_EQ(c->displays.size(), 4u);
    EXPECT_EQ(c->displays[0].name, "Test Speakers");

    auto collector = std::make_shared<Collector>();
    StreamConfiguration config;
    config.capturesAudio = true;
    config.captureMicrophone = true;
    auto stream = capture.makeStream({c->displays[0], {}}, config, collector);
    auto queue = dispatch::Queue::makeSerial("velomar.test.capture");
    ASSERT_FALSE(stream->addStreamOutput(collector, StreamOutputType::audio, queue));
    ASSERT_FALSE(stream->addStreamOutput(collector, StreamOutputType::microphone, queue));
    auto startError = startAndWait(*stream);
    ASSERT_FALSE(startError) << startError->description;
    auto frames = [&](StreamOutputType type) {
        std::lock_guard g(collector->mutex);
        return collector->samples[type].size();
    };
    ASSERT_TRUE(waitUntil(
        [&] { return frames(StreamOutputType::audio) > 40000 && frames(StreamOutputType::microphone) > 40000; }, 10));
    const double stopCalled = nowSeconds();
    EXPECT_FALSE(stopAndWait(*stream));
    const double stopTook = nowSeconds() - stopCalled;
    const int audioAtStop = collector->count(StreamOutputType::audio);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(collector->count(StreamOutputType::audio), audioAtStop);
    EXPECT_TRUE(collector->stops.empty()) << "a requested stop is not a stop by itself";

    std::lock_guard g(collector->mutex);
    auto& s = collector->samples[StreamOutputType::audio];
    auto& m = collector->samples[StreamOutputType::microphone];
    EXPECT_NEAR(analyse(lastSamples(s, 24000), 48000).frequency, 500, 8);
    EXPECT_NEAR(analyse(lastSamples(m, 24000), 48000).frequency, 700, 8);
    // Everything captured before the stop was delivered before the stream stopped.
    const double missingSystem = stopCalled - collector->lastEnd[StreamOutputType::audio];
    const double missingMic = stopCalled - collector->lastEnd[StreamOutputType::microphone];
    EXPECT_LT(missingSystem, 0.01);
    EXPECT_LT(missingMic, 0.01);
    std::printf("[ figures  ] stream capture: at stop %.1f ms missing (system), %.1f ms (microphone), stop took %.0f ms\n",
                std::max(0.0, missingSystem) * 1e3, std::max(0.0, missingMic) * 1e3, stopTook * 1e3);
}

// ---- failures without a working server ---------------------------------------------

// Points libpulse at another server for the duration of a test.
class ServerOverride {
public:
    explicit ServerOverride(const std::string& server) {
        if (const char* old = std::getenv("PULSE_SERVER")) old_ = old;
        setenv("PULSE_SERVER", server.c_str(), 1);
    }
    ~ServerOverride() {
        if (old_) {
            setenv("PULSE_SERVER", old_->c_str(), 1);
        } else {
            unsetenv("PULSE_SERVER");
        }
    }

private:
    std::optional<std::string> old_;
};

TEST(PulseConnectionTest, NoServerGivesTheServersErrorAtOnce) {
    ServerOverride server("unix:/nonexistent/velomar/native");
    std::string error;
    const double t0 = nowSeconds();
    EXPECT_FALSE(pulse::Connection::connect("VelomarCapture", &error));
    EXPECT_LT(nowSeconds() - t0, 2.0);
    EXPECT_FALSE(error.empty());

    auto registry = std::make_shared<NameRegistry>();
    auto hw = std::make_shared<PulseHardware>(registry);
    DeviceDirectory directory(*hw);
    EXPECT_TRUE(directory.inputDevices().empty());
    EXPECT_FALSE(directory.defaultInputDevice());
}

TEST(PulseConnectionTest, AServerThatNeverAnswersTimesOutInsteadOfHanging) {
    // A socket that accepts connections and never speaks.
    char dir[] = "/tmp/velomar-hung-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    const std::string path = std::string(dir) + "/native";
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(fd, 4), 0);
    {
        ServerOverride server("unix:" + path);
        std::string error;
        const double t0 = nowSeconds();
        EXPECT_FALSE(pulse::Connection::connect("VelomarCapture", &error));
        const double waited = nowSeconds() - t0;
        EXPECT_GE(waited, pulse::kWaitSeconds - 0.5);
        EXPECT_LT(waited, pulse::kWaitSeconds + 5);
        EXPECT_NE(error.find("timed out"), std::string::npos) << error;
    }
    close(fd);
    unlink(path.c_str());
    rmdir(dir);
}

}  // namespace
}  // namespace velomar

namespace velomar {
namespace {

using namespace platform;
using testing::Background;
using testing::TestServer;

// Kills the server and brings it back; these run last in this file and leave a
// server with the usual devices behind.
class PulseServerRestartTest : public PulseBackendTest {};

TEST_F(PulseServerRestartTest, TapResumesAndTheDefaultInputListenerFiresWhenTheServerComesBack) {
    auto tone = std::make_unique<Background>(toneCommand("velomar_speakers", 440, 0.5, 2));
    auto queue = dispatch::Queue::makeSerial("velomar.test.tap");
    auto listenerQueue = dispatch::Queue::makeSerial("velomar.test.listener");
    const PropertyAddress address{selector::defaultInputDevice, scope::global, 0};
    // What a listener finds when told: the microphone can only be reopened on a device.
    std::atomic<int> notificationsWithDevice{0};
    auto listener = std::make_shared<const PropertyListener>([&](std::uint32_t, const PropertyAddress*) {
        AudioObjectID id = 0;
        std::uint32_t size = sizeof id;
        if (hw_->getPropertyData(kSystemObject, address, size, &id) == kNoError && id != 0) ++notificationsWithDevice;
    });
    ASSERT_EQ(hw_->addPropertyListener(kSystemObject, address, *listenerQueue, listener), kNoError);
    TapRecording rec;
    Tap t = startTap(*hw_, queue, rec);
    ASSERT_TRUE(waitUntil([&] { return rec.frames > 24000; }, 10));

    tone.reset();
    ASSERT_EQ(TestServer::ctl("kill"), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::size_t whileAway = rec.frames;
    // The devices come 1.5 s after the server answers, as on a desktop still loading:
    // the listener must fire again once the default input is a real device.
    ASSERT_EQ(TestServer::ctl("start", "VELOMAR_DEVICES_DELAY=1.5"), 0);
    const double back = nowSeconds();
    tone = std::make_unique<Background>("until pactl list short sinks | grep -q velomar_speakers; do sleep 0.1; done; " +
                                        toneCommand("velomar_speakers", 880, 0.5, 2));

    EXPECT_TRUE(waitUntil([&] { return notificationsWithDevice >= 1; }, 10)) << "the microphone would stay deaf";
    // The stream is back as soon as the server is; the player takes a moment longer.
    EXPECT_TRUE(waitUntil(
        [&] {
            std::lock_guard g(rec.mutex);
            return rec.samples.size() > whileAway && analyse(lastSamples(rec.samples, 4800), 48000).peak > 0.4;
        },
        10))
        << "system audio did not resume";
    const std::size_t resumed = rec.frames;
    ASSERT_TRUE(waitUntil([&] { return rec.frames > resumed + 30000; }, 5));
    std::printf("[ figures  ] %s restart: listener after %.2f s\n", TestServer::kind().c_str(), nowSeconds() - back);
    EXPECT_EQ(hw_->tapSinkName(t.aggregate), "velomar_speakers");
    EXPECT_TRUE(waitUntil([] { return testing::firstLine("pactl get-default-source") == "velomar_mic"; }, 10))
        << "the restarted server's devices are incomplete";
    stopTap(*hw_, t, rec);
    EXPECT_EQ(hw_->removePropertyListener(kSystemObject, address, *listenerQueue, listener), kNoError);
    std::lock_guard g(rec.mutex);
    EXPECT_NEAR(analyse(lastSamples(rec.samples, 24000), 48000).frequency, 880, 10);
}

TEST_F(PulseServerRestartTest, StreamCaptureReportsALostServerAsAStopWithTheServersErrorText) {
    pulse::PulseStreamCapture capture(registry_);
    std::string error;
    auto c = content(capture, &error);
    ASSERT_TRUE(c) << error;
    auto collector = std::make_shared<Collector>();
    StreamConfiguration config;
    config.capturesAudio = true;
    config.captureMicrophone = true;
    auto stream = capture.makeStream({c->displays[0], {}}, config, collector);
    auto queue = dispatch::Queue::makeSerial("velomar.test.capture");
    ASSERT_FALSE(stream->addStreamOutput(collector, StreamOutputType::audio, queue));
    ASSERT_FALSE(startAndWait(*stream));
    ASSERT_TRUE(waitUntil([&] { return collector->count(StreamOutputType::audio) > 5; }, 10));

    ASSERT_EQ(TestServer::ctl("kill"), 0);
    EXPECT_TRUE(waitUntil([&] { return collector->stopCount >= 1; }, 10));
    // While the server is away a new stream cannot start: the content query fails.
    std::string awayError;
    EXPECT_FALSE(content(capture, &awayError));
    EXPECT_NE(awayError.find("could not connect to the sound server"), std::string::npos) << awayError;
    ASSERT_EQ(TestServer::ctl("start"), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(collector->stopCount, 1);
    std::lock_guard g(collector->mutex);
    ASSERT_FALSE(collector->stops.empty());
    EXPECT_FALSE(collector->stops[0].empty());
    std::printf("[ figures  ] %s: stream stopped with \"%s\"\n", TestServer::kind().c_str(), collector->stops[0].c_str());
}

}  // namespace
}  // namespace velomar
