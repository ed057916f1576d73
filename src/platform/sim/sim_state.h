#pragma once
// Internal: the simulated machine's state, shared by the hardware and the unit layer.
// Everything here is guarded by `mutex`.

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "platform/sim/sim_audio_hardware.h"

namespace velomar::sim {

struct SimAudioHardware::State {
    struct Device {
        SimDevice config;
        bool aggregate = false;
        std::optional<pcm::StreamDescription> aggregateFormat;
        std::string aggregateUID;
        std::vector<std::string> tapUIDs;  // members, so that destroying a tap first can be flagged
    };
    struct Tap {
        std::string uid;
    };
    struct IOProc {
        AudioObjectID device = 0;
        std::shared_ptr<dispatch::Queue> queue;
        std::shared_ptr<platform::IOBlock> block;
        bool running = false;
        int inFlight = 0;
        std::thread::id callingThread;
        double sampleTime = 0;
    };
    struct Listener {
        AudioObjectID object = 0;
        platform::PropertyAddress address;
        dispatch::Queue* queue = nullptr;
        platform::PropertyListenerRef listener;
    };
    struct Unit {
        SimAudioUnits::UnitInfo info;
        std::optional<pcm::StreamDescription> clientFormat;
        int inFlight = 0;
        std::thread::id callingThread;
        std::uint64_t framesRendered = 0;
        std::uint32_t cycleFrames = 0;  // frames of the cycle now running
    };

    mutable std::mutex mutex;
    std::condition_variable idle;  // an in-flight block or callback finished

    std::uint32_t nextObject = 100;
    std::uint64_t nextIOProc = 1;
    std::uint64_t nextUnit = 1;
    std::map<AudioObjectID, Device> devices;  // devices and aggregates
    std::vector<AudioObjectID> deviceList;
    AudioObjectID defaultInput = 0;
    std::map<AudioObjectID, Tap> taps;
    std::map<platform::IOProcID, IOProc> ioProcs;
    std::vector<Listener> listeners;
    std::map<AudioUnit, Unit> units;
    bool componentAvailable = true;
    pcm::StreamDescription aggregateFormat;
    std::function<void()> afterDeviceListSize;

    std::vector<Fault> faults;
    std::vector<platform::TapDescription> tapDescriptions;
    std::vector<platform::AggregateDeviceDescription> aggregateDescriptions;
    std::vector<std::string> journal;
    std::map<std::string, std::size_t> callCounts;
    std::vector<std::string> violations;
    Inventory created;

    // Counts the call and returns the first matching fault (consuming one use of it).
    std::optional<Fault> fault(const std::string& call, std::optional<std::uint64_t> object = {},
                               std::optional<std::uint32_t> selector = {}, std::optional<std::uint32_t> scope = {},
                               std::optional<std::uint32_t> element = {});
    std::optional<Fault> fault(const std::string& call, AudioObjectID object, const platform::PropertyAddress& address) {
        return fault(call, object, address.selector, address.scope, address.element);
    }
    void log(const std::string& call) { journal.push_back(call); }
    // Journals the call, then returns the fault that fails it, if any.
    template <typename... Where>
    std::optional<Fault> enter(const std::string& call, const Where&... where) {
        log(call);
        return fault(call, where...);
    }
    // Runs a call on the simulated machine under the lock, journalled; `body()` runs
    // unless an injected fault matching `where` fails the call.
    template <typename Body, typename... Where>
    OSStatus call(const std::string& name, Body body, const Where&... where) {
        std::lock_guard lock(mutex);
        if (auto f = enter(name, where...)) return f->status;
        return body();
    }
    // Waits until no callback of the entry `id` of `table` (IOProcs, units) is running,
    // unless the caller is that callback (stopping from inside it must not wait for
    // itself), or the entry is gone.
    template <typename Table>
    void waitUntilIdle(std::unique_lock<std::mutex>& lock, const Table& table, typename Table::key_type id) {
        const auto self = std::this_thread::get_id();
        idle.wait(lock, [&] {
            auto it = table.find(id);
            return it == table.end() || it->second.inFlight == 0 || it->second.callingThread == self;
        });
    }
    Inventory live() const;
    // Listener work for a change of (object, address); queued by the caller after unlocking.
    std::vector<std::pair<dispatch::Queue*, dispatch::Work>> notifications(AudioObjectID object,
                                                                           const platform::PropertyAddress& address,
                                                                           const std::shared_ptr<State>& self);
};

// The status of a create call that an injected fault fails; such a fault may also zero
// the ID the call hands back.
template <typename Id>
std::optional<OSStatus> failedCreation(const std::optional<Fault>& fault, Id& outId) {
    if (!fault) return std::nullopt;
    if (fault->zeroID) outId = 0;
    return fault->status;
}

// Input format of a device as the HAL unit sees it.
pcm::StreamDescription hardwareFormatOf(const SimAudioHardware::State::Device& device);

}  // namespace velomar::sim
