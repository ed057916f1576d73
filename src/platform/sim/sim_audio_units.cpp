#include <algorithm>
#include <cstring>

#include "platform/sim/sim_audio_hardware.h"
#include "platform/sim/sim_state.h"

namespace velomar::sim {
using namespace platform;
using State = SimAudioHardware::State;

namespace {

constexpr AudioComponent kHALComponent = 1;

// The unit whose input callback the current thread is running (render is valid only there).
thread_local AudioUnit tlsRenderingUnit = 0;

pcm::StreamDescription clientFormatOf(const State& s, const State::Unit& u) {
    if (u.clientFormat) return *u.clientFormat;
    auto it = s.devices.find(u.info.device);
    if (it == s.devices.end()) return {};
    auto hw = hardwareFormatOf(it->second);
    return pcm::linearDescription(pcm::SampleType::float32, hw.sampleRate, hw.channelsPerFrame, false);
}

// The unit a call addresses, once an injected fault has had its chance to fail the
// call; null, with `status` set, when the call ends there.
State::Unit* unitFor(State& s, OSStatus& status, const std::string& call, AudioUnit unit,
                     std::optional<std::uint32_t> property = {}, std::optional<std::uint32_t> scope = {},
                     std::optional<std::uint32_t> element = {}) {
    if (auto f = s.fault(call, unit, property, scope, element)) {
        status = f->status;
        return nullptr;
    }
    auto it = s.units.find(unit);
    if (it == s.units.end()) {
        status = unitstatus::invalidUnit;
        return nullptr;
    }
    return &it->second;
}

// A call on one unit, journalled, under the state's lock; `body(unit, lock)` runs once
// the unit is found and no injected fault failed the call.
template <typename Body>
OSStatus unitCall(State& s, const std::string& call, AudioUnit unit, Body body) {
    std::unique_lock lock(s.mutex);
    s.log(call);
    OSStatus status = kNoError;
    State::Unit* const found = unitFor(s, status, call, unit);
    if (found == nullptr) return status;
    return body(*found, lock);
}

bool sameFields(std::uint32_t want, std::uint32_t have) { return want == 0 || want == have; }

}  // namespace

SimAudioUnits::SimAudioUnits(SimAudioHardware& hardware) : hardware_(hardware) {}

AudioComponent SimAudioUnits::findNext(AudioComponent previous, const ComponentDescription& description) {
    auto& s = *hardware_.state_;
    std::lock_guard lock(s.mutex);
    s.log("findNext");
    if (s.fault("findNext")) return 0;
    if (!s.componentAvailable || previous != 0) return 0;
    if (!sameFields(description.type, kUnitTypeOutput) || !sameFields(description.subType, kUnitSubTypeHALOutput) ||
        !sameFields(description.manufacturer, kUnitManufacturerApple)) {
        return 0;
    }
    return kHALComponent;
}

OSStatus SimAudioUnits::instanceNew(AudioComponent component, AudioUnit& outUnit) {
    auto& s = *hardware_.state_;
    std::lock_guard lock(s.mutex);
    s.log("instanceNew");
    if (auto status = failedCreation(s.fault("instanceNew"), outUnit)) return *status;
    if (component != kHALComponent) return unitstatus::paramError;
    AudioUnit id = s.nextUnit++;
    State::Unit u;
    u.info.device = s.defaultInput;
    s.units[id] = std::move(u);
    ++s.created.units;
    outUnit = id;
    return kNoError;
}

OSStatus SimAudioUnits::setProperty(AudioUnit unit, std::uint32_t property, std::uint32_t scope,
                                    std::uint32_t element, const void* data, std::uint32_t size) {
    auto& s = *hardware_.state_;
    std::lock_guard lock(s.mutex);
    s.log("setProperty");
    OSStatus status = kNoError;
    State::Unit* const found = unitFor(s, status, "setProperty", unit, property, scope, element);
    if (found == nullptr) return status;
    auto& u = *found;
    if (data == nullptr) return unitstatus::paramError;

    switch (property) {
        case unitprop::enableIO: {
            if (size != 4) return unitstatus::paramError;
            if (u.info.initialized) return unitstatus::initialized;
            std::uint32_t on = 0;
            std::memcpy(&on, data, 4);
            if (scope == unitscope::input && element == 1) {
                u.info.inputEnabled = on != 0;
            } else if (scope == unitscope::output && element == 0) {
                u.info.outputEnabled = on != 0;
            } else {
                return unitstatus::invalidElement;
            }
            return kNoError;
        }
        case unitprop::currentDevice: {
            if (scope != unitscope::global) return unitstatus::invalidScope;
            if (size != 4) return unitstatus::paramError;
            if (u.info.initialized) return unitstatus::initialized;
            AudioObjectID device = 0;
            std::memcpy(&device, data, 4);
            if (!s.devices.count(device)) return unitstatus::invalidPropertyValue;
            u.info.device = device;
            u.clientFormat.reset();
            return kNoError;
        }
        case unitprop::streamFormat: {
            if (size != sizeof(pcm::StreamDescription)) return unitstatus::paramError;
            pcm::StreamDescription d;
            std::memcpy(&d, data, sizeof d);
            if (scope == unitscope::input && element == 1) return unitstatus::propertyNotWritable;
            if (scope == unitscope::output && element == 1) {
                if (u.info.initialized) return unitstatus::initialized;
                auto dev = s.devices.find(u.info.device);
                // The unit converts sample type, layout and channel count, never the rate.
                if (dev == s.devices.end() || d.formatID != pcm::kFormatLinearPCM || d.channelsPerFrame == 0 ||
                    d.sampleRate != hardwareFormatOf(dev->second).sampleRate) {
                    return unitstatus::invalidPropertyValue;
                }
                u.clientFormat = d;
                u.info.clientFormat = d;
                return kNoError;
            }
            if (element == 0 && (scope == unitscope::input || scope == unitscope::output)) return kNoError;
            return unitstatus::invalidScope;
        }
        case unitprop::setInputCallback: {
            if (scope != unitscope::global) return unitstatus::invalidScope;
            if (size != sizeof(InputCallback)) return unitstatus::paramError;
            std::memcpy(&u.info.callback, data, sizeof(InputCallback));
            return kNoError;
        }
        default:
            return unitstatus::invalidProperty;
    }
}

OSStatus SimAudioUnits::getProperty(AudioUnit unit, std::uint32_t property, std::uint32_t scope,
                                    std::uint32_t element, void* data, std::uint32_t& ioSize) {
    auto& s = *hardware_.state_;
    std::lock_guard lock(s.mutex);
    OSStatus status = kNoError;
    State::Unit* const found = unitFor(s, status, "getProperty", unit, property, scope, element);
    if (found == nullptr) return status;
    const auto& u = *found;
    if (data == nullptr) return unitstatus::paramError;

    auto put = [&](const void* value, std::uint32_t n) {
        if (ioSize < n) return unitstatus::paramError;
        std::memcpy(data, value, n);
        ioSize = n;
        return kNoError;
    };
    switch (property) {
        case unitprop::enableIO: {
            std::uint32_t on = 0;
            if (scope == unitscope::input && element == 1) {
                on = u.info.inputEnabled;
            } else if (scope == unitscope::output && element == 0) {
                on = u.info.outputEnabled;
            } else {
                return unitstatus::invalidElement;
            }
            return put(&on, 4);
        }
        case unitprop::currentDevice:
            return put(&u.info.device, 4);
        case unitprop::streamFormat: {
            if (element != 1) return unitstatus::invalidElement;
            pcm::StreamDescription d;
            if (scope == unitscope::input) {
                auto dev = s.devices.find(u.info.device);
                if (dev == s.devices.end()) return kErrBadObject;
                d = hardwareFormatOf(dev->second);
            } else if (scope == unitscope::output) {
                d = clientFormatOf(s, u);
            } else {
                return unitstatus::invalidScope;
            }
            return put(&d, sizeof d);
        }
        case unitprop::setInputCallback:
            return put(&u.info.callback, sizeof(InputCallback));
        default:
            return unitstatus::invalidProperty;
    }
}

OSStatus SimAudioUnits::initialize(AudioUnit unit) {
    auto& s = *hardware_.state_;
    return unitCall(s, "initialize", unit, [&](State::Unit& u, std::unique_lock<std::mutex>&) {
        if (!u.info.initialized) ++s.created.initializedUnits;
        u.info.initialized = true;
        return kNoError;
    });
}

OSStatus SimAudioUnits::outputUnitStart(AudioUnit unit) {
    auto& s = *hardware_.state_;
    return unitCall(s, "outputUnitStart", unit, [&](State::Unit& u, std::unique_lock<std::mutex>&) {
        if (!u.info.initialized) return unitstatus::uninitialized;
        if (!u.info.running) ++s.created.runningUnits;
        u.info.running = true;
        return kNoError;
    });
}

OSStatus SimAudioUnits::render(AudioUnit unit, std::uint32_t* flags, const AudioTimeStamp& timeStamp,
                               std::uint32_t bus, std::uint32_t frames, pcm::AudioBufferList& list) {
    (void)flags;
    (void)timeStamp;
    auto& s = *hardware_.state_;
    SignalFn signal;
    pcm::StreamDescription format;
    std::uint64_t firstFrame = 0;
    {
        std::lock_guard lock(s.mutex);
        OSStatus status = kNoError;
        State::Unit* const found = unitFor(s, status, "render", unit);
        if (found == nullptr) return status;
        if (tlsRenderingUnit != unit) {
            s.violations.push_back("render outside the unit's input callback");
            return unitstatus::cannotDoInCurrentContext;
        }
        if (bus != 1) return unitstatus::invalidElement;
        const auto& u = *found;
        if (frames != u.cycleFrames) return unitstatus::paramError;
        format = clientFormatOf(s, u);
        firstFrame = u.framesRendered;
        if (auto dev = s.devices.find(u.info.device); dev != s.devices.end()) signal = dev->second.config.signal;
    }

    const std::uint32_t channels = format.channelsPerFrame;
    const bool interleaved = (format.formatFlags & pcm::kFlagIsNonInterleaved) == 0;
    const bool isFloat = (format.formatFlags & pcm::kFlagIsFloat) != 0 && format.bitsPerChannel == 32;
    const std::size_t perBuffer = interleaved ? channels : 1;
    const std::size_t expectedBuffers = interleaved ? 1 : channels;
    const std::uint64_t bytes = std::uint64_t(frames) * perBuffer * (format.bitsPerChannel / 8);
    if (list.buffers.size() != expectedBuffers || !isFloat) return unitstatus::paramError;
    for (const auto& b : list.buffers) {
        if (b.data == nullptr || b.dataByteSize < bytes) return unitstatus::paramError;
    }
    for (std::size_t i = 0; i < list.buffers.size(); ++i) {
        auto* out = static_cast<float*>(list.buffers[i].data);
        for (std::uint32_t f = 0; f < frames; ++f) {
            for (std::size_t c = 0; c < perBuffer; ++c) {
                auto channel = static_cast<std::uint32_t>(interleaved ? c : i);
                out[f * perBuffer + c] = signal ? signal(channel, firstFrame + f) : 0.0f;
            }
        }
        list.buffers[i].dataByteSize = static_cast<std::uint32_t>(bytes);
        list.buffers[i].numberChannels = static_cast<std::uint32_t>(perBuffer);
    }
    std::lock_guard lock(s.mutex);
    if (auto it = s.units.find(unit); it != s.units.end()) ++it->second.info.renders;
    return kNoError;
}

OSStatus SimAudioUnits::outputUnitStop(AudioUnit unit) {
    auto& s = *hardware_.state_;
    return unitCall(s, "outputUnitStop", unit, [&](State::Unit& u, std::unique_lock<std::mutex>& lock) {
        u.info.running = false;
        s.waitUntilIdle(lock, s.units, unit);
        return kNoError;
    });
}

OSStatus SimAudioUnits::uninitialize(AudioUnit unit) {
    auto& s = *hardware_.state_;
    return unitCall(s, "uninitialize", unit, [&](State::Unit& u, std::unique_lock<std::mutex>&) {
        if (u.info.running) s.violations.push_back("uninitialize: unit still running");
        u.info.initialized = false;
        return kNoError;
    });
}

OSStatus SimAudioUnits::instanceDispose(AudioUnit unit) {
    auto& s = *hardware_.state_;
    return unitCall(s, "instanceDispose", unit, [&](State::Unit& u, std::unique_lock<std::mutex>& lock) {
        if (u.info.running) {
            s.violations.push_back("instanceDispose: unit still running");
            u.info.running = false;
            s.waitUntilIdle(lock, s.units, unit);
        }
        s.units.erase(unit);
        return kNoError;
    });
}

void SimAudioUnits::setComponentAvailable(bool available) {
    auto& s = *hardware_.state_;
    std::lock_guard lock(s.mutex);
    s.componentAvailable = available;
}

std::optional<OSStatus> SimAudioUnits::renderCycle(AudioUnit unit, std::uint32_t frames, std::uint64_t hostTime) {
    auto& s = *hardware_.state_;
    InputCallback callback;
    AudioTimeStamp stamp;
    {
        std::lock_guard lock(s.mutex);
        auto it = s.units.find(unit);
        if (it == s.units.end() || !it->second.info.running || it->second.info.callback.proc == nullptr) {
            return std::nullopt;
        }
        auto& u = it->second;
        callback = u.info.callback;
        ++u.inFlight;
        u.callingThread = std::this_thread::get_id();
        u.cycleFrames = frames;
        stamp.sampleTime = static_cast<double>(u.framesRendered);
    }
    stamp.hostTime = hostTime;
    stamp.flags = kTimeStampSampleTimeValid | kTimeStampHostTimeValid;
    std::uint32_t flags = 0;
    AudioUnit outer = tlsRenderingUnit;
    tlsRenderingUnit = unit;
    OSStatus status = callback.proc(callback.refCon, &flags, &stamp, 1, frames, nullptr);
    tlsRenderingUnit = outer;
    {
        std::lock_guard lock(s.mutex);
        if (auto it = s.units.find(unit); it != s.units.end()) {
            --it->second.inFlight;
            it->second.callingThread = {};
            it->second.framesRendered += frames;
        }
    }
    s.idle.notify_all();
    return status;
}

std::optional<SimAudioUnits::UnitInfo> SimAudioUnits::unitInfo(AudioUnit unit) const {
    auto& s = *hardware_.state_;
    std::lock_guard lock(s.mutex);
    auto it = s.units.find(unit);
    if (it == s.units.end()) return std::nullopt;
    return it->second.info;
}

std::vector<AudioUnit> SimAudioUnits::liveUnits() const {
    auto& s = *hardware_.state_;
    std::lock_guard lock(s.mutex);
    std::vector<AudioUnit> out;
    for (const auto& [id, u] : s.units) out.push_back(id);
    return out;
}

}  // namespace velomar::sim
