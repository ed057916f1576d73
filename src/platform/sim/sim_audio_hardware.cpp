#include "platform/sim/sim_audio_hardware.h"

#include <algorithm>
#include <cstring>

#include "platform/sim/sim_state.h"

namespace velomar::sim {
using namespace platform;
using State = SimAudioHardware::State;

namespace {

constexpr std::uint32_t kStringSlotSize = 8;

bool matches(const Fault& f, const std::string& call, std::optional<std::uint64_t> object,
             std::optional<std::uint32_t> selector, std::optional<std::uint32_t> scope,
             std::optional<std::uint32_t> element) {
    if (f.call != call || f.times == 0) return false;
    if (f.object && f.object != object) return false;
    if (f.selector && f.selector != selector) return false;
    if (f.scope && f.scope != scope) return false;
    if (f.element && f.element != element) return false;
    return true;
}

// A done-flag that a delivering thread can wait on.
struct Latch {
    std::mutex mutex;
    std::condition_variable cv;
    std::size_t remaining = 0;
    void countDown() {
        std::lock_guard lock(mutex);
        if (--remaining == 0) cv.notify_all();
    }
    void wait() {
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return remaining == 0; });
    }
};

// Owned input list: the bytes live as long as the queued block calls need them.
struct OwnedList {
    std::vector<SimBuffer> buffers;
    pcm::AudioBufferList view() {
        pcm::AudioBufferList list;
        for (auto& b : buffers) {
            list.buffers.push_back({b.numberChannels, static_cast<std::uint32_t>(b.bytes.size()),
                                    b.bytes.empty() ? nullptr : b.bytes.data()});
        }
        return list;
    }
};

}  // namespace

// ---- State ------------------------------------------------------------------

std::optional<Fault> State::fault(const std::string& call, std::optional<std::uint64_t> object,
                                  std::optional<std::uint32_t> selector, std::optional<std::uint32_t> scope,
                                  std::optional<std::uint32_t> element) {
    ++callCounts[call];
    for (auto& f : faults) {
        if (!matches(f, call, object, selector, scope, element)) continue;
        if (f.times > 0) --f.times;
        return f;
    }
    return std::nullopt;
}

Inventory State::live() const {
    Inventory inv;
    inv.taps = taps.size();
    for (const auto& [id, d] : devices) inv.aggregates += d.aggregate ? 1 : 0;
    inv.ioProcs = ioProcs.size();
    for (const auto& [id, p] : ioProcs) inv.runningIOProcs += p.running ? 1 : 0;
    inv.units = units.size();
    for (const auto& [id, u] : units) {
        inv.initializedUnits += u.info.initialized ? 1 : 0;
        inv.runningUnits += u.info.running ? 1 : 0;
    }
    inv.listeners = listeners.size();
    return inv;
}

std::vector<std::pair<dispatch::Queue*, dispatch::Work>> State::notifications(AudioObjectID object,
                                                                              const PropertyAddress& address,
                                                                              const std::shared_ptr<State>& self) {
    std::vector<std::pair<dispatch::Queue*, dispatch::Work>> out;
    std::weak_ptr<State> weak = self;
    for (const auto& l : listeners) {
        if (l.object != object || !(l.address == address)) continue;
        auto listener = l.listener;
        auto* queue = l.queue;
        out.emplace_back(queue, [weak, object, address, queue, listener] {
            // A listener removed before its turn on the queue is not called.
            auto state = weak.lock();
            if (!state) return;
            {
                std::lock_guard lock(state->mutex);
                auto& ls = state->listeners;
                bool registered = std::any_of(ls.begin(), ls.end(), [&](const State::Listener& x) {
                    return x.object == object && x.address == address && x.queue == queue && x.listener == listener;
                });
                if (!registered) return;
            }
            PropertyAddress copy = address;
            (*listener)(1, &copy);
        });
    }
    return out;
}

pcm::StreamDescription hardwareFormatOf(const State::Device& device) {
    if (device.aggregate) return device.aggregateFormat.value_or(pcm::StreamDescription{});
    if (device.config.hardwareFormat) return *device.config.hardwareFormat;
    std::uint32_t channels = 0;
    for (auto c : device.config.inputStreams) channels += c;
    return pcm::linearDescription(pcm::SampleType::float32, device.config.nominalSampleRate, channels, true);
}

// ---- SimAudioHardware: properties ----------------------------------------------

SimAudioHardware::SimAudioHardware() : state_(std::make_shared<State>()) {
    state_->aggregateFormat = pcm::linearDescription(pcm::SampleType::float32, 48000.0, 1, true);
}

SimAudioHardware::~SimAudioHardware() = default;

namespace {

// Size of a fixed or list value; kNoError when the property exists.
OSStatus valueSize(const State& s, AudioObjectID object, const PropertyAddress& a, std::uint32_t& size) {
    if (object == kSystemObject) {
        if (a.selector == selector::devices) {
            size = static_cast<std::uint32_t>(4 * s.deviceList.size());
            return kNoError;
        }
        if (a.selector == selector::defaultInputDevice) {
            size = 4;
            return kNoError;
        }
        return kErrUnknownProperty;
    }
    if (s.taps.count(object)) {
        if (a.selector == selector::tapUID) {
            size = kStringSlotSize;
            return kNoError;
        }
        return kErrUnknownProperty;
    }
    auto it = s.devices.find(object);
    if (it == s.devices.end()) return kErrBadObject;
    const auto& d = it->second;
    switch (a.selector) {
        case selector::streamConfiguration: {
            std::size_t streams = 0;
            if (d.aggregate) {
                streams = a.scope == scope::input ? 1 : 0;
            } else {
                streams = (a.scope == scope::input ? d.config.inputStreams : d.config.outputStreams).size();
            }
            size = static_cast<std::uint32_t>(4 + 4 * streams);
            return kNoError;
        }
        case selector::deviceUID:
        case selector::name:
            size = kStringSlotSize;
            return kNoError;
        case selector::nominalSampleRate:
            size = 8;
            return kNoError;
        case selector::streamFormat:
            size = sizeof(pcm::StreamDescription);
            return kNoError;
        default:
            return kErrUnknownProperty;
    }
}

}  // namespace

OSStatus SimAudioHardware::getPropertyDataSize(AudioObjectID object, const PropertyAddress& address,
                                               std::uint32_t& outSize) {
    std::function<void()> hook;
    OSStatus status;
    {
        std::lock_guard lock(state_->mutex);
        if (auto f = state_->fault("getPropertyDataSize", object, address)) return f->status;
        std::uint32_t size = 0;
        status = valueSize(*state_, object, address, size);
        if (status == kNoError) outSize = size;
        if (status == kNoError && object == kSystemObject && address.selector == selector::devices) {
            hook = std::move(state_->afterDeviceListSize);
            state_->afterDeviceListSize = nullptr;
        }
    }
    if (hook) hook();
    return status;
}

OSStatus SimAudioHardware::getPropertyData(AudioObjectID object, const PropertyAddress& address,
                                           std::uint32_t& ioSize, void* data) {
    std::lock_guard lock(state_->mutex);
    auto& s = *state_;
    if (auto f = s.fault("getPropertyData", object, address)) return f->status;
    std::uint32_t size = 0;
    if (OSStatus st = valueSize(s, object, address, size); st != kNoError) return st;
    if (data == nullptr) return kErrIllegalOperation;
    auto* out = static_cast<std::uint8_t*>(data);

    if (object == kSystemObject && address.selector == selector::devices) {
        // Writes as many IDs as fit and reports how many bytes it wrote.
        std::size_t n = std::min<std::size_t>(ioSize / 4, s.deviceList.size());
        std::memcpy(out, s.deviceList.data(), 4 * n);
        ioSize = static_cast<std::uint32_t>(4 * n);
        return kNoError;
    }
    if (address.selector == selector::deviceUID || address.selector == selector::name ||
        address.selector == selector::tapUID) {
        return kErrIllegalOperation;  // strings are read with getStringProperty
    }
    if (ioSize < size) return kErrBadPropertySize;
    if (object == kSystemObject) {  // 'dIn '
        std::memcpy(out, &s.defaultInput, 4);
        ioSize = 4;
        return kNoError;
    }
    const auto& d = s.devices.at(object);
    switch (address.selector) {
        case selector::streamConfiguration: {
            std::vector<std::uint32_t> streams;
            if (d.aggregate) {
                if (address.scope == scope::input) streams.push_back(hardwareFormatOf(d).channelsPerFrame);
            } else {
                streams = address.scope == scope::input ? d.config.inputStreams : d.config.outputStreams;
            }
            StreamConfigurationHeader header{static_cast<std::uint32_t>(streams.size())};
            std::memcpy(out, &header, sizeof header);
            if (!streams.empty()) std::memcpy(out + sizeof header, streams.data(), 4 * streams.size());
            ioSize = size;
            return kNoError;
        }
        case selector::nominalSampleRate: {
            double rate = d.aggregate ? hardwareFormatOf(d).sampleRate : d.config.nominalSampleRate;
            std::memcpy(out, &rate, 8);
            ioSize = 8;
            return kNoError;
        }
        case selector::streamFormat: {
            if (address.scope != scope::input) return kErrUnknownProperty;
            auto format = hardwareFormatOf(d);
            std::memcpy(out, &format, sizeof format);
            ioSize = sizeof format;
            return kNoError;
        }
        default:
            return kErrUnknownProperty;
    }
}

OSStatus SimAudioHardware::getStringProperty(AudioObjectID object, const PropertyAddress& address,
                                             std::string& out) {
    std::lock_guard lock(state_->mutex);
    auto& s = *state_;
    if (auto f = s.fault("getStringProperty", object, address)) return f->status;
    if (auto t = s.taps.find(object); t != s.taps.end()) {
        if (address.selector != selector::tapUID) return kErrUnknownProperty;
        out = t->second.uid;
        return kNoError;
    }
    auto it = s.devices.find(object);
    if (it == s.devices.end()) return object == kSystemObject ? kErrUnknownProperty : kErrBadObject;
    const auto& d = it->second;
    if (address.selector == selector::deviceUID) {
        out = d.aggregate ? d.aggregateUID : d.config.uid;
        return kNoError;
    }
    if (address.selector == selector::name) {
        out = d.config.name;
        return kNoError;
    }
    return kErrUnknownProperty;
}

// ---- listeners --------------------------------------------------------------

OSStatus SimAudioHardware::addPropertyListener(AudioObjectID object, const PropertyAddress& address,
                                               dispatch::Queue& queue, PropertyListenerRef listener) {
    auto& s = *state_;
    return s.call("addPropertyListener", [&]() -> OSStatus {
        if (object != kSystemObject && !s.devices.count(object) && !s.taps.count(object)) return kErrBadObject;
        if (!listener || !*listener) return kErrIllegalOperation;
        s.listeners.push_back({object, address, &queue, std::move(listener)});
        ++s.created.listeners;
        return kNoError;
    }, object, address);
}

OSStatus SimAudioHardware::removePropertyListener(AudioObjectID object, const PropertyAddress& address,
                                                  dispatch::Queue& queue, PropertyListenerRef listener) {
    auto& s = *state_;
    return s.call("removePropertyListener", [&]() -> OSStatus {
        auto it = std::find_if(s.listeners.begin(), s.listeners.end(), [&](const State::Listener& l) {
            return l.object == object && l.address == address && l.queue == &queue && l.listener == listener;
        });
        if (it == s.listeners.end()) {
            s.violations.push_back("removePropertyListener: no such listener");
            return kErrIllegalOperation;
        }
        s.listeners.erase(it);
        return kNoError;
    }, object, address);
}

void SimAudioHardware::notifyPropertyChanged(AudioObjectID object, const PropertyAddress& address) {
    std::vector<std::pair<dispatch::Queue*, dispatch::Work>> work;
    {
        std::lock_guard lock(state_->mutex);
        work = state_->notifications(object, address, state_);
    }
    for (auto& [queue, w] : work) queue->async(std::move(w));
}

// ---- taps and aggregate devices ---------------------------------------------

namespace {

// A create call's journal entries; the status when an injected fault fails it.
template <typename Description, typename Id>
std::optional<OSStatus> recordCreate(State& s, const char* name, std::vector<Description>& descriptions,
                                     const Description& description, Id& outId) {
    s.log(name);
    descriptions.push_back(description);
    return failedCreation(s.fault(name), outId);
}

// Destroys an object of `table`: unknown (or not of the kind) is a bad object; what still
// refers to it is reported as a violation, and it goes anyway, as the real layer lets it.
template <typename Table, typename Accept, typename ReportUsers>
OSStatus destroyObject(State& s, const char* name, Table& table, AudioObjectID object, Accept accept,
                       ReportUsers reportUsers) {
    return s.call(name, [&]() -> OSStatus {
        auto it = table.find(object);
        if (it == table.end() || !accept(it->second)) return kErrBadObject;
        reportUsers(it->second);
        table.erase(it);
        return kNoError;
    }, object);
}

}  // namespace

OSStatus SimAudioHardware::createProcessTap(const TapDescription& description, AudioObjectID& outTap) {
    std::lock_guard lock(state_->mutex);
    auto& s = *state_;
    if (auto status = recordCreate(s, "createProcessTap", s.tapDescriptions, description, outTap)) return *status;
    AudioObjectID id = s.nextObject++;
    s.taps[id] = State::Tap{"sim-tap-" + std::to_string(id)};
    ++s.created.taps;
    outTap = id;
    return kNoError;
}

OSStatus SimAudioHardware::destroyProcessTap(AudioObjectID tap) {
    auto& s = *state_;
    return destroyObject(s, "destroyProcessTap", s.taps, tap, [](const State::Tap&) { return true; },
                         [&s](const State::Tap& t) {
                             for (const auto& [id, d] : s.devices) {
                                 if (std::find(d.tapUIDs.begin(), d.tapUIDs.end(), t.uid) == d.tapUIDs.end()) continue;
                                 s.violations.push_back("destroyProcessTap: tap still in aggregate device " +
                                                        std::to_string(id));
                             }
                         });
}

OSStatus SimAudioHardware::createAggregateDevice(const AggregateDeviceDescription& description,
                                                 AudioObjectID& outDevice) {
    std::lock_guard lock(state_->mutex);
    auto& s = *state_;
    if (auto status = recordCreate(s, "createAggregateDevice", s.aggregateDescriptions, description, outDevice)) {
        return *status;
    }
    AudioObjectID id = s.nextObject++;
    State::Device d;
    d.aggregate = true;
    d.aggregateUID = description.uid;
    d.config.name = description.name;
    for (const auto& t : description.taps) d.tapUIDs.push_back(t.uid);
    d.aggregateFormat = s.aggregateFormat;
    s.devices[id] = std::move(d);
    ++s.created.aggregates;
    outDevice = id;
    return kNoError;
}

OSStatus SimAudioHardware::destroyAggregateDevice(AudioObjectID device) {
    auto& s = *state_;
    return destroyObject(s, "destroyAggregateDevice", s.devices, device,
                         [](const State::Device& d) { return d.aggregate; },
                         [&s, device](const State::Device&) {
                             for (const auto& [id, p] : s.ioProcs) {
                                 if (p.device == device) s.violations.push_back("destroyAggregateDevice: IOProc still registered");
                             }
                         });
}

// ---- IOProcs ----------------------------------------------------------------

OSStatus SimAudioHardware::createIOProcIDWithBlock(IOProcID& outID, AudioObjectID device,
                                                   std::shared_ptr<dispatch::Queue> queue, IOBlock block) {
    std::lock_guard lock(state_->mutex);
    auto& s = *state_;
    if (auto status = failedCreation(s.enter("createIOProcIDWithBlock", device), outID)) return *status;
    if (!s.devices.count(device)) return kErrBadObject;
    if (!queue || !block) return kErrIllegalOperation;
    IOProcID id = s.nextIOProc++;
    State::IOProc p;
    p.device = device;
    p.queue = std::move(queue);
    p.block = std::make_shared<IOBlock>(std::move(block));
    s.ioProcs[id] = std::move(p);
    ++s.created.ioProcs;
    outID = id;
    return kNoError;
}

namespace {
// A call on one IOProc of `device`, journalled, under the state's lock; `body(ioProc,
// lock)` runs once no injected fault failed the call and the IOProc was found.
template <typename Body>
OSStatus ioProcCall(State& s, const std::string& call, AudioObjectID device, IOProcID id, Body body) {
    std::unique_lock lock(s.mutex);
    if (auto f = s.enter(call, device)) return f->status;
    auto it = s.ioProcs.find(id);
    if (it == s.ioProcs.end() || it->second.device != device) return kErrBadObject;
    return body(it->second, lock);
}
}  // namespace

OSStatus SimAudioHardware::destroyIOProcID(AudioObjectID device, IOProcID id) {
    auto& s = *state_;
    return ioProcCall(s, "destroyIOProcID", device, id, [&](State::IOProc& p, std::unique_lock<std::mutex>& lock) {
        if (p.running) {
            s.violations.push_back("destroyIOProcID: IOProc still running");
            p.running = false;
        }
        s.waitUntilIdle(lock, s.ioProcs, id);
        s.ioProcs.erase(id);
        return kNoError;
    });
}

OSStatus SimAudioHardware::deviceStart(AudioObjectID device, IOProcID id) {
    auto& s = *state_;
    return ioProcCall(s, "deviceStart", device, id, [&](State::IOProc& p, std::unique_lock<std::mutex>&) {
        if (!p.running) ++s.created.runningIOProcs;
        p.running = true;
        return kNoError;
    });
}

OSStatus SimAudioHardware::deviceStop(AudioObjectID device, IOProcID id) {
    auto& s = *state_;
    return ioProcCall(s, "deviceStop", device, id, [&](State::IOProc& p, std::unique_lock<std::mutex>& lock) {
        p.running = false;
        s.waitUntilIdle(lock, s.ioProcs, id);
        return kNoError;
    });
}

std::size_t SimAudioHardware::deliverIOCycle(AudioObjectID device, std::vector<SimBuffer> input,
                                             std::uint64_t hostTime, bool wait) {
    auto owned = std::make_shared<OwnedList>();
    owned->buffers = std::move(input);
    std::uint32_t frames = 0;
    std::vector<std::pair<IOProcID, std::shared_ptr<dispatch::Queue>>> targets;
    {
        std::lock_guard lock(state_->mutex);
        auto& s = *state_;
        auto dev = s.devices.find(device);
        if (dev != s.devices.end() && !owned->buffers.empty()) {
            auto format = hardwareFormatOf(dev->second);
            std::uint32_t bytesPerFrame = format.bytesPerFrame;
            if (bytesPerFrame == 0) bytesPerFrame = 4 * std::max(1u, owned->buffers.front().numberChannels);
            frames = static_cast<std::uint32_t>(owned->buffers.front().bytes.size() / bytesPerFrame);
        }
        for (const auto& [id, p] : s.ioProcs) {
            if (p.device == device && p.running) targets.emplace_back(id, p.queue);
        }
    }
    auto latch = std::make_shared<Latch>();
    latch->remaining = targets.size();
    std::weak_ptr<State> weak = state_;
    for (auto& [id, queue] : targets) {
        queue->async([weak, id = id, owned, latch, hostTime, frames] {
            auto state = weak.lock();
            std::shared_ptr<IOBlock> block;
            AudioTimeStamp stamp;
            if (state) {
                std::lock_guard lock(state->mutex);
                auto it = state->ioProcs.find(id);
                if (it != state->ioProcs.end() && it->second.running) {
                    block = it->second.block;
                    ++it->second.inFlight;
                    it->second.callingThread = std::this_thread::get_id();
                    stamp.sampleTime = it->second.sampleTime;
                    it->second.sampleTime += frames;
                }
            }
            if (block) {
                stamp.hostTime = hostTime;
                stamp.flags = kTimeStampSampleTimeValid | kTimeStampHostTimeValid;
                pcm::AudioBufferList in = owned->view();
                pcm::AudioBufferList out;
                AudioTimeStamp outStamp = stamp;
                (*block)(stamp, &in, stamp, &out, outStamp);
                std::lock_guard lock(state->mutex);
                auto it = state->ioProcs.find(id);
                if (it != state->ioProcs.end()) {
                    --it->second.inFlight;
                    it->second.callingThread = {};
                }
                state->idle.notify_all();
            }
            latch->countDown();
        });
    }
    if (wait) latch->wait();
    return targets.size();
}

std::size_t SimAudioHardware::deliverIOCycle(AudioObjectID device, std::uint32_t frames,
                                             const pcm::StreamDescription& format, std::uint64_t hostTime,
                                             const std::vector<std::vector<float>>& channels, bool wait) {
    const std::uint32_t nch = format.channelsPerFrame;
    const bool interleaved = (format.formatFlags & pcm::kFlagIsNonInterleaved) == 0;
    const std::uint32_t bytesPerSample = std::max(1u, format.bitsPerChannel / 8);
    auto sample = [&](std::uint32_t c, std::uint32_t f) {
        return c < channels.size() && f < channels[c].size() ? channels[c][f] : 0.0f;
    };
    auto put = [&](std::uint8_t* dst, float v) {
        if (format.formatFlags & pcm::kFlagIsFloat) {
            std::memcpy(dst, &v, 4);
        } else if (bytesPerSample == 2) {
            auto x = static_cast<std::int16_t>(std::clamp(v, -1.0f, 1.0f) * 32767.0f);
            std::memcpy(dst, &x, 2);
        } else {
            auto x = static_cast<std::int32_t>(static_cast<double>(std::clamp(v, -1.0f, 1.0f)) * 2147483647.0);
            std::memcpy(dst, &x, 4);
        }
    };
    std::vector<SimBuffer> list;
    if (interleaved) {
        SimBuffer b{nch, std::vector<std::uint8_t>(std::size_t(frames) * nch * bytesPerSample)};
        for (std::uint32_t f = 0; f < frames; ++f) {
            for (std::uint32_t c = 0; c < nch; ++c) put(&b.bytes[(std::size_t(f) * nch + c) * bytesPerSample], sample(c, f));
        }
        list.push_back(std::move(b));
    } else {
        for (std::uint32_t c = 0; c < nch; ++c) {
            SimBuffer b{1, std::vector<std::uint8_t>(std::size_t(frames) * bytesPerSample)};
            for (std::uint32_t f = 0; f < frames; ++f) put(&b.bytes[std::size_t(f) * bytesPerSample], sample(c, f));
            list.push_back(std::move(b));
        }
    }
    return deliverIOCycle(device, std::move(list), hostTime, wait);
}

// ---- machine set-up ---------------------------------------------------------

AudioObjectID SimAudioHardware::addDevice(SimDevice device) {
    std::lock_guard lock(state_->mutex);
    auto& s = *state_;
    AudioObjectID id = s.nextObject++;
    State::Device d;
    d.config = std::move(device);
    s.devices[id] = std::move(d);
    s.deviceList.push_back(id);
    return id;
}

void SimAudioHardware::removeDevice(AudioObjectID device) {
    std::vector<std::pair<dispatch::Queue*, dispatch::Work>> work;
    {
        std::lock_guard lock(state_->mutex);
        auto& s = *state_;
        s.devices.erase(device);
        std::erase(s.deviceList, device);
        if (s.defaultInput == device && device != 0) {
            s.defaultInput = 0;
            work = s.notifications(kSystemObject, {selector::defaultInputDevice, scope::global, 0}, state_);
        }
    }
    for (auto& [queue, w] : work) queue->async(std::move(w));
}

void SimAudioHardware::setDeviceOrder(std::vector<AudioObjectID> order) {
    std::lock_guard lock(state_->mutex);
    state_->deviceList = std::move(order);
}

std::vector<AudioObjectID> SimAudioHardware::deviceList() const {
    std::lock_guard lock(state_->mutex);
    return state_->deviceList;
}

void SimAudioHardware::setDefaultInputDevice(AudioObjectID device) {
    std::vector<std::pair<dispatch::Queue*, dispatch::Work>> work;
    {
        std::lock_guard lock(state_->mutex);
        auto& s = *state_;
        if (s.defaultInput == device) return;
        s.defaultInput = device;
        work = s.notifications(kSystemObject, {selector::defaultInputDevice, scope::global, 0}, state_);
    }
    for (auto& [queue, w] : work) queue->async(std::move(w));
}

AudioObjectID SimAudioHardware::defaultInputDevice() const {
    std::lock_guard lock(state_->mutex);
    return state_->defaultInput;
}

void SimAudioHardware::setDeviceSignal(AudioObjectID device, SignalFn signal) {
    std::lock_guard lock(state_->mutex);
    if (auto it = state_->devices.find(device); it != state_->devices.end()) it->second.config.signal = std::move(signal);
}

void SimAudioHardware::setHardwareFormat(AudioObjectID device, std::optional<pcm::StreamDescription> format) {
    std::lock_guard lock(state_->mutex);
    if (auto it = state_->devices.find(device); it != state_->devices.end()) {
        it->second.config.hardwareFormat = format;
    }
}

void SimAudioHardware::makeUnreadable(AudioObjectID object, std::uint32_t sel, OSStatus status) {
    std::lock_guard lock(state_->mutex);
    for (const char* call : {"getPropertyDataSize", "getPropertyData", "getStringProperty"}) {
        Fault f = Fault::failing(call, status);
        f.object = object;
        f.selector = sel;
        state_->faults.push_back(std::move(f));
    }
}

void SimAudioHardware::afterNextDeviceListSize(std::function<void()> hook) {
    std::lock_guard lock(state_->mutex);
    state_->afterDeviceListSize = std::move(hook);
}

void SimAudioHardware::injectFault(Fault fault) {
    std::lock_guard lock(state_->mutex);
    state_->faults.push_back(std::move(fault));
}

void SimAudioHardware::clearFaults() {
    std::lock_guard lock(state_->mutex);
    state_->faults.clear();
}

void SimAudioHardware::setAggregateStreamFormat(pcm::StreamDescription format) {
    std::lock_guard lock(state_->mutex);
    state_->aggregateFormat = format;
}

std::vector<TapDescription> SimAudioHardware::tapDescriptions() const {
    std::lock_guard lock(state_->mutex);
    return state_->tapDescriptions;
}

std::vector<AggregateDeviceDescription> SimAudioHardware::aggregateDescriptions() const {
    std::lock_guard lock(state_->mutex);
    return state_->aggregateDescriptions;
}

std::vector<AudioObjectID> SimAudioHardware::liveTaps() const {
    std::lock_guard lock(state_->mutex);
    std::vector<AudioObjectID> out;
    for (const auto& [id, t] : state_->taps) out.push_back(id);
    return out;
}

std::vector<AudioObjectID> SimAudioHardware::liveAggregates() const {
    std::lock_guard lock(state_->mutex);
    std::vector<AudioObjectID> out;
    for (const auto& [id, d] : state_->devices) {
        if (d.aggregate) out.push_back(id);
    }
    return out;
}

std::optional<std::string> SimAudioHardware::tapUID(AudioObjectID tap) const {
    std::lock_guard lock(state_->mutex);
    auto it = state_->taps.find(tap);
    if (it == state_->taps.end()) return std::nullopt;
    return it->second.uid;
}

// ---- registry ---------------------------------------------------------------

Inventory SimAudioHardware::live() const {
    std::lock_guard lock(state_->mutex);
    return state_->live();
}

Inventory SimAudioHardware::created() const {
    std::lock_guard lock(state_->mutex);
    return state_->created;
}

std::vector<std::string> SimAudioHardware::journal() const {
    std::lock_guard lock(state_->mutex);
    return state_->journal;
}

std::size_t SimAudioHardware::callCount(const std::string& call) const {
    std::lock_guard lock(state_->mutex);
    auto it = state_->callCounts.find(call);
    return it == state_->callCounts.end() ? 0 : it->second;
}

std::vector<std::string> SimAudioHardware::violations() const {
    std::lock_guard lock(state_->mutex);
    return state_->violations;
}

std::size_t SimAudioHardware::listenerCount(AudioObjectID object, const PropertyAddress& address) const {
    std::lock_guard lock(state_->mutex);
    return static_cast<std::size_t>(std::count_if(state_->listeners.begin(), state_->listeners.end(),
                                                  [&](const State::Listener& l) {
                                                      return l.object == object && l.address == address;
                                                  }));
}

}  // namespace velomar::sim
