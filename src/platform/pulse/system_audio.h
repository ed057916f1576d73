#pragma once
// The process tap and its aggregate device: the monitor of the server's default sink,
// followed when the default sink changes or the server comes back, delivered to the
// I/O blocks registered on the aggregate.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "platform/audio_hardware.h"
#include "platform/pulse/name_registry.h"
#include "platform/pulse/server_watch.h"

namespace velomar::pulse {

class SystemAudioFollower : public std::enable_shared_from_this<SystemAudioFollower> {
public:
    SystemAudioFollower(std::shared_ptr<NameRegistry> registry, std::shared_ptr<ServerWatch> watch,
                        std::shared_ptr<std::atomic<double>> grantedFragment);
    // Stops every block and closes every stream; nothing runs after this.
    void shutdown();

    platform::OSStatus createProcessTap(const platform::TapDescription& description, platform::AudioObjectID& outTap);
    platform::OSStatus destroyProcessTap(platform::AudioObjectID tap);
    platform::OSStatus createAggregateDevice(const platform::AggregateDeviceDescription& description,
                                             platform::AudioObjectID& outDevice);
    platform::OSStatus destroyAggregateDevice(platform::AudioObjectID device);
    platform::OSStatus createIOProcIDWithBlock(platform::IOProcID& outID, platform::AudioObjectID device,
                                               std::shared_ptr<dispatch::Queue> queue, platform::IOBlock block);
    platform::OSStatus destroyIOProcID(platform::AudioObjectID device, platform::IOProcID id);
    platform::OSStatus deviceStart(platform::AudioObjectID device, platform::IOProcID id);
    platform::OSStatus deviceStop(platform::AudioObjectID device, platform::IOProcID id);

    // Whether a block runs on some aggregate: then the server is needed.
    bool running();
    // Puts every running tap on the default sink's monitor, retrying what cannot be done now.
    void ensureStreams();

    // What the property tables show of our own objects.
    struct AggregateView {
        std::string uid;
        std::string name;
        std::uint32_t rate = 0;
        std::uint32_t channels = 0;
    };
    std::optional<AggregateView> aggregate(platform::AudioObjectID id);
    std::optional<std::string> tapUID(platform::AudioObjectID id);
    // The sink whose monitor the aggregate records; empty without a stream.
    std::string sinkName(platform::AudioObjectID aggregate);

private:
    struct Proc;
    struct Fanout;
    struct Aggregate;
    struct Tap {
        std::string uid;
        bool mono = true;
    };

    // Opens (or re-opens) the aggregate's stream on the default sink's monitor.
    bool retarget(platform::AudioObjectID aggregate, bool force);
    std::shared_ptr<Aggregate> find(platform::AudioObjectID id);

    std::shared_ptr<NameRegistry> registry_;
    std::shared_ptr<ServerWatch> watch_;
    std::shared_ptr<std::atomic<double>> grantedFragment_;
    Retry retarget_;

    std::mutex mutex_;  // everything below, and the aggregates' stream fields
    std::map<platform::AudioObjectID, Tap> taps_;
    std::map<platform::AudioObjectID, std::shared_ptr<Aggregate>> aggregates_;
    platform::IOProcID nextProc_ = 1;
};

}  // namespace velomar::pulse
