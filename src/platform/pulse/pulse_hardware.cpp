#include "platform/pulse/pulse_hardware.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace velomar::pulse {

using namespace platform;

namespace {

constexpr OSStatus kUnitErrUninitialized = -10867;
constexpr OSStatus kUnitErrFormatNotSupported = -10868;
constexpr OSStatus kUnitErrInvalidProperty = -10879;
constexpr OSStatus kUnitErrInvalidElement = -10877;
constexpr OSStatus kUnitErrInvalidScope = -10866;
constexpr AudioComponent kHALComponent = 1;

const char* kClientName = "VelomarCapture";

// Process-wide queues: never destroyed, so no work item can outlive its queue.
dispatch::Queue& controlQueue() {
    static auto* queue = new std::shared_ptr<dispatch::Queue>(dispatch::Queue::makeSerial("velomar.pulse.control"));
    return **queue;
}
dispatch::Queue& inputQueue() {
    static auto* queue = new std::shared_ptr<dispatch::Queue>(dispatch::Queue::makeSerial("velomar.pulse.input"));
    return **queue;
}

pcm::StreamDescription floatDescription(double rate, std::uint32_t channels, bool nonInterleaved) {
    pcm::StreamDescription d;
    d.sampleRate = rate;
    d.formatID = pcm::kFormatLinearPCM;
    d.formatFlags = pcm::kFlagIsFloat | pcm::kFlagIsPacked | (nonInterleaved ? pcm::kFlagIsNonInterleaved : 0u);
    d.framesPerPacket = 1;
    d.bytesPerFrame = nonInterleaved ? 4 : 4 * channels;
    d.bytesPerPacket = d.bytesPerFrame;
    d.channelsPerFrame = channels;
    d.bitsPerChannel = 32;
    return d;
}

// Averages all channels into one (mono), or keeps the first two (stereo).
void downmix(RecordStream::Chunk& chunk, std::uint32_t outChannels) {
    const std::uint32_t in = chunk.channels;
    std::vector<float> out(static_cast<std::size_t>(chunk.frames) * outChannels);
    for (std::uint32_t f = 0; f < chunk.frames; ++f) {
        const float* frame = chunk.samples.data() + static_cast<std::size_t>(f) * in;
        if (outChannels == 1) {
            float sum = 0;
            for (std::uint32_t c = 0; c < in; ++c) sum += frame[c];
            out[f] = sum / static_cast<float>(in);
        } else {
            for (std::uint32_t c = 0; c < outChannels; ++c) out[f * outChannels + c] = frame[std::min(c, in - 1)];
        }
    }
    chunk.samples = std::move(out);
    chunk.channels = outChannels;
}

template <typename T>
OSStatus writeValue(const T& value, std::uint32_t& ioSize, void* data) {
    if (!data || ioSize < sizeof(T)) return kErrBadPropertySize;
    std::memcpy(data, &value, sizeof(T));
    ioSize = sizeof(T);
    return kNoError;
}

}  // namespace

// ---- NameRegistry -----------------------------------------------------------------

AudioObjectID NameRegistry::idFor(const std::string& key) {
    std::lock_guard g(mutex_);
    auto it = ids_.find(key);
    if (it != ids_.end()) return it->second;
    const AudioObjectID id = next_++;
    ids_.emplace(key, id);
    keys_.emplace(id, key);
    return id;
}

std::optional<std::string> NameRegistry::keyFor(AudioObjectID id) const {
    std::lock_guard g(mutex_);
    auto it = keys_.find(id);
    if (it == keys_.end()) return std::nullopt;
    return it->second;
}

AudioObjectID NameRegistry::fresh() {
    std::lock_guard g(mutex_);
    return next_++;
}

// ---- internal state ---------------------------------------------------------------

// One registered I/O block. Work items hold this (never the queue).
struct PulseHardware::ProcRun {
    IOBlock block;
    std::mutex run;  // held while the block runs
    std::atomic<bool> stopped{false};
};

// The running blocks of one aggregate device; reached from the stream's chunk handler.
struct PulseHardware::Fanout {
    std::mutex mutex;
    std::vector<std::pair<std::shared_ptr<dispatch::Queue>, std::shared_ptr<ProcRun>>> procs;
};

struct PulseHardware::Aggregate {
    AudioObjectID id = 0;
    AudioObjectID tap = 0;
    std::string uid;
    std::string name;
    std::uint32_t rate = 48000;
    std::uint32_t channels = 1;
    std::map<IOProcID, std::pair<std::shared_ptr<dispatch::Queue>, std::shared_ptr<ProcRun>>> procs;
    std::map<IOProcID, bool> running;
    std::shared_ptr<Fanout> fanout = std::make_shared<Fanout>();

    std::mutex streamMutex;  // serialises opening and closing the stream
    // Under the hardware mutex:
    std::unique_ptr<RecordStream> stream;
    std::shared_ptr<Connection> streamConnection;
    std::shared_ptr<std::atomic<bool>> streamBroken;
    std::string sinkName;
};

struct PulseHardware::UnitIO {
    AudioUnit unit = 0;
    InputCallback callback;
    std::mutex run;  // held while the input callback runs
    std::atomic<bool> stopped{false};
    const RecordStream::Chunk* current = nullptr;  // only on the input queue
};

struct PulseHardware::Unit {
    AudioUnit id = 0;
    bool inputEnabled = false;
    bool outputEnabled = true;
    AudioObjectID device = 0;
    std::optional<pcm::StreamDescription> client;
    InputCallback callback;
    bool initialized = false;
    std::unique_ptr<RecordStream> stream;
    std::shared_ptr<UnitIO> io;
};

namespace {
thread_local const void* tCurrentUnitIO = nullptr;
}

// ---- connection -------------------------------------------------------------------

PulseHardware::PulseHardware(std::shared_ptr<NameRegistry> registry) : registry_(std::move(registry)) {}

PulseHardware::~PulseHardware() {
    // Streams before their connections; blocks are stopped so nothing runs after this.
    std::vector<std::unique_ptr<RecordStream>> streams;
    {
        std::lock_guard g(mutex_);
        for (auto& [id, agg] : aggregates_) {
            for (auto& [pid, proc] : agg->procs) proc.second->stopped = true;
            if (agg->stream) streams.push_back(std::move(agg->stream));
        }
        for (auto& [id, unit] : units_) {
            if (unit->io) unit->io->stopped = true;
            if (unit->stream) streams.push_back(std::move(unit->stream));
        }
        aggregates_.clear();
        units_.clear();
    }
    streams.clear();
}

std::shared_ptr<Connection> PulseHardware::connection() {
    std::lock_guard c(connectMutex_);
    {
        std::lock_guard g(mutex_);
        if (connection_ && connection_->alive()) return connection_;
    }
    return connectLocked();
}

std::shared_ptr<Connection> PulseHardware::connectLocked() {
    std::string error;
    auto conn = Connection::connect(kClientName, &error);
    if (!conn) return nullptr;
    std::uint64_t generation;
    bool replaced;
    {
        std::lock_guard g(mutex_);
        generation = ++generation_;
        replaced = connection_ != nullptr;
    }
    std::weak_ptr<PulseHardware> weak = weak_from_this();
    // Both handlers run on the mainloop thread: they only hand over to the control queue.
    conn->setFailureHandler([weak, generation](const std::string&) {
        controlQueue().async([weak, generation] {
            if (auto self = weak.lock()) self->onConnectionLost(generation);
        });
    });
    conn->subscribeServerChanges([weak, generation] {
        controlQueue().async([weak, generation] {
            if (auto self = weak.lock()) self->onServerChanged(generation);
        });
    });
    auto current = defaults(*conn);
    {
        std::lock_guard g(mutex_);
        connection_ = conn;
        if (current) {
            announcedSource_ = current->sourceKey();
            lastDefaultSink_ = current->tapSink();
        }
    }
    if (replaced) {
        // A call found the old connection dead before its loss was handled: recover now.
        controlQueue().async([weak] {
            if (auto self = weak.lock()) self->tryReconnect();
        });
    }
    return conn;
}

bool PulseHardware::needsServer() {
    std::lock_guard g(mutex_);
    if (!listeners_.empty()) return true;
    for (auto& [id, agg] : aggregates_) {
        if (!agg->running.empty()) return true;
    }
    return false;
}

void PulseHardware::onConnectionLost(std::uint64_t generation) {
    std::shared_ptr<Connection> dead;
    {
        std::lock_guard g(mutex_);
        if (generation != generation_) return;  // already replaced and recovered
        dead = std::move(connection_);
        connection_.reset();
    }
    dead.reset();
    tryReconnect();
}

// Brings a lost server back: a new connection, the system-audio streams on the new
// default sink, and a default-input notification so the microphone gets reopened.
void PulseHardware::tryReconnect() {
    if (!needsServer()) return;
    auto conn = connection();
    if (!conn) {
        std::lock_guard g(mutex_);
        scheduleLocked(&PulseHardware::reconnectScheduled_, kReconnectSeconds,
                       [](PulseHardware& self) { self.tryReconnect(); });
        return;
    }
    ensureTapStreams();
    fireDefaultInputListeners();
    std::uint64_t generation;
    {
        std::lock_guard g(mutex_);
        generation = generation_;
    }
    // The server may come back without a default input yet.
    onServerChanged(generation);
}

void PulseHardware::scheduleLocked(bool PulseHardware::*pending, double seconds,
                                   std::function<void(PulseHardware&)> fn) {
    if (this->*pending) return;
    this->*pending = true;
    std::weak_ptr<PulseHardware> weak = weak_from_this();
    controlQueue().asyncAfter(seconds, [weak, pending, fn = std::move(fn)] {
        auto self = weak.lock();
        if (!self) return;
        {
            std::lock_guard g(self->mutex_);
            (*self).*pending = false;
        }
        fn(*self);
    });
}

std::optional<PulseHardware::Defaults> PulseHardware::defaults(Connection& conn) {
    auto info = conn.serverInfo();
    if (!info) return std::nullopt;
    // A restarting server may name its defaults before it lists their devices (seen on
    // PipeWire): a default counts once its device is listed, so that moment is a change
    // like any other.
    Defaults d;
    auto find = [&](const ServerInfo& named) {
        if (!d.source && !named.defaultSourceName.empty()) d.source = conn.source(named.defaultSourceName);
        if (!d.sink && !named.defaultSinkName.empty()) d.sink = conn.sink(named.defaultSinkName);
    };
    find(*info);
    // We have seen pipewire-pulse (0.3.65) leave a long-lived client's default source at
    // none for good after the default source was removed, while new clients were told the
    // next source: where ours names no device it lists, a fresh connection has the say.
    auto lists = [](const auto& devices) { return devices && !devices->empty(); };
    if ((!d.source && lists(conn.sources())) || (!d.sink && lists(conn.sinks()))) {
        std::string error;
        auto fresh = Connection::connect(kClientName, &error);
        if (auto second = fresh ? fresh->serverInfo() : std::nullopt) find(*second);
    }
    return d;
}

// Puts every running tap on the default sink's monitor. What cannot be opened now (no
// server, the sink not there yet, a stream refused) is tried again shortly: no
// notification may come when it becomes possible, and the tap must not stay deaf.
void PulseHardware::ensureTapStreams() {
    std::vector<AudioObjectID> ids;
    {
        std::lock_guard g(mutex_);
        for (auto& [id, agg] : aggregates_) {
            if (!agg->running.empty()) ids.push_back(id);
        }
    }
    bool ok = true;
    for (AudioObjectID id : ids) ok = retarget(id, false) && ok;
    if (ok) return;
    std::lock_guard g(mutex_);
    scheduleLocked(&PulseHardware::retargetScheduled_, kReconnectSeconds,
                   [](PulseHardware& self) { self.ensureTapStreams(); });
}

void PulseHardware::onServerChanged(std::uint64_t generation) {
    std::shared_ptr<Connection> conn;
    {
        std::lock_guard g(mutex_);
        if (generation != generation_) return;
        conn = connection_;
    }
    if (!conn) return;
    auto current = defaults(*conn);
    if (!current) return;
    bool sourceMoved = false;
    bool sinkChanged = false;
    {
        std::lock_guard g(mutex_);
        sourceMoved = current->sourceKey() != announcedSource_;
        sinkChanged = current->tapSink() != lastDefaultSink_;
        lastDefaultSink_ = current->tapSink();
        // The default input flickers while the server reorganises (PipeWire names none for
        // a moment between two sources, or the next one before none): listeners hear of it
        // once it has held still, and only if it is another device than the one they last
        // heard of.
        if (sourceMoved) {
            scheduleLocked(&PulseHardware::announceScheduled_, kSettleSeconds,
                           [generation](PulseHardware& self) { self.announceDefaultInput(generation); });
        }
        // The server may settle on a new default input without a word (see defaults()):
        // while no input is the default, look again shortly.
        if (!current->input() && !listeners_.empty()) {
            scheduleLocked(&PulseHardware::inputRecheckScheduled_, kReconnectSeconds,
                           [generation](PulseHardware& self) { self.onServerChanged(generation); });
        }
    }
    if (sinkChanged) ensureTapStreams();
}

void PulseHardware::announceDefaultInput(std::uint64_t generation) {
    std::shared_ptr<Connection> conn;
    {
        std::lock_guard g(mutex_);
        if (generation != generation_) return;
        conn = connection_;
    }
    if (!conn) return;
    auto current = defaults(*conn);
    if (!current) return;
    {
        std::lock_guard g(mutex_);
        if (current->sourceKey() == announcedSource_) return;
        announcedSource_ = current->sourceKey();
    }
    fireDefaultInputListeners();
}

void PulseHardware::onTapStreamFailed(AudioObjectID) { ensureTapStreams(); }

void PulseHardware::fireDefaultInputListeners() {
    std::vector<Listener> listeners;
    {
        std::lock_guard g(mutex_);
        listeners = listeners_;
    }
    for (auto& l : listeners) {
        l.queue->async([fn = l.listener] {
            const PropertyAddress address{selector::defaultInputDevice, scope::global, 0};
            (*fn)(1, &address);
        });
    }
}

bool PulseHardware::retarget(AudioObjectID aggregate, bool force) {
    std::shared_ptr<Aggregate> agg;
    {
        std::lock_guard g(mutex_);
        auto it = aggregates_.find(aggregate);
        if (it == aggregates_.end()) return true;
        agg = it->second;
    }
    std::lock_guard streamLock(agg->streamMutex);
    auto conn = connection();
    if (!conn) return false;
    auto current = defaults(*conn);
    if (!current) return false;
    // The monitor is resolved by name: "@DEFAULT_MONITOR@" is not reliable on every server.
    const auto& sink = current->sink;
    if (!sink || sink->monitorSourceName.empty()) return false;

    std::unique_ptr<RecordStream> old;
    {
        std::lock_guard g(mutex_);
        if (agg->running.empty()) return true;
        if (!force && agg->stream && agg->streamConnection == conn && !*agg->streamBroken &&
            agg->sinkName == sink->name) {
            return true;
        }
        old = std::move(agg->stream);
    }
    old.reset();

    auto broken = std::make_shared<std::atomic<bool>>(false);
    std::weak_ptr<PulseHardware> weak = weak_from_this();
    RecordStream::Options options;
    options.source = sink->monitorSourceName;
    options.rate = agg->rate;
    // The sink's own layout, mixed down here: servers disagree on the gain of their
    // stereo-to-mono mix (PulseAudio averages, PipeWire sums at -3 dB).
    options.channels = std::clamp<std::uint32_t>(sink->channels, 1, PA_CHANNELS_MAX);
    options.fragmentSeconds = kFragmentSeconds;
    options.streamName = "Velomar Capture system audio";
    auto fanout = agg->fanout;
    const std::uint32_t outChannels = agg->channels;
    std::string error;
    auto stream = RecordStream::open(
        conn, options,
        [fanout, outChannels](RecordStream::Chunk&& chunk) {
            if (chunk.channels != outChannels) downmix(chunk, outChannels);
            auto shared = std::make_shared<const RecordStream::Chunk>(std::move(chunk));
            // The microphone's chunks pass the same queue: both sources reach the engine in
            // the order they left the server. Through two queues, the backlog after a stall
            // let one source run more than half a second ahead and the mixer dropped the other.
            inputQueue().async([fanout, shared] {
                std::vector<std::pair<std::shared_ptr<dispatch::Queue>, std::shared_ptr<ProcRun>>> procs;
                {
                    std::lock_guard g(fanout->mutex);
                    procs = fanout->procs;
                }
                for (auto& [queue, run] : procs) {
                    auto call = [run = run.get(), &shared] {
                        std::lock_guard r(run->run);
                        if (run->stopped) return;
                        pcm::AudioBufferList input;
                        input.buffers.push_back({shared->channels,
                                                 static_cast<std::uint32_t>(shared->samples.size() * sizeof(float)),
                                                 const_cast<float*>(shared->samples.data())});
                        pcm::AudioBufferList output;
                        AudioTimeStamp now;
                        now.hostTime = pcm::hostTimeNow();
                        now.flags = kTimeStampHostTimeValid;
                        AudioTimeStamp inputTime;
                        inputTime.sampleTime = static_cast<double>(shared->firstFrame);
                        inputTime.hostTime = pcm::hostTimeForSeconds(shared->hostSeconds);
                        inputTime.flags = kTimeStampSampleTimeValid | kTimeStampHostTimeValid;
                        run->block(now, &input, inputTime, &output, now);
                    };
                    // The block runs on the queue it was registered with, as promised.
                    queue->sync(call);
                }
            });
        },
        [weak, broken, aggregate](const std::string&) {
            *broken = true;
            controlQueue().async([weak, aggregate] {
                if (auto self = weak.lock()) self->onTapStreamFailed(aggregate);
            });
        },
        &error);
    if (!stream) return false;
    lastGrantedFragment_ = stream->grantedFragmentSeconds();
    {
        std::lock_guard g(mutex_);
        if (agg->running.empty() || aggregates_.count(aggregate) == 0) {
            old = std::move(stream);
        } else {
            agg->stream = std::move(stream);
            agg->streamConnection = conn;
            agg->streamBroken = broken;
            agg->sinkName = sink->name;
        }
    }
    old.reset();
    return true;
}

std::string PulseHardware::tapSinkName(AudioObjectID aggregate) {
    std::lock_guard g(mutex_);
    auto it = aggregates_.find(aggregate);
    return it == aggregates_.end() || !it->second->stream ? std::string() : it->second->sinkName;
}

// ---- devices ----------------------------------------------------------------------

std::optional<PulseHardware::Resolved> PulseHardware::resolveDevice(AudioObjectID id, OSStatus* status) {
    auto key = registry_->keyFor(id);
    if (!key) {
        *status = kErrBadObject;
        return std::nullopt;
    }
    auto conn = connection();
    if (!conn) {
        *status = kErrUnspecified;
        return std::nullopt;
    }
    if (key->rfind("source:", 0) == 0) {
        auto info = conn->source(key->substr(7));
        if (info && !info->isMonitor) return Resolved{Kind::source, *info};
    } else if (key->rfind("sink:", 0) == 0) {
        auto info = conn->sink(key->substr(5));
        if (info) return Resolved{Kind::sink, *info};
    }
    *status = kErrBadObject;
    return std::nullopt;
}

OSStatus PulseHardware::getPropertyDataSize(AudioObjectID object, const PropertyAddress& address,
                                            std::uint32_t& outSize) {
    if (object == kSystemObject) {
        if (address.selector == selector::defaultInputDevice) {
            outSize = 4;
            return kNoError;
        }
        if (address.selector == selector::devices) {
            auto conn = connection();
            if (!conn) return kErrUnspecified;
            auto sources = conn->sources();
            auto sinks = conn->sinks();
            if (!sources || !sinks) return kErrUnspecified;
            std::uint32_t n = 0;
            for (auto& s : *sources) n += s.isMonitor ? 0 : 1;
            outSize = 4 * (n + static_cast<std::uint32_t>(sinks->size()));
            return kNoError;
        }
        return kErrUnknownProperty;
    }
    switch (address.selector) {
    case selector::deviceUID:
    case selector::name:
    case selector::tapUID:
        outSize = 8;
        return kNoError;
    case selector::nominalSampleRate:
        outSize = 8;
        return kNoError;
    case selector::streamFormat:
        outSize = sizeof(pcm::StreamDescription);
        return kNoError;
    case selector::streamConfiguration: {
        {
            std::lock_guard g(mutex_);
            if (aggregates_.count(object)) {
                outSize = address.scope == scope::input ? 8 : 4;
                return kNoError;
            }
        }
        OSStatus status = kNoError;
        auto dev = resolveDevice(object, &status);
        if (!dev) return status;
        const bool has = (dev->kind == Kind::source && address.scope == scope::input) ||
                         (dev->kind == Kind::sink && address.scope == scope::output);
        outSize = has ? 8 : 4;
        return kNoError;
    }
    default:
        return kErrUnknownProperty;
    }
}

OSStatus PulseHardware::getPropertyData(AudioObjectID object, const PropertyAddress& address, std::uint32_t& ioSize,
                                        void* data) {
    if (object == kSystemObject) {
        if (address.selector == selector::defaultInputDevice) {
            auto conn = connection();
            if (!conn) return kErrUnspecified;
            auto current = defaults(*conn);
            if (!current) return kErrUnspecified;
            // A monitor as default source would record the speakers as a microphone.
            const AudioObjectID id = current->input() ? registry_->idFor("source:" + current->source->name) : 0;
            return writeValue(id, ioSize, data);
        }
        if (address.selector == selector::devices) {
            auto conn = connection();
            if (!conn) return kErrUnspecified;
            auto sources = conn->sources();
            auto sinks = conn->sinks();
            if (!sources || !sinks) return kErrUnspecified;
            std::vector<AudioObjectID> ids;
            for (auto& s : *sources) {
                if (!s.isMonitor) ids.push_back(registry_->idFor("source:" + s.name));
            }
            for (auto& s : *sinks) ids.push_back(registry_->idFor("sink:" + s.name));
            const std::size_t room = data ? ioSize / 4 : 0;
            const std::size_t n = std::min(room, ids.size());
            if (n) std::memcpy(data, ids.data(), n * 4);
            ioSize = static_cast<std::uint32_t>(n * 4);
            return kNoError;
        }
        return kErrUnknownProperty;
    }

    std::shared_ptr<Aggregate> agg;
    {
        std::lock_guard g(mutex_);
        auto it = aggregates_.find(object);
        if (it != aggregates_.end()) agg = it->second;
    }
    if (agg) {
        if (address.selector == selector::streamFormat && address.scope == scope::input) {
            return writeValue(floatDescription(agg->rate, agg->channels, false), ioSize, data);
        }
        if (address.selector == selector::nominalSampleRate) return writeValue(double(agg->rate), ioSize, data);
        if (address.selector == selector::streamConfiguration) {
            const bool in = address.scope == scope::input;
            const std::uint32_t words[2] = {in ? 1u : 0u, agg->channels};
            const std::uint32_t size = in ? 8 : 4;
            if (!data || ioSize < size) return kErrBadPropertySize;
            std::memcpy(data, words, size);
            ioSize = size;
            return kNoError;
        }
        return kErrUnknownProperty;
    }

    switch (address.selector) {
    case selector::nominalSampleRate:
    case selector::streamFormat:
    case selector::streamConfiguration:
        break;
    default:
        return kErrUnknownProperty;
    }
    OSStatus status = kNoError;
    auto dev = resolveDevice(object, &status);
    if (!dev) return status;
    const bool hasScope = (dev->kind == Kind::source && address.scope == scope::input) ||
                          (dev->kind == Kind::sink && address.scope == scope::output);
    switch (address.selector) {
    case selector::nominalSampleRate:
        return writeValue(static_cast<double>(dev->info.rate), ioSize, data);
    case selector::streamFormat:
        if (!hasScope) return kErrUnknownProperty;
        return writeValue(floatDescription(dev->info.rate, dev->info.channels, false), ioSize, data);
    case selector::streamConfiguration: {
        const std::uint32_t words[2] = {hasScope ? 1u : 0u, dev->info.channels};
        const std::uint32_t size = hasScope ? 8 : 4;
        if (!data || ioSize < size) return kErrBadPropertySize;
        std::memcpy(data, words, size);
        ioSize = size;
        return kNoError;
    }
    default:
        return kErrUnknownProperty;
    }
}

OSStatus PulseHardware::getStringProperty(AudioObjectID object, const PropertyAddress& address, std::string& out) {
    {
        std::lock_guard g(mutex_);
        if (auto it = taps_.find(object); it != taps_.end()) {
            if (address.selector != selector::tapUID) return kErrUnknownProperty;
            out = it->second.first;
            return kNoError;
        }
        if (auto it = aggregates_.find(object); it != aggregates_.end()) {
            if (address.selector == selector::deviceUID) {
                out = it->second->uid;
                return kNoError;
            }
            if (address.selector == selector::name) {
                out = it->second->name;
                return kNoError;
            }
            return kErrUnknownProperty;
        }
    }
    if (address.selector != selector::deviceUID && address.selector != selector::name) return kErrUnknownProperty;
    OSStatus status = kNoError;
    auto dev = resolveDevice(object, &status);
    if (!dev) return status;
    out = address.selector == selector::deviceUID ? dev->info.name : dev->info.description;
    return kNoError;
}

OSStatus PulseHardware::addPropertyListener(AudioObjectID object, const PropertyAddress& address,
                                            dispatch::Queue& queue, PropertyListenerRef listener) {
    if (object != kSystemObject || address.selector != selector::defaultInputDevice || !listener) {
        return kErrUnknownProperty;
    }
    // The subscription lives on the connection: make sure there is one.
    connection();
    std::lock_guard g(mutex_);
    listeners_.push_back({&queue, std::move(listener)});
    return kNoError;
}

OSStatus PulseHardware::removePropertyListener(AudioObjectID object, const PropertyAddress& address,
                                               dispatch::Queue& queue, PropertyListenerRef listener) {
    if (object != kSystemObject || address.selector != selector::defaultInputDevice) return kErrUnknownProperty;
    std::lock_guard g(mutex_);
    auto it = std::find_if(listeners_.begin(), listeners_.end(),
                           [&](const Listener& l) { return l.queue == &queue && l.listener == listener; });
    if (it == listeners_.end()) return kErrIllegalOperation;
    listeners_.erase(it);
    return kNoError;
}

// ---- tap, aggregate device, I/O blocks ----------------------------------------------

OSStatus PulseHardware::createProcessTap(const TapDescription& description, AudioObjectID& outTap) {
    outTap = 0;
    // Only the whole output mix can be recorded from a sound server's monitor.
    if (!description.global || !description.excludedProcesses.empty()) return kErrIllegalOperation;
    const AudioObjectID id = registry_->fresh();
    std::lock_guard g(mutex_);
    taps_[id] = {"velomar-tap-" + std::to_string(id), description.mono};
    outTap = id;
    return kNoError;
}

OSStatus PulseHardware::destroyProcessTap(AudioObjectID tap) {
    std::lock_guard g(mutex_);
    return taps_.erase(tap) ? kNoError : kErrBadObject;
}

OSStatus PulseHardware::createAggregateDevice(const AggregateDeviceDescription& description,
                                              AudioObjectID& outDevice) {
    outDevice = 0;
    if (description.taps.size() != 1) return kErrIllegalOperation;
    AudioObjectID tap = 0;
    bool mono = true;
    {
        std::lock_guard g(mutex_);
        for (auto& [id, t] : taps_) {
            if (t.first == description.taps[0].uid) {
                tap = id;
                mono = t.second;
            }
        }
    }
    if (tap == 0) return kErrBadObject;
    auto conn = connection();
    if (!conn) return kErrUnspecified;
    auto current = defaults(*conn);
    if (!current || !current->sink) return kErrUnspecified;
    const DeviceInfo& sink = *current->sink;

    auto agg = std::make_shared<Aggregate>();
    agg->id = registry_->fresh();
    agg->tap = tap;
    agg->uid = description.uid;
    agg->name = description.name;
    agg->rate = sink.rate;
    agg->channels = mono ? 1 : 2;
    std::lock_guard g(mutex_);
    aggregates_[agg->id] = agg;
    outDevice = agg->id;
    return kNoError;
}

OSStatus PulseHardware::destroyAggregateDevice(AudioObjectID device) {
    std::vector<IOProcID> procs;
    {
        std::lock_guard g(mutex_);
        auto it = aggregates_.find(device);
        if (it == aggregates_.end()) return kErrBadObject;
        for (auto& [id, p] : it->second->procs) procs.push_back(id);
    }
    for (IOProcID id : procs) destroyIOProcID(device, id);
    std::shared_ptr<Aggregate> agg;
    {
        std::lock_guard g(mutex_);
        auto it = aggregates_.find(device);
        if (it == aggregates_.end()) return kErrBadObject;
        agg = it->second;
        aggregates_.erase(it);
    }
    std::lock_guard streamLock(agg->streamMutex);
    std::unique_ptr<RecordStream> stream;
    {
        std::lock_guard g(mutex_);
        stream = std::move(agg->stream);
    }
    return kNoError;
}

OSStatus PulseHardware::createIOProcIDWithBlock(IOProcID& outID, AudioObjectID device,
                                                std::shared_ptr<dispatch::Queue> queue, IOBlock block) {
    outID = 0;
    if (!queue || !block) return kErrIllegalOperation;
    std::lock_guard g(mutex_);
    auto it = aggregates_.find(device);
    if (it == aggregates_.end()) return kErrBadObject;
    auto run = std::make_shared<ProcRun>();
    run->block = std::move(block);
    const IOProcID id = nextProc_++;
    it->second->procs[id] = {std::move(queue), std::move(run)};
    outID = id;
    return kNoError;
}

OSStatus PulseHardware::destroyIOProcID(AudioObjectID device, IOProcID id) {
    deviceStop(device, id);
    std::lock_guard g(mutex_);
    auto it = aggregates_.find(device);
    if (it == aggregates_.end()) return kErrBadObject;
    return it->second->procs.erase(id) ? kNoError : kErrIllegalOperation;
}

OSStatus PulseHardware::deviceStart(AudioObjectID device, IOProcID id) {
    std::shared_ptr<Aggregate> agg;
    {
        std::lock_guard g(mutex_);
        auto it = aggregates_.find(device);
        if (it == aggregates_.end()) return kErrBadObject;
        agg = it->second;
        auto p = agg->procs.find(id);
        if (p == agg->procs.end()) return kErrIllegalOperation;
        if (agg->running.count(id)) return kNoError;
        agg->running[id] = true;
        p->second.second->stopped = false;
        std::lock_guard f(agg->fanout->mutex);
        agg->fanout->procs.push_back(p->second);
    }
    if (!retarget(device, false)) {
        deviceStop(device, id);
        return kErrUnspecified;
    }
    return kNoError;
}

OSStatus PulseHardware::deviceStop(AudioObjectID device, IOProcID id) {
    std::shared_ptr<Aggregate> agg;
    std::shared_ptr<dispatch::Queue> queue;
    std::shared_ptr<ProcRun> run;
    bool last = false;
    {
        std::lock_guard g(mutex_);
        auto it = aggregates_.find(device);
        if (it == aggregates_.end()) return kErrBadObject;
        agg = it->second;
        auto p = agg->procs.find(id);
        if (p == agg->procs.end()) return kErrIllegalOperation;
        // The last block to stop takes what the server still holds, through the input queue.
        if (agg->running.size() == 1 && agg->running.count(id) && agg->stream && agg->stream->collectTail() &&
            !inputQueue().isCurrent()) inputQueue().sync([] {});
        if (!agg->running.erase(id)) return kNoError;
        queue = p->second.first;
        run = p->second.second;
        std::lock_guard f(agg->fanout->mutex);
        auto& procs = agg->fanout->procs;
        procs.erase(std::remove_if(procs.begin(), procs.end(), [&](auto& e) { return e.second == run; }),
                    procs.end());
        last = agg->running.empty();
    }
    // No further block call may start; wait for one that is running (unless it is us).
    if (queue->isCurrent()) {
        run->stopped = true;
    } else {
        std::lock_guard r(run->run);
        run->stopped = true;
    }
    if (last) {
        std::lock_guard streamLock(agg->streamMutex);
        std::unique_ptr<RecordStream> stream;
        {
            std::lock_guard g(mutex_);
            if (agg->running.empty()) stream = std::move(agg->stream);
        }
    }
    return kNoError;
}

// ---- HAL-style input unit -----------------------------------------------------------

AudioComponent PulseHardware::findNext(AudioComponent previous, const ComponentDescription& description) {
    if (previous != 0) return 0;
    if (description.type != kUnitTypeOutput) return 0;
    if (description.subType != 0 && description.subType != kUnitSubTypeHALOutput) return 0;
    if (description.manufacturer != 0 && description.manufacturer != kUnitManufacturerApple) return 0;
    return kHALComponent;
}

OSStatus PulseHardware::instanceNew(AudioComponent component, AudioUnit& outUnit) {
    outUnit = 0;
    if (component != kHALComponent) return kErrBadObject;
    std::lock_guard g(mutex_);
    auto unit = std::make_shared<Unit>();
    unit->id = nextUnit_++;
    units_[unit->id] = unit;
    outUnit = unit->id;
    return kNoError;
}

OSStatus PulseHardware::setProperty(AudioUnit unitID, std::uint32_t property, std::uint32_t unitScope,
                                    std::uint32_t element, const void* data, std::uint32_t size) {
    std::lock_guard g(mutex_);
    auto it = units_.find(unitID);
    if (it == units_.end()) return kErrBadObject;
    Unit& unit = *it->second;
    if (!data) return kErrBadPropertySize;
    switch (property) {
    case unitprop::enableIO: {
        if (size != 4) return kErrBadPropertySize;
        std::uint32_t on = 0;
        std::memcpy(&on, data, 4);
        if (unitScope == unitscope::input && element == 1) {
            unit.inputEnabled = on != 0;
        } else if (unitScope == unitscope::output && element == 0) {
            unit.outputEnabled = on != 0;
        } else {
            return kUnitErrInvalidElement;
        }
        return kNoError;
    }
    case unitprop::currentDevice: {
        if (size != 4) return kErrBadPropertySize;
        if (unitScope != unitscope::global) return kUnitErrInvalidScope;
        AudioObjectID device = 0;
        std::memcpy(&device, data, 4);
        auto key = registry_->keyFor(device);
        if (!key || key->rfind("source:", 0) != 0) return kErrBadObject;
        unit.device = device;
        return kNoError;
    }
    case unitprop::streamFormat: {
        if (size != sizeof(pcm::StreamDescription)) return kErrBadPropertySize;
        if (unitScope != unitscope::output || element != 1) return kUnitErrInvalidScope;
        pcm::StreamDescription d;
        std::memcpy(&d, data, sizeof d);
        const bool isFloat = d.formatID == pcm::kFormatLinearPCM && (d.formatFlags & pcm::kFlagIsFloat) &&
                             d.bitsPerChannel == 32;
        const bool planar = (d.formatFlags & pcm::kFlagIsNonInterleaved) || d.channelsPerFrame == 1;
        if (!isFloat || !planar || d.channelsPerFrame < 1 || d.channelsPerFrame > 2 || !(d.sampleRate > 0) ||
            !std::isfinite(d.sampleRate)) {
            return kUnitErrFormatNotSupported;
        }
        unit.client = d;
        return kNoError;
    }
    case unitprop::setInputCallback: {
        if (size != sizeof(InputCallback)) return kErrBadPropertySize;
        std::memcpy(&unit.callback, data, sizeof(InputCallback));
        return kNoError;
    }
    default:
        return kUnitErrInvalidProperty;
    }
}

OSStatus PulseHardware::getProperty(AudioUnit unitID, std::uint32_t property, std::uint32_t unitScope,
                                    std::uint32_t element, void* data, std::uint32_t& ioSize) {
    AudioObjectID device = 0;
    std::optional<pcm::StreamDescription> client;
    {
        std::lock_guard g(mutex_);
        auto it = units_.find(unitID);
        if (it == units_.end()) return kErrBadObject;
        device = it->second->device;
        client = it->second->client;
    }
    switch (property) {
    case unitprop::currentDevice:
        return writeValue(device, ioSize, data);
    case unitprop::streamFormat: {
        if (element != 1) return kUnitErrInvalidElement;
        if (unitScope == unitscope::output) {
            if (!client) return kUnitErrUninitialized;
            return writeValue(*client, ioSize, data);
        }
        if (unitScope != unitscope::input) return kUnitErrInvalidScope;
        if (device == 0) return kUnitErrUninitialized;
        OSStatus status = kNoError;
        auto dev = resolveDevice(device, &status);
        if (!dev) return status;
        return writeValue(floatDescription(dev->info.rate, dev->info.channels, false), ioSize, data);
    }
    default:
        return kUnitErrInvalidProperty;
    }
}

OSStatus PulseHardware::initialize(AudioUnit unitID) {
    std::lock_guard g(mutex_);
    auto it = units_.find(unitID);
    if (it == units_.end()) return kErrBadObject;
    it->second->initialized = true;
    return kNoError;
}

OSStatus PulseHardware::outputUnitStart(AudioUnit unitID) {
    std::shared_ptr<Unit> unit;
    {
        std::lock_guard g(mutex_);
        auto it = units_.find(unitID);
        if (it == units_.end()) return kErrBadObject;
        unit = it->second;
        if (!unit->initialized) return kUnitErrUninitialized;
        if (unit->io) return kNoError;
        if (!unit->inputEnabled || unit->device == 0 || !unit->client || !unit->callback.proc) {
            return kUnitErrUninitialized;
        }
    }
    OSStatus status = kNoError;
    auto dev = resolveDevice(unit->device, &status);
    if (!dev) return status;
    auto conn = connection();
    if (!conn) return kErrUnspecified;

    auto io = std::make_shared<UnitIO>();
    io->unit = unitID;
    io->callback = unit->callback;
    RecordStream::Options options;
    options.source = dev->info.name;
    options.rate = static_cast<std::uint32_t>(std::lround(unit->client->sampleRate));
    options.channels = unit->client->channelsPerFrame;
    options.fragmentSeconds = kFragmentSeconds;
    options.streamName = "Velomar Capture microphone";
    std::string error;
    // The input callback runs on a queue of ours, never on the mainloop thread, so the
    // engine's work in it can never hold up the server connection or a stop.
    auto stream = RecordStream::open(
        conn, options,
        [io](RecordStream::Chunk&& chunk) {
            auto shared = std::make_shared<const RecordStream::Chunk>(std::move(chunk));
            inputQueue().async([io, shared] {
                std::lock_guard r(io->run);
                if (io->stopped) return;
                io->current = shared.get();
                tCurrentUnitIO = io.get();
                std::uint32_t flags = 0;
                AudioTimeStamp ts;
                ts.sampleTime = static_cast<double>(shared->firstFrame);
                ts.hostTime = pcm::hostTimeForSeconds(shared->hostSeconds);
                ts.flags = kTimeStampSampleTimeValid | kTimeStampHostTimeValid;
                io->callback.proc(io->callback.refCon, &flags, &ts, 1, shared->frames, nullptr);
                tCurrentUnitIO = nullptr;
                io->current = nullptr;
            });
        },
        [](const std::string&) {
            // A lost input is the engine's to notice (default-input change or silence).
        },
        &error);
    if (!stream) return kErrUnspecified;
    lastGrantedFragment_ = stream->grantedFragmentSeconds();
    std::lock_guard g(mutex_);
    unit->stream = std::move(stream);
    unit->io = io;
    return kNoError;
}

OSStatus PulseHardware::render(AudioUnit unitID, std::uint32_t*, const AudioTimeStamp&, std::uint32_t,
                               std::uint32_t frames, pcm::AudioBufferList& list) {
    auto* io = static_cast<const UnitIO*>(tCurrentUnitIO);
    if (!io || io->unit != unitID || !io->current) return kErrIllegalOperation;
    const RecordStream::Chunk& chunk = *io->current;
    if (frames > chunk.frames) return kErrBadPropertySize;
    if (list.buffers.size() != chunk.channels) return kUnitErrFormatNotSupported;
    for (std::uint32_t c = 0; c < chunk.channels; ++c) {
        auto& buffer = list.buffers[c];
        if (!buffer.data || buffer.dataByteSize < frames * sizeof(float)) return kErrBadPropertySize;
        auto* out = static_cast<float*>(buffer.data);
        for (std::uint32_t f = 0; f < frames; ++f) {
            out[f] = chunk.samples[static_cast<std::size_t>(f) * chunk.channels + c];
        }
        buffer.dataByteSize = frames * static_cast<std::uint32_t>(sizeof(float));
    }
    return kNoError;
}

OSStatus PulseHardware::outputUnitStop(AudioUnit unitID) {
    std::shared_ptr<UnitIO> io;
    std::unique_ptr<RecordStream> stream;
    {
        std::lock_guard g(mutex_);
        auto it = units_.find(unitID);
        if (it == units_.end()) return kErrBadObject;
        io = std::move(it->second->io);
        stream = std::move(it->second->stream);
    }
    if (stream && stream->collectTail() && !inputQueue().isCurrent()) inputQueue().sync([] {});
    stream.reset();
    if (io) {
        if (inputQueue().isCurrent()) {
            io->stopped = true;
        } else {
            std::lock_guard r(io->run);
            io->stopped = true;
        }
    }
    return kNoError;
}

OSStatus PulseHardware::uninitialize(AudioUnit unitID) {
    std::lock_guard g(mutex_);
    auto it = units_.find(unitID);
    if (it == units_.end()) return kErrBadObject;
    it->second->initialized = false;
    return kNoError;
}

OSStatus PulseHardware::instanceDispose(AudioUnit unitID) {
    outputUnitStop(unitID);
    std::lock_guard g(mutex_);
    return units_.erase(unitID) ? kNoError : kErrBadObject;
}

// ---- authorisation ------------------------------------------------------------------

std::int32_t PulseHardware::status() { return authorization::authorized; }

void PulseHardware::requestAccess(std::function<void(bool)> handler) {
    dispatch::Queue::global().async([handler = std::move(handler)] { handler(true); });
}

}  // namespace velomar::pulse
