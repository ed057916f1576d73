#pragma once
// Simulated audio hardware and HAL-style input units: an in-memory machine that tests
// set up (devices, default input, taps, aggregate devices), drive (I/O cycles, render
// cycles, default-input changes), break (any call failing with a chosen status, or
// "succeeding" with a zero ID) and inspect (what is alive, what was created, what was
// misused). Thread-safe; no callback is ever made while the machine's lock is held.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_hardware.h"
#include "platform/sim/sim_authorization.h"

namespace velomar::sim {

using platform::AudioObjectID;
using platform::AudioUnit;
using platform::OSStatus;

// Statuses of the unit layer, as its callers know them.
namespace unitstatus {
constexpr OSStatus paramError = -50;
constexpr OSStatus initialized = -10849;
constexpr OSStatus invalidPropertyValue = -10851;
constexpr OSStatus cannotDoInCurrentContext = -10863;
constexpr OSStatus propertyNotWritable = -10865;
constexpr OSStatus invalidScope = -10866;
constexpr OSStatus uninitialized = -10867;
constexpr OSStatus invalidElement = -10877;
constexpr OSStatus invalidProperty = -10879;
constexpr OSStatus invalidUnit = -10881;
}  // namespace unitstatus

// Value of channel `channel` at frame `frame`, frames counted from the first cycle.
using SignalFn = std::function<float(std::uint32_t channel, std::uint64_t frame)>;

struct SimDevice {
    std::string uid;
    std::string name;
    std::vector<std::uint32_t> inputStreams;   // channels of each input stream ('slay', input)
    std::vector<std::uint32_t> outputStreams;  // channels of each output stream ('slay', output)
    double nominalSampleRate = 48000.0;
    // What a HAL unit reports on its input side and 'sfmt' on the input scope. Absent:
    // packed float at the nominal rate with all input channels, interleaved.
    std::optional<pcm::StreamDescription> hardwareFormat;
    // What a HAL unit bound to the device renders; silence when empty.
    SignalFn signal;

    static SimDevice input(std::string uid, std::string name, std::vector<std::uint32_t> streams,
                           double rate = 48000.0) {
        SimDevice d;
        d.uid = std::move(uid);
        d.name = std::move(name);
        d.inputStreams = std::move(streams);
        d.nominalSampleRate = rate;
        return d;
    }
    static SimDevice output(std::string uid, std::string name, std::vector<std::uint32_t> streams) {
        SimDevice d;
        d.uid = std::move(uid);
        d.name = std::move(name);
        d.outputStreams = std::move(streams);
        return d;
    }
};

// Makes matching calls fail. A call matches when its name is `call` and every given
// filter equals the call's argument (object: the object ID or unit; selector: the
// property selector or unit property).
struct Fault {
    std::string call;  // the method name, e.g. "createProcessTap", "setProperty", "render"
    OSStatus status = platform::kErrUnspecified;
    // The call returns `status` (usually 0) and a zero ID / no component instead of an object.
    bool zeroID = false;
    std::optional<std::uint64_t> object;
    std::optional<std::uint32_t> selector;
    std::optional<std::uint32_t> scope;
    std::optional<std::uint32_t> element;
    int times = -1;  // how many matching calls fail; -1 = all of them

    static Fault failing(std::string call, OSStatus status) {
        Fault f;
        f.call = std::move(call);
        f.status = status;
        return f;
    }
    static Fault zeroResult(std::string call) {
        Fault f;
        f.call = std::move(call);
        f.status = platform::kNoError;
        f.zeroID = true;
        return f;
    }
};

// Counts of platform objects, by kind.
struct Inventory {
    std::size_t taps = 0;
    std::size_t aggregates = 0;
    std::size_t ioProcs = 0;
    std::size_t runningIOProcs = 0;  // started and not stopped
    std::size_t units = 0;
    std::size_t initializedUnits = 0;
    std::size_t runningUnits = 0;
    std::size_t listeners = 0;
    bool empty() const { return *this == Inventory{}; }
    bool operator==(const Inventory&) const = default;
};

// One buffer of an input list delivered to an IOProc: raw bytes as the device has them.
struct SimBuffer {
    std::uint32_t numberChannels = 1;
    std::vector<std::uint8_t> bytes;
};

class SimAudioUnits;

class SimAudioHardware : public platform::AudioHardware {
public:
    SimAudioHardware();
    ~SimAudioHardware() override;
    SimAudioHardware(const SimAudioHardware&) = delete;
    SimAudioHardware& operator=(const SimAudioHardware&) = delete;

    OSStatus getPropertyDataSize(AudioObjectID object, const platform::PropertyAddress& address,
                                 std::uint32_t& outSize) override;
    OSStatus getPropertyData(AudioObjectID object, const platform::PropertyAddress& address, std::uint32_t& ioSize,
                             void* data) override;
    OSStatus getStringProperty(AudioObjectID object, const platform::PropertyAddress& address,
                               std::string& out) override;
    OSStatus addPropertyListener(AudioObjectID object, const platform::PropertyAddress& address,
                                 dispatch::Queue& queue, platform::PropertyListenerRef listener) override;
    OSStatus removePropertyListener(AudioObjectID object, const platform::PropertyAddress& address,
                                    dispatch::Queue& queue, platform::PropertyListenerRef listener) override;
    OSStatus createProcessTap(const platform::TapDescription& description, AudioObjectID& outTap) override;
    OSStatus destroyProcessTap(AudioObjectID tap) override;
    OSStatus createAggregateDevice(const platform::AggregateDeviceDescription& description,
                                   AudioObjectID& outDevice) override;
    OSStatus destroyAggregateDevice(AudioObjectID device) override;
    OSStatus createIOProcIDWithBlock(platform::IOProcID& outID, AudioObjectID device,
                                     std::shared_ptr<dispatch::Queue> queue, platform::IOBlock block) override;
    OSStatus destroyIOProcID(AudioObjectID device, platform::IOProcID id) override;
    OSStatus deviceStart(AudioObjectID device, platform::IOProcID id) override;
    OSStatus deviceStop(AudioObjectID device, platform::IOProcID id) override;

    // ---- the machine -----------------------------------------------------------
    // Appends a device to the system's device list and returns its ID.
    AudioObjectID addDevice(SimDevice device);
    // Takes a device out of the list; when it was the default input, the default becomes none.
    void removeDevice(AudioObjectID device);
    // Replaces the list order (IDs not given are dropped from the list, not destroyed).
    void setDeviceOrder(std::vector<AudioObjectID> order);
    std::vector<AudioObjectID> deviceList() const;
    // 0 = none. Listeners of 'dIn ' are notified when the value changes.
    void setDefaultInputDevice(AudioObjectID device);
    AudioObjectID defaultInputDevice() const;
    void setDeviceSignal(AudioObjectID device, SignalFn signal);
    void setHardwareFormat(AudioObjectID device, std::optional<pcm::StreamDescription> format);
    // Queues a notification to every listener of that object and address, changed or not.
    void notifyPropertyChanged(AudioObjectID object, const platform::PropertyAddress& address);
    // Every read of the property (size, data, string) fails with status.
    void makeUnreadable(AudioObjectID object, std::uint32_t selector,
                        OSStatus status = platform::kErrUnknownProperty);
    // Runs once, right after the next size query of the device list has been answered
    // (e.g. removeDevice, to make the list shrink before it is read).
    void afterNextDeviceListSize(std::function<void()> hook);

    // ---- faults ----------------------------------------------------------------
    void injectFault(Fault fault);
    void clearFaults();

    // ---- taps and aggregate devices ----------------------------------------------
    // Input stream format ('sfmt', input) of aggregate devices created from now on,
    // and their cycles' default format. Default: packed mono float at 48 kHz.
    void setAggregateStreamFormat(pcm::StreamDescription format);
    std::vector<platform::TapDescription> tapDescriptions() const;                   // every creation
    std::vector<platform::AggregateDeviceDescription> aggregateDescriptions() const;  // every creation
    std::vector<AudioObjectID> liveTaps() const;
    std::vector<AudioObjectID> liveAggregates() const;
    std::optional<std::string> tapUID(AudioObjectID tap) const;

    // ---- I/O cycles ------------------------------------------------------------
    // Queues one call of every running IOProc block of the device on its queue with
    // this input list and host time (input and "now" stamps, sample time counted per
    // IOProc). With wait, returns after those calls have run (or found their IOProc
    // stopped); must then not be called from such a queue. Returns the blocks queued.
    std::size_t deliverIOCycle(AudioObjectID device, std::vector<SimBuffer> input, std::uint64_t hostTime,
                               bool wait = true);
    // As above, with a list built in `format` (float32, int16 or int32; interleaved or
    // not) from per-channel samples; missing channels or frames are silence.
    std::size_t deliverIOCycle(AudioObjectID device, std::uint32_t frames, const pcm::StreamDescription& format,
                               std::uint64_t hostTime, const std::vector<std::vector<float>>& channels = {},
                               bool wait = true);

    // ---- registry --------------------------------------------------------------
    Inventory live() const;
    Inventory created() const;  // totals since construction
    // Lifecycle calls in order ("createProcessTap", "deviceStop", "instanceDispose", ...),
    // failed ones included; property reads are not journalled.
    std::vector<std::string> journal() const;
    std::size_t callCount(const std::string& call) const;  // every call, reads included
    // Misuse seen (e.g. an aggregate destroyed while an IOProc is registered on it).
    std::vector<std::string> violations() const;
    std::size_t listenerCount(AudioObjectID object, const platform::PropertyAddress& address) const;

    struct State;

private:
    friend class SimAudioUnits;

    std::shared_ptr<State> state_;
};

class SimAudioUnits : public platform::AudioUnits {
public:
    explicit SimAudioUnits(SimAudioHardware& hardware);

    platform::AudioComponent findNext(platform::AudioComponent previous,
                                      const platform::ComponentDescription& description) override;
    OSStatus instanceNew(platform::AudioComponent component, AudioUnit& outUnit) override;
    OSStatus setProperty(AudioUnit unit, std::uint32_t property, std::uint32_t scope, std::uint32_t element,
                         const void* data, std::uint32_t size) override;
    OSStatus getProperty(AudioUnit unit, std::uint32_t property, std::uint32_t scope, std::uint32_t element,
                         void* data, std::uint32_t& ioSize) override;
    OSStatus initialize(AudioUnit unit) override;
    OSStatus outputUnitStart(AudioUnit unit) override;
    OSStatus render(AudioUnit unit, std::uint32_t* flags, const platform::AudioTimeStamp& timeStamp,
                    std::uint32_t bus, std::uint32_t frames, pcm::AudioBufferList& list) override;
    OSStatus outputUnitStop(AudioUnit unit) override;
    OSStatus uninitialize(AudioUnit unit) override;
    OSStatus instanceDispose(AudioUnit unit) override;

    // Whether findNext finds the HAL component at all.
    void setComponentAvailable(bool available);
    // One input cycle of a running unit, on the calling thread: calls its input
    // callback with bus 1, `frames` and a stamp carrying hostTime. Returns the
    // callback's status, or nullopt when the unit is not running or has no callback.
    std::optional<OSStatus> renderCycle(AudioUnit unit, std::uint32_t frames, std::uint64_t hostTime);

    struct UnitInfo {
        AudioObjectID device = 0;
        bool inputEnabled = false;
        bool outputEnabled = true;
        bool initialized = false;
        bool running = false;
        std::optional<pcm::StreamDescription> clientFormat;
        platform::InputCallback callback;
        std::uint64_t renders = 0;  // successful render calls
    };
    std::optional<UnitInfo> unitInfo(AudioUnit unit) const;
    std::vector<AudioUnit> liveUnits() const;

private:
    SimAudioHardware& hardware_;
};

}  // namespace velomar::sim
