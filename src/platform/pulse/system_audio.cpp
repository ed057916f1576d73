#include "platform/pulse/system_audio.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/callback_gate.h"
#include "platform/channel_downmix.h"

namespace velomar::pulse {

using namespace platform;

// One registered I/O block. Work items hold this (never the queue).
struct SystemAudioFollower::Proc {
    IOBlock block;
    CallbackGate gate;
    std::weak_ptr<dispatch::Queue> queue;
    std::mutex doneMutex;  // the input queue waits for each call it hands over
    std::condition_variable doneWake;
    bool done = false;
    pcm::AudioBufferList input;
    pcm::AudioBufferList output;

    // On the input queue: each block's call on its own queue, then the parcel goes back
    // to its pool. The microphone's chunks pass the input queue too, so both sources
    // reach the engine in the order the orderer gave them: straight onto two queues,
    // a backlog after a stall let one source run more than half a second ahead and the
    // mixer dropped the other's (measured: 2.4 and 3.0 s dropped after a 5 s freeze).
    // The wait is the queue's sync without its per-call promise: a chunk costs no allocation.
    static void deliver(ChunkPool::Parcel* parcel) {
        auto& pool = *static_cast<ChunkPool*>(parcel->owner.get());
        for (std::size_t i = 0; i < parcel->targets.size(); ++i) {
            Proc& proc = parcel->target<Proc>(i);
            auto q = proc.queue.lock();
            if (!q) continue;
            {
                std::lock_guard g(proc.doneMutex);
                proc.done = false;
            }
            q->async([&proc, parcel] {
                proc.call(parcel->chunk);
                std::lock_guard g(proc.doneMutex);
                proc.done = true;
                proc.doneWake.notify_one();
            });
            std::unique_lock lock(proc.doneMutex);
            proc.doneWake.wait(lock, [&] { return proc.done; });
        }
        pool.release(parcel);
    }

    // On the block's own queue.
    void call(const RecordStream::Chunk& chunk) {
        gate.pass([&] {
            // The block's lists are reused: calls come one at a time, on the block's queue.
            input.buffers.resize(1);
            input.buffers[0] = {chunk.channels, static_cast<std::uint32_t>(chunk.samples.size() * sizeof(float)),
                                const_cast<float*>(chunk.samples.data())};
            output.buffers.clear();
            AudioTimeStamp now;
            now.hostTime = pcm::hostTimeNow();
            now.flags = kTimeStampHostTimeValid;
            AudioTimeStamp inputTime;
            inputTime.sampleTime = static_cast<double>(chunk.firstFrame);
            inputTime.hostTime = pcm::hostTimeForSeconds(chunk.hostSeconds);
            inputTime.flags = kTimeStampSampleTimeValid | kTimeStampHostTimeValid;
            block(now, &input, inputTime, &output, now);
        });
    }
};

// The running blocks of one aggregate device; reached from the stream's chunk handler.
struct SystemAudioFollower::Fanout {
    std::mutex mutex;
    std::vector<std::pair<std::shared_ptr<dispatch::Queue>, std::shared_ptr<Proc>>> procs;
    std::shared_ptr<ChunkPool> pool = std::make_shared<ChunkPool>();
};

struct SystemAudioFollower::Aggregate {
    AudioObjectID id = 0;
    AudioObjectID tap = 0;
    std::string uid;
    std::string name;
    std::uint32_t rate = 48000;
    std::uint32_t channels = 1;
    std::map<IOProcID, std::pair<std::shared_ptr<dispatch::Queue>, std::shared_ptr<Proc>>> procs;
    std::map<IOProcID, bool> running;
    std::shared_ptr<Fanout> fanout = std::make_shared<Fanout>();

    std::mutex streamMutex;  // serialises opening and closing the stream
    // Under the follower's mutex:
    std::unique_ptr<RecordStream> stream;
    std::shared_ptr<Connection> streamConnection;
    std::shared_ptr<std::atomic<bool>> streamBroken;
    std::string sinkName;
};

SystemAudioFollower::SystemAudioFollower(std::shared_ptr<NameRegistry> registry, std::shared_ptr<ServerWatch> watch,
                                         std::shared_ptr<std::atomic<double>> grantedFragment)
    : registry_(std::move(registry)), watch_(std::move(watch)), grantedFragment_(std::move(grantedFragment)) {}

void SystemAudioFollower::shutdown() {
    std::vector<std::unique_ptr<RecordStream>> streams;
    {
        std::lock_guard g(mutex_);
        for (auto& [id, agg] : aggregates_) {
            for (auto& [pid, proc] : agg->procs) proc.second->gate.shut();
            if (agg->stream) streams.push_back(std::move(agg->stream));
        }
        aggregates_.clear();
    }
    streams.clear();
}

std::shared_ptr<SystemAudioFollower::Aggregate> SystemAudioFollower::find(AudioObjectID id) {
    std::lock_guard g(mutex_);
    auto it = aggregates_.find(id);
    return it == aggregates_.end() ? nullptr : it->second;
}

bool SystemAudioFollower::running() {
    std::lock_guard g(mutex_);
    return std::any_of(aggregates_.begin(), aggregates_.end(), [](auto& a) { return !a.second->running.empty(); });
}

// What cannot be opened now (no server, the sink not there yet, a stream refused) is
// tried again shortly: no notification may come when it becomes possible, and the tap
// must not stay deaf.
void SystemAudioFollower::ensureStreams() {
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
    retarget_.schedule(ServerWatch::kReconnectSeconds, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->ensureStreams();
    });
}

bool SystemAudioFollower::retarget(AudioObjectID aggregate, bool force) {
    std::shared_ptr<Aggregate> agg = find(aggregate);
    if (!agg) return true;
    std::lock_guard streamLock(agg->streamMutex);
    auto conn = watch_->connection();
    if (!conn) return false;
    auto current = watch_->defaults(*conn);
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
    RecordStream::Options options;
    options.source = sink->monitorSourceName;
    options.rate = agg->rate;
    // The sink's own layout, mixed down here: servers disagree on the gain of their
    // stereo-to-mono mix (PulseAudio averages, PipeWire sums at -3 dB). Its own channel
    // map too: asked for the default layout of its channel count, the server remixes by
    // channel name, and channels the two layouts name differently lose level or vanish.
    options.channels = std::clamp<std::uint32_t>(sink->channels, 1, PA_CHANNELS_MAX);
    options.channelMap = sink->channelMap;
    options.fragmentSeconds = kFragmentSeconds;
    options.streamName = "Velomar Capture system audio";
    auto fanout = agg->fanout;
    options.pool = fanout->pool;
    const std::uint32_t outChannels = agg->channels;
    std::string error;
    auto stream = RecordStream::open(
        conn, options,
        [fanout, outChannels](RecordStream::Chunk&& chunk) {
            downmixInPlace(chunk, outChannels);
            std::lock_guard g(fanout->mutex);
            if (fanout->procs.empty()) {
                fanout->pool->recycle(std::move(chunk.samples));
                return;
            }
            auto* parcel = fanout->pool->wrap(std::move(chunk), 1, fanout->pool);
            for (auto& entry : fanout->procs) parcel->targets.push_back(entry.second);
            inputQueue().async([parcel] { Proc::deliver(parcel); });
        },
        [weak = weak_from_this(), broken](const std::string&) {
            *broken = true;
            controlQueue().async([weak] {
                if (auto self = weak.lock()) self->ensureStreams();
            });
        },
        &error);
    if (!stream) return false;
    *grantedFragment_ = stream->grantedFragmentSeconds();
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

std::string SystemAudioFollower::sinkName(AudioObjectID aggregate) {
    std::lock_guard g(mutex_);
    auto it = aggregates_.find(aggregate);
    return it == aggregates_.end() || !it->second->stream ? std::string() : it->second->sinkName;
}

std::optional<SystemAudioFollower::AggregateView> SystemAudioFollower::aggregate(AudioObjectID id) {
    auto agg = find(id);
    if (!agg) return std::nullopt;
    return AggregateView{agg->uid, agg->name, agg->rate, agg->channels};
}

std::optional<std::string> SystemAudioFollower::tapUID(AudioObjectID id) {
    std::lock_guard g(mutex_);
    auto it = taps_.find(id);
    if (it == taps_.end()) return std::nullopt;
    return it->second.uid;
}

OSStatus SystemAudioFollower::createProcessTap(const TapDescription& description, AudioObjectID& outTap) {
    outTap = 0;
    // Only the whole output mix can be recorded from a sound server's monitor.
    if (!description.global || !description.excludedProcesses.empty()) return kErrIllegalOperation;
    const AudioObjectID id = registry_->fresh();
    std::lock_guard g(mutex_);
    taps_[id] = {"velomar-tap-" + std::to_string(id), description.mono};
    outTap = id;
    return kNoError;
}

OSStatus SystemAudioFollower::destroyProcessTap(AudioObjectID tap) {
    std::lock_guard g(mutex_);
    return taps_.erase(tap) ? kNoError : kErrBadObject;
}

OSStatus SystemAudioFollower::createAggregateDevice(const AggregateDeviceDescription& description,
                                                    AudioObjectID& outDevice) {
    outDevice = 0;
    if (description.taps.size() != 1) return kErrIllegalOperation;
    AudioObjectID tap = 0;
    bool mono = true;
    {
        std::lock_guard g(mutex_);
        for (auto& [id, t] : taps_) {
            if (t.uid == description.taps[0].uid) {
                tap = id;
                mono = t.mono;
            }
        }
    }
    if (tap == 0) return kErrBadObject;
    auto conn = watch_->connection();
    if (!conn) return kErrUnspecified;
    auto current = watch_->defaults(*conn);
    if (!current || !current->sink) return kErrUnspecified;

    auto agg = std::make_shared<Aggregate>();
    agg->id = registry_->fresh();
    agg->tap = tap;
    agg->uid = description.uid;
    agg->name = description.name;
    agg->rate = current->sink->rate;
    agg->channels = mono ? 1 : 2;
    std::lock_guard g(mutex_);
    aggregates_[agg->id] = agg;
    outDevice = agg->id;
    return kNoError;
}

OSStatus SystemAudioFollower::destroyAggregateDevice(AudioObjectID device) {
    std::shared_ptr<Aggregate> agg = find(device);
    if (!agg) return kErrBadObject;
    std::vector<IOProcID> procs;
    {
        std::lock_guard g(mutex_);
        for (auto& [id, p] : agg->procs) procs.push_back(id);
    }
    for (IOProcID id : procs) destroyIOProcID(device, id);
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

OSStatus SystemAudioFollower::createIOProcIDWithBlock(IOProcID& outID, AudioObjectID device,
                                                      std::shared_ptr<dispatch::Queue> queue, IOBlock block) {
    outID = 0;
    if (!queue || !block) return kErrIllegalOperation;
    std::lock_guard g(mutex_);
    auto it = aggregates_.find(device);
    if (it == aggregates_.end()) return kErrBadObject;
    auto proc = std::make_shared<Proc>();
    proc->block = std::move(block);
    proc->queue = queue;
    const IOProcID id = nextProc_++;
    it->second->procs[id] = {std::move(queue), std::move(proc)};
    outID = id;
    return kNoError;
}

OSStatus SystemAudioFollower::destroyIOProcID(AudioObjectID device, IOProcID id) {
    deviceStop(device, id);
    std::lock_guard g(mutex_);
    auto it = aggregates_.find(device);
    if (it == aggregates_.end()) return kErrBadObject;
    return it->second->procs.erase(id) ? kNoError : kErrIllegalOperation;
}

OSStatus SystemAudioFollower::deviceStart(AudioObjectID device, IOProcID id) {
    {
        std::lock_guard g(mutex_);
        auto it = aggregates_.find(device);
        if (it == aggregates_.end()) return kErrBadObject;
        Aggregate& agg = *it->second;
        auto p = agg.procs.find(id);
        if (p == agg.procs.end()) return kErrIllegalOperation;
        if (agg.running.count(id)) return kNoError;
        agg.running[id] = true;
        p->second.second->gate.open();
        std::lock_guard f(agg.fanout->mutex);
        agg.fanout->procs.push_back(p->second);
    }
    if (!retarget(device, false)) {
        deviceStop(device, id);
        return kErrUnspecified;
    }
    return kNoError;
}

OSStatus SystemAudioFollower::deviceStop(AudioObjectID device, IOProcID id) {
    std::shared_ptr<Aggregate> agg;
    std::shared_ptr<dispatch::Queue> queue;
    std::shared_ptr<Proc> proc;
    bool last = false;
    {
        std::lock_guard g(mutex_);
        auto it = aggregates_.find(device);
        if (it == aggregates_.end()) return kErrBadObject;
        agg = it->second;
        auto p = agg->procs.find(id);
        if (p == agg->procs.end()) return kErrIllegalOperation;
        // The last block to stop takes what the server still holds, through the input queue.
        if (agg->running.size() == 1 && agg->running.count(id) && agg->stream) {
            if (agg->stream->collectTail(stopMoment().begin()) && !inputQueue().isCurrent()) inputQueue().sync([] {});
            stopMoment().end();
        }
        if (!agg->running.erase(id)) return kNoError;
        queue = p->second.first;
        proc = p->second.second;
        std::lock_guard f(agg->fanout->mutex);
        auto& procs = agg->fanout->procs;
        procs.erase(std::remove_if(procs.begin(), procs.end(), [&](auto& e) { return e.second == proc; }),
                    procs.end());
        last = agg->running.empty();
    }
    // No further block call may start; wait for one that is running (unless it is us).
    proc->gate.close(queue->isCurrent());
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

}  // namespace velomar::pulse
