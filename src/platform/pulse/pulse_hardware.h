#pragma once
// The audio hardware layer, the HAL-style input unit and the microphone permission
// over one sound-server connection.
//
// Devices: sources other than monitors are input devices, sinks are output-only
// devices; object IDs stay bound to names across server restarts. A process tap with
// its aggregate device records the monitor of the default sink (following it when the
// default sink changes or the server comes back); an input unit records one source.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/audio_hardware.h"
#include "platform/pulse/pulse_connection.h"

namespace velomar::pulse {

// Stable object IDs for named server objects ("source:NAME", "sink:NAME") and fresh
// IDs for objects of our own. ID 1 is the system object, so IDs start at 2.
class NameRegistry {
public:
    platform::AudioObjectID idFor(const std::string& key);
    std::optional<std::string> keyFor(platform::AudioObjectID id) const;
    platform::AudioObjectID fresh();

private:
    mutable std::mutex mutex_;
    std::map<std::string, platform::AudioObjectID> ids_;
    std::map<platform::AudioObjectID, std::string> keys_;
    platform::AudioObjectID next_ = 2;
};

class PulseHardware : public platform::AudioHardware,
                      public platform::AudioUnits,
                      public platform::MicrophoneAuthorization,
                      public std::enable_shared_from_this<PulseHardware> {
public:
    explicit PulseHardware(std::shared_ptr<NameRegistry> registry);
    ~PulseHardware() override;

    // AudioHardware
    platform::OSStatus getPropertyDataSize(platform::AudioObjectID object, const platform::PropertyAddress& address,
                                           std::uint32_t& outSize) override;
    platform::OSStatus getPropertyData(platform::AudioObjectID object, const platform::PropertyAddress& address,
                                       std::uint32_t& ioSize, void* data) override;
    platform::OSStatus getStringProperty(platform::AudioObjectID object, const platform::PropertyAddress& address,
                                         std::string& out) override;
    platform::OSStatus addPropertyListener(platform::AudioObjectID object, const platform::PropertyAddress& address,
                                           dispatch::Queue& queue, platform::PropertyListenerRef listener) override;
    platform::OSStatus removePropertyListener(platform::AudioObjectID object,
                                              const platform::PropertyAddress& address, dispatch::Queue& queue,
                                              platform::PropertyListenerRef listener) override;
    platform::OSStatus createProcessTap(const platform::TapDescription& description,
                                        platform::AudioObjectID& outTap) override;
    platform::OSStatus destroyProcessTap(platform::AudioObjectID tap) override;
    platform::OSStatus createAggregateDevice(const platform::AggregateDeviceDescription& description,
                                             platform::AudioObjectID& outDevice) override;
    platform::OSStatus destroyAggregateDevice(platform::AudioObjectID device) override;
    platform::OSStatus createIOProcIDWithBlock(platform::IOProcID& outID, platform::AudioObjectID device,
                                               std::shared_ptr<dispatch::Queue> queue,
                                               platform::IOBlock block) override;
    platform::OSStatus destroyIOProcID(platform::AudioObjectID device, platform::IOProcID id) override;
    platform::OSStatus deviceStart(platform::AudioObjectID device, platform::IOProcID id) override;
    platform::OSStatus deviceStop(platform::AudioObjectID device, platform::IOProcID id) override;

    // AudioUnits
    platform::AudioComponent findNext(platform::AudioComponent previous,
                                      const platform::ComponentDescription& description) override;
    platform::OSStatus instanceNew(platform::AudioComponent component, platform::AudioUnit& outUnit) override;
    platform::OSStatus setProperty(platform::AudioUnit unit, std::uint32_t property, std::uint32_t scope,
                                   std::uint32_t element, const void* data, std::uint32_t size) override;
    platform::OSStatus getProperty(platform::AudioUnit unit, std::uint32_t property, std::uint32_t scope,
                                   std::uint32_t element, void* data, std::uint32_t& ioSize) override;
    platform::OSStatus initialize(platform::AudioUnit unit) override;
    platform::OSStatus outputUnitStart(platform::AudioUnit unit) override;
    platform::OSStatus render(platform::AudioUnit unit, std::uint32_t* flags, const platform::AudioTimeStamp& timeStamp,
                              std::uint32_t bus, std::uint32_t frames, pcm::AudioBufferList& list) override;
    platform::OSStatus outputUnitStop(platform::AudioUnit unit) override;
    platform::OSStatus uninitialize(platform::AudioUnit unit) override;
    platform::OSStatus instanceDispose(platform::AudioUnit unit) override;

    // MicrophoneAuthorization: the server asks no permission.
    std::int32_t status() override;
    void requestAccess(std::function<void(bool granted)> handler) override;

    // Seconds between reconnection attempts after the server went away.
    static constexpr double kReconnectSeconds = 0.5;
    // How long the default input must hold still before listeners hear of it.
    static constexpr double kSettleSeconds = 0.2;
    // Fragment size asked of the server for every record stream.
    static constexpr double kFragmentSeconds = 0.025;

    // Test views.
    std::string tapSinkName(platform::AudioObjectID aggregate);
    double lastGrantedFragmentSeconds() const { return lastGrantedFragment_.load(); }

private:
    struct ProcRun;
    struct Fanout;
    struct Aggregate;
    struct UnitIO;
    struct Unit;
    struct Listener {
        dispatch::Queue* queue;
        platform::PropertyListenerRef listener;
    };

    // The live connection, connecting on first use; nullptr when the server is away.
    std::shared_ptr<Connection> connection();
    std::shared_ptr<Connection> connectLocked();
    void onConnectionLost(std::uint64_t generation);
    void tryReconnect();
    // Runs fn on the control queue in `seconds` unless a run behind *pending already
    // waits. Called with mutex_ held.
    void scheduleLocked(bool PulseHardware::*pending, double seconds, std::function<void(PulseHardware&)> fn);
    void onServerChanged(std::uint64_t generation);
    void onTapStreamFailed(platform::AudioObjectID aggregate);
    // The server's default devices; nullopt where it names none or its device is missing.
    struct Defaults {
        std::optional<DeviceInfo> source;
        std::optional<DeviceInfo> sink;
        // A device re-created under the same name is another device: its index differs.
        std::pair<std::string, std::uint32_t> sourceKey() const {
            return source ? std::pair(source->name, source->index) : std::pair(std::string(), 0u);
        }
        bool input() const { return source && !source->isMonitor; }
        std::string tapSink() const { return sink && !sink->monitorSourceName.empty() ? sink->name : ""; }
    };
    std::optional<Defaults> defaults(Connection& conn);
    void ensureTapStreams();
    void announceDefaultInput(std::uint64_t generation);
    void fireDefaultInputListeners();
    // Opens (or re-opens) the aggregate's stream on the default sink's monitor.
    bool retarget(platform::AudioObjectID aggregate, bool force);
    bool needsServer();

    enum class Kind { source, sink };
    struct Resolved {
        Kind kind;
        DeviceInfo info;
    };
    // A device object: its current info, or nullopt (status in *status).
    std::optional<Resolved> resolveDevice(platform::AudioObjectID id, platform::OSStatus* status);

    std::shared_ptr<NameRegistry> registry_;
    std::shared_ptr<dispatch::Queue> control_;

    std::mutex connectMutex_;  // serialises connecting; taken before mutex_
    std::mutex mutex_;         // everything below
    std::shared_ptr<Connection> connection_;
    std::uint64_t generation_ = 0;
    bool reconnectScheduled_ = false;
    bool retargetScheduled_ = false;
    bool inputRecheckScheduled_ = false;
    bool announceScheduled_ = false;
    std::pair<std::string, std::uint32_t> announcedSource_;  // the default input listeners last heard of
    std::string lastDefaultSink_;
    std::vector<Listener> listeners_;
    std::map<platform::AudioObjectID, std::pair<std::string, bool>> taps_;  // uid, mono
    std::map<platform::AudioObjectID, std::shared_ptr<Aggregate>> aggregates_;
    std::map<platform::AudioUnit, std::shared_ptr<Unit>> units_;
    platform::IOProcID nextProc_ = 1;
    platform::AudioUnit nextUnit_ = 1;
    std::atomic<double> lastGrantedFragment_{0};
};

}  // namespace velomar::pulse
