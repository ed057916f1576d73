#include "platform/pulse/input_unit.h"

#include <cmath>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/callback_gate.h"

namespace velomar::pulse {

using namespace platform;

namespace {

constexpr OSStatus kUnitErrUninitialized = -10867;
constexpr OSStatus kUnitErrFormatNotSupported = -10868;
constexpr OSStatus kUnitErrInvalidProperty = -10879;
constexpr OSStatus kUnitErrInvalidElement = -10877;
constexpr OSStatus kUnitErrInvalidScope = -10866;
constexpr AudioComponent kHALComponent = 1;

}  // namespace

namespace {
thread_local const void* tCurrentIO = nullptr;
}

// A started unit's delivery: the callback, and the chunk render() reads while it runs.
struct InputUnits::IO {
    AudioUnit unit = 0;
    InputCallback callback;
    CallbackGate gate;
    const RecordStream::Chunk* current = nullptr;  // only on the input queue
    std::shared_ptr<ChunkPool> pool = std::make_shared<ChunkPool>();

    // On the input queue: the callback, with the parcel's chunk to render from.
    static void deliver(ChunkPool::Parcel* parcel) {
        auto* io = static_cast<IO*>(parcel->owner.get());
        io->gate.pass([&] {
            const RecordStream::Chunk& chunk = parcel->chunk;
            io->current = &chunk;
            tCurrentIO = io;
            std::uint32_t flags = 0;
            AudioTimeStamp ts;
            ts.sampleTime = static_cast<double>(chunk.firstFrame);
            ts.hostTime = pcm::hostTimeForSeconds(chunk.hostSeconds);
            ts.flags = kTimeStampSampleTimeValid | kTimeStampHostTimeValid;
            io->callback.proc(io->callback.refCon, &flags, &ts, 1, chunk.frames, nullptr);
            tCurrentIO = nullptr;
            io->current = nullptr;
        });
        io->pool->release(parcel);
    }
};

struct InputUnits::Unit {
    AudioUnit id = 0;
    bool inputEnabled = false;
    bool outputEnabled = true;
    AudioObjectID device = 0;
    std::optional<pcm::StreamDescription> client;
    InputCallback callback;
    bool initialized = false;
    std::unique_ptr<RecordStream> stream;
    std::shared_ptr<IO> io;
};


InputUnits::InputUnits(std::shared_ptr<ServerWatch> watch, std::shared_ptr<NameRegistry> registry,
                       std::shared_ptr<DeviceProperties> properties,
                       std::shared_ptr<std::atomic<double>> grantedFragment)
    : watch_(std::move(watch)),
      registry_(std::move(registry)),
      properties_(std::move(properties)),
      grantedFragment_(std::move(grantedFragment)) {}

void InputUnits::shutdown() {
    std::vector<std::unique_ptr<RecordStream>> streams;
    {
        std::lock_guard g(mutex_);
        for (auto& [id, unit] : units_) {
            if (unit->io) unit->io->gate.shut();
            if (unit->stream) streams.push_back(std::move(unit->stream));
        }
        units_.clear();
    }
    streams.clear();
}

AudioComponent InputUnits::findNext(AudioComponent previous, const ComponentDescription& description) {
    if (previous != 0) return 0;
    if (description.type != kUnitTypeOutput) return 0;
    if (description.subType != 0 && description.subType != kUnitSubTypeHALOutput) return 0;
    if (description.manufacturer != 0 && description.manufacturer != kUnitManufacturerApple) return 0;
    return kHALComponent;
}

OSStatus InputUnits::instanceNew(AudioComponent component, AudioUnit& outUnit) {
    outUnit = 0;
    if (component != kHALComponent) return kErrBadObject;
    std::lock_guard g(mutex_);
    auto unit = std::make_shared<Unit>();
    unit->id = nextUnit_++;
    units_[unit->id] = unit;
    outUnit = unit->id;
    return kNoError;
}

OSStatus InputUnits::setProperty(AudioUnit unitID, std::uint32_t property, std::uint32_t unitScope,
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
        auto named = registry_->deviceFor(device);
        if (!named || named->kind != DeviceKind::source) return kErrBadObject;
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

OSStatus InputUnits::getProperty(AudioUnit unitID, std::uint32_t property, std::uint32_t unitScope,
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
        auto dev = properties_->resolve(device, &status);
        if (!dev) return status;
        const auto description = pcm::linearDescription(pcm::SampleType::float32, dev->info.rate, dev->info.channels, true);
        return writeValue(description, ioSize, data);
    }
    default:
        return kUnitErrInvalidProperty;
    }
}

OSStatus InputUnits::setInitialized(AudioUnit unitID, bool initialized) {
    std::lock_guard g(mutex_);
    auto it = units_.find(unitID);
    if (it == units_.end()) return kErrBadObject;
    it->second->initialized = initialized;
    return kNoError;
}

OSStatus InputUnits::outputUnitStart(AudioUnit unitID) {
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
    auto dev = properties_->resolve(unit->device, &status);
    if (!dev) return status;
    auto conn = watch_->connection();
    if (!conn) return kErrUnspecified;

    auto io = std::make_shared<IO>();
    io->unit = unitID;
    io->callback = unit->callback;
    RecordStream::Options options;
    options.source = dev->info.name;
    options.rate = static_cast<std::uint32_t>(std::lround(unit->client->sampleRate));
    options.channels = unit->client->channelsPerFrame;
    options.fragmentSeconds = kFragmentSeconds;
    options.streamName = "Velomar Capture microphone";
    options.pool = io->pool;
    std::string error;
    // The input callback runs on a queue of ours, never on the mainloop thread, so the
    // engine's work in it can never hold up the server connection or a stop.
    auto stream = RecordStream::open(
        conn, options,
        [io](RecordStream::Chunk&& chunk) {
            auto* parcel = io->pool->wrap(std::move(chunk), 1, io);
            inputQueue().async([parcel] { IO::deliver(parcel); });
        },
        [](const std::string&) {
            // A lost input is the engine's to notice (default-input change or silence).
        },
        &error);
    if (!stream) return kErrUnspecified;
    *grantedFragment_ = stream->grantedFragmentSeconds();
    std::lock_guard g(mutex_);
    unit->stream = std::move(stream);
    unit->io = io;
    return kNoError;
}

OSStatus InputUnits::render(AudioUnit unitID, std::uint32_t*, const AudioTimeStamp&, std::uint32_t,
                            std::uint32_t frames, pcm::AudioBufferList& list) {
    auto* io = static_cast<const IO*>(tCurrentIO);
    if (!io || io->unit != unitID || !io->current) return kErrIllegalOperation;
    const RecordStream::Chunk& chunk = *io->current;
    if (frames > chunk.frames) return kErrBadPropertySize;
    if (list.buffers.size() != chunk.channels) return kUnitErrFormatNotSupported;
    for (std::uint32_t c = 0; c < chunk.channels; ++c) {
        auto& buffer = list.buffers[c];
        if (!buffer.data || buffer.dataByteSize < frames * sizeof(float)) return kErrBadPropertySize;
        pcm::copyChannel(chunk.samples.data(), chunk.channels, c, 0, frames, static_cast<float*>(buffer.data));
        buffer.dataByteSize = frames * static_cast<std::uint32_t>(sizeof(float));
    }
    return kNoError;
}

OSStatus InputUnits::outputUnitStop(AudioUnit unitID) {
    std::shared_ptr<IO> io;
    std::unique_ptr<RecordStream> stream;
    {
        std::lock_guard g(mutex_);
        auto it = units_.find(unitID);
        if (it == units_.end()) return kErrBadObject;
        io = std::move(it->second->io);
        stream = std::move(it->second->stream);
    }
    // What the server still holds reaches the callback before the stream goes.
    if (stream) {
        if (stream->collectTail(stopMoment().begin()) && !inputQueue().isCurrent()) inputQueue().sync([] {});
        stopMoment().end();
    }
    stream.reset();
    if (io) io->gate.close(inputQueue().isCurrent());
    return kNoError;
}

OSStatus InputUnits::instanceDispose(AudioUnit unitID) {
    outputUnitStop(unitID);
    std::lock_guard g(mutex_);
    return units_.erase(unitID) ? kNoError : kErrBadObject;
}

}  // namespace velomar::pulse
