#include "platform/sim/sim_scenario.h"

#include <chrono>
#include <cmath>
#include <fstream>
#include <numbers>
#include <sstream>

#include "platform/pcm.h"
#include "platform/sim/sim_audio_hardware.h"
#include "platform/sim/sim_authorization.h"
#include "platform/sim/sim_platform.h"
#include "platform/sim/sim_stream_capture.h"

namespace velomar::sim {

namespace {

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string word; in >> word;) out.push_back(word);
    return out;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The text after the first n words, without surrounding blanks.
std::string textAfter(const std::string& line, std::size_t n) {
    std::size_t i = 0;
    for (std::size_t w = 0; w < n; ++w) {
        while (i < line.size() && isBlank(line[i])) ++i;
        while (i < line.size() && !isBlank(line[i])) ++i;
    }
    while (i < line.size() && isBlank(line[i])) ++i;
    std::size_t end = line.size();
    while (end > i && isBlank(line[end - 1])) --end;
    return line.substr(i, end - i);
}

double number(const std::string& word) {
    std::size_t used = 0;
    double value = 0;
    try {
        value = std::stod(word, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != word.size() || !std::isfinite(value)) throw ScenarioError("not a number: " + word);
    return value;
}

std::uint32_t count(const std::string& word) {
    const double value = number(word);
    if (value < 0 || value > 4294967295.0 || value != std::floor(value)) throw ScenarioError("not a count: " + word);
    return static_cast<std::uint32_t>(value);
}

std::int64_t integer(const std::string& word) {
    const double value = number(word);
    if (value != std::floor(value) || std::fabs(value) > 9.0e15) throw ScenarioError("not an integer: " + word);
    return static_cast<std::int64_t>(value);
}

FailStep failStep(const std::string& word) {
    if (word == "content") return FailStep::content;
    if (word == "audio-output") return FailStep::audioOutput;
    if (word == "mic-output") return FailStep::micOutput;
    if (word == "start") return FailStep::start;
    throw ScenarioError("unknown step: " + word);
}

// "ok" or "fail <step> <text>", starting at word index first.
AttemptOutcome outcome(const std::string& line, const std::vector<std::string>& w, std::size_t first) {
    if (w.size() == first + 1 && w[first] == "ok") return {};
    if (w.size() >= first + 3 && w[first] == "fail") return {failStep(w[first + 1]), textAfter(line, first + 2)};
    throw ScenarioError("expected ok or fail <step> <text>");
}

}  // namespace

std::unique_ptr<Scenario> Scenario::parse(std::istream& input, SimPlatform& platform) {
    std::unique_ptr<Scenario> scenario(new Scenario(platform));
    std::string line;
    int lineNumber = 0;
    while (std::getline(input, line)) {
        ++lineNumber;
        const auto w = words(line);
        if (w.empty() || w.front().front() == '#') continue;
        try {
            scenario->apply(line);
        } catch (const ScenarioError& error) {
            throw ScenarioError("scenario line " + std::to_string(lineNumber) + ": " + error.what());
        }
    }
    if (scenario->clock_) dispatch::setClock(scenario->clock_);
    auto* self = scenario.get();
    platform.streamCapture().onStreamStarted([self](int ordinal) { self->streamStarted(ordinal); });
    return scenario;
}

std::unique_ptr<Scenario> Scenario::load(const std::string& path, SimPlatform& platform) {
    std::ifstream file(path);
    if (!file) throw ScenarioError("cannot read scenario " + path);
    return parse(file, platform);
}

Scenario::~Scenario() {
    platform_.streamCapture().onStreamStarted(nullptr);
    stop();
}

void Scenario::apply(const std::string& line) {
    const auto w = words(line);
    const std::string& directive = w.front();
    auto& capture = platform_.streamCapture();
    auto need = [&](std::size_t n) {
        if (w.size() < n + 1) throw ScenarioError(directive + " needs " + std::to_string(n) + " arguments");
    };

    if (directive == "display") {
        need(1);
        displays_.push_back(platform::Display{count(w[1]), textAfter(line, 2)});
        capture.setDisplays(displays_);
    } else if (directive == "attempt") {
        need(1);
        capture.queueOutcomes({outcome(line, w, 1)});
    } else if (directive == "attempt-default") {
        need(1);
        capture.setDefaultOutcome(outcome(line, w, 1));
    } else if (directive == "start-delay") {
        need(1);
        capture.setStartDelay(number(w[1]) / 1000.0);
    } else if (directive == "stop-delay") {
        need(1);
        capture.setStopDelay(number(w[1]) / 1000.0);
    } else if (directive == "stop-interrupts") {
        need(1);
        capture.setStopInterruption(textAfter(line, 1));
    } else if (directive == "interrupt") {
        need(3);
        interruptions_.push_back(
            Interruption{static_cast<int>(count(w[1])), number(w[2]) / 1000.0, textAfter(line, 3)});
    } else if (directive == "audio") {
        need(5);
        if (w[1] != "system" && w[1] != "mic") throw ScenarioError("audio source must be system or mic");
        AudioSource source;
        source.mic = w[1] == "mic";
        source.rate = number(w[2]);
        source.channels = count(w[3]);
        source.frames = count(w[4]);
        source.periodSeconds = number(w[5]) / 1000.0;
        if (source.periodSeconds <= 0) throw ScenarioError("audio period must be positive");
        audio_.push_back(source);
    } else if (directive == "clock") {
        need(3);
        if (w[1] != "virtual") throw ScenarioError("clock must be virtual");
        clockStep_ = number(w[2]);
        clockPeriod_ = number(w[3]) / 1000.0;
        if (clockStep_ <= 0 || clockPeriod_ <= 0) throw ScenarioError("clock step and period must be positive");
        clock_ = std::make_shared<dispatch::ManualClock>();
    } else if (directive == "device") {
        need(4);
        const double rate = number(w[3]);
        auto device = SimDevice::input(w[1], textAfter(line, 4), {count(w[2])}, rate);
        device.signal = [rate](std::uint32_t, std::uint64_t frame) {
            return static_cast<float>(0.2 * std::sin(2.0 * std::numbers::pi * 330.0 * static_cast<double>(frame) / rate));
        };
        deviceIDs_[w[1]] = platform_.hardware().addDevice(std::move(device));
    } else if (directive == "default-input") {
        need(1);
        if (w[1] == "none") {
            platform_.hardware().setDefaultInputDevice(0);
        } else {
            auto found = deviceIDs_.find(w[1]);
            if (found == deviceIDs_.end()) throw ScenarioError("no device " + w[1]);
            platform_.hardware().setDefaultInputDevice(found->second);
        }
    } else if (directive == "auth") {
        need(2);
        if (w[1] == "status") {
            platform_.authorization().setStatus(static_cast<std::int32_t>(integer(w[2])));
        } else if (w[1] == "answer" && (w[2] == "grant" || w[2] == "deny")) {
            platform_.authorization().setAnswer(w[2] == "grant");
        } else {
            throw ScenarioError("expected auth status <n> or auth answer grant|deny");
        }
    } else if (directive == "fault") {
        need(2);
        auto fault = Fault::failing(w[1], static_cast<platform::OSStatus>(integer(w[2])));
        if (w.size() > 3) fault.times = static_cast<int>(integer(w[3]));
        platform_.hardware().injectFault(std::move(fault));
    } else if (directive == "tap-audio") {
        need(2);
        tapFrames_ = count(w[1]);
        tapPeriod_ = number(w[2]) / 1000.0;
        if (tapFrames_ == 0 || tapPeriod_ <= 0) throw ScenarioError("tap-audio needs frames and a positive period");
    } else {
        throw ScenarioError("unknown directive: " + directive);
    }
}

void Scenario::spawn(std::function<void()> work) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        ++running_;
    }
    // Detached: in the program the process ends while they run.
    std::thread([this, work = std::move(work)]() mutable {
        work();
        work = nullptr;
        std::lock_guard<std::mutex> lock(mutex_);
        if (--running_ == 0) wake_.notify_all();
    }).detach();
}

bool Scenario::pause(double seconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !wake_.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return stopping_; });
}

void Scenario::run() {
    if (clock_) {
        spawn([this] {
            while (pause(clockPeriod_)) clock_->advance(clockStep_);
        });
    }
    if (tapFrames_ > 0) spawn([this] { runTapAudio(); });
    for (const auto& source : audio_) {
        spawn([this, source] {
            const double frequency = source.mic ? 330.0 : 440.0;
            double phase = 0;
            const auto type = source.mic ? platform::StreamOutputType::microphone : platform::StreamOutputType::audio;
            while (pause(source.periodSeconds)) {
                std::vector<float> samples(std::size_t{source.frames} * source.channels);
                for (std::uint32_t f = 0; f < source.frames; ++f) {
                    const auto value = static_cast<float>(0.25 * std::sin(phase));
                    phase = std::fmod(phase + 2.0 * std::numbers::pi * frequency / source.rate, 2.0 * std::numbers::pi);
                    for (std::uint32_t c = 0; c < source.channels; ++c) samples[std::size_t{f} * source.channels + c] = value;
                }
                // Stamped with the host time of its first frame, as a device would.
                const double end = pcm::secondsForHostTime(pcm::hostTimeNow());
                const double first = end - static_cast<double>(source.frames) / source.rate;
                platform_.streamCapture().deliver(
                    SimSampleBuffer::floats(source.rate, source.channels, true, samples, first), type);
            }
        });
    }
}

void Scenario::runTapAudio() {
    // Packed mono float at 48 kHz: the aggregate device's stream format unless a test
    // sets another one.
    pcm::StreamDescription format = pcm::linearDescription(pcm::SampleType::float32, 48000, 1, true);
    std::vector<std::vector<float>> channels(1, std::vector<float>(tapFrames_));
    double phase = 0;
    while (pause(tapPeriod_)) {
        for (auto& sample : channels[0]) {
            sample = static_cast<float>(0.25 * std::sin(phase));
            phase = std::fmod(phase + 2.0 * std::numbers::pi * 440.0 / 48000.0, 2.0 * std::numbers::pi);
        }
        const std::uint64_t now = pcm::hostTimeNow();
        for (auto aggregate : platform_.hardware().liveAggregates()) {
            platform_.hardware().deliverIOCycle(aggregate, tapFrames_, format, now, channels);
        }
        for (auto unit : platform_.units().liveUnits()) platform_.units().renderCycle(unit, tapFrames_, now);
    }
}

void Scenario::streamStarted(int ordinal) {
    for (const auto& interruption : interruptions_) {
        if (interruption.ordinal != ordinal) continue;
        spawn([this, interruption] {
            if (pause(interruption.afterSeconds)) platform_.streamCapture().interrupt(interruption.error);
        });
    }
}

void Scenario::stop() {
    std::unique_lock<std::mutex> lock(mutex_);
    stopping_ = true;
    wake_.notify_all();
    wake_.wait(lock, [this] { return running_ == 0; });
}

}  // namespace velomar::sim
