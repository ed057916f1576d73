#pragma once
// The audio hardware layer as the engines see it: objects with properties, a default-
// input listener, process taps, aggregate devices and I/O blocks, a HAL-style input
// unit and microphone authorisation. Every call returns a 32-bit status (0 = success);
// objects are 32-bit IDs (0 = none, the system object is 1). No backend type leaks
// through here, so a backend over any sound system can implement it.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch.h"
#include "platform/pcm.h"

namespace velomar::platform {

using OSStatus = std::int32_t;
using AudioObjectID = std::uint32_t;
using pcm::fourCC;

constexpr AudioObjectID kSystemObject = 1;
constexpr OSStatus kNoError = 0;

// Statuses the backends use for their own failures (values as on the original layer).
constexpr OSStatus kErrUnknownProperty = static_cast<OSStatus>(fourCC("who?"));
constexpr OSStatus kErrBadObject = static_cast<OSStatus>(fourCC("!obj"));
constexpr OSStatus kErrBadPropertySize = static_cast<OSStatus>(fourCC("!siz"));
constexpr OSStatus kErrUnspecified = static_cast<OSStatus>(fourCC("what"));
constexpr OSStatus kErrIllegalOperation = static_cast<OSStatus>(fourCC("nope"));

struct PropertyAddress {
    std::uint32_t selector = 0;
    std::uint32_t scope = 0;
    std::uint32_t element = 0;
    bool operator==(const PropertyAddress&) const = default;
};

namespace scope {
constexpr std::uint32_t global = fourCC("glob");
constexpr std::uint32_t input = fourCC("inpt");
constexpr std::uint32_t output = fourCC("outp");
}  // namespace scope

namespace selector {
constexpr std::uint32_t defaultInputDevice = fourCC("dIn ");   // system: AudioObjectID
constexpr std::uint32_t devices = fourCC("dev#");              // system: AudioObjectID[]
constexpr std::uint32_t streamConfiguration = fourCC("slay");  // device: StreamConfiguration
constexpr std::uint32_t deviceUID = fourCC("uid ");            // device: string
constexpr std::uint32_t name = fourCC("lnam");                 // device: string
constexpr std::uint32_t nominalSampleRate = fourCC("nsrt");    // device: double
constexpr std::uint32_t tapUID = fourCC("tuid");               // tap: string
constexpr std::uint32_t streamFormat = fourCC("sfmt");         // device: pcm::StreamDescription
}  // namespace selector

// Wire form of 'slay': a count followed by that many per-stream channel counts,
// i.e. 4 + 4 × streams bytes.
struct StreamConfigurationHeader {
    std::uint32_t numberStreams = 0;
    // std::uint32_t channels[numberStreams] follows
};

struct AudioTimeStamp {
    double sampleTime = 0;
    std::uint64_t hostTime = 0;  // pcm host-clock ticks
    std::uint32_t flags = 0;
};
constexpr std::uint32_t kTimeStampSampleTimeValid = 1u << 0;
constexpr std::uint32_t kTimeStampHostTimeValid = 1u << 1;

// Listener identity is the shared object: remove with the same pointer that was added.
using PropertyListener = std::function<void(std::uint32_t count, const PropertyAddress* addresses)>;
using PropertyListenerRef = std::shared_ptr<const PropertyListener>;

struct TapDescription {
    bool mono = true;
    bool global = true;  // the whole system output mix
    std::vector<std::int32_t> excludedProcesses;
    bool isPrivate = false;
    std::int32_t muteBehavior = 0;  // 0 = unmuted
};

struct AggregateDeviceDescription {
    struct Tap {
        std::string uid;
        bool driftCompensation = false;
    };
    std::string name;
    std::string uid;
    bool isPrivate = false;
    bool isStacked = false;
    std::vector<Tap> taps;
};

using IOProcID = std::uint64_t;  // 0 = none
// (now, input list, input time, output list, output time); runs on the queue given at creation.
using IOBlock = std::function<void(const AudioTimeStamp& now, const pcm::AudioBufferList* input,
                                   const AudioTimeStamp& inputTime, pcm::AudioBufferList* output,
                                   const AudioTimeStamp& outputTime)>;

class AudioHardware {
public:
    virtual ~AudioHardware() = default;

    // Size in bytes of a property's value. Lists can change between this and the read.
    virtual OSStatus getPropertyDataSize(AudioObjectID object, const PropertyAddress& address,
                                         std::uint32_t& outSize) = 0;
    // Reads fixed-size and list values (IDs, doubles, stream descriptions, 'slay').
    // ioSize: the room in data on the way in, the bytes written on the way out.
    virtual OSStatus getPropertyData(AudioObjectID object, const PropertyAddress& address,
                                     std::uint32_t& ioSize, void* data) = 0;
    // Reads a string value ('uid ', 'lnam', 'tuid').
    virtual OSStatus getStringProperty(AudioObjectID object, const PropertyAddress& address,
                                       std::string& out) = 0;

    virtual OSStatus addPropertyListener(AudioObjectID object, const PropertyAddress& address,
                                         dispatch::Queue& queue, PropertyListenerRef listener) = 0;
    virtual OSStatus removePropertyListener(AudioObjectID object, const PropertyAddress& address,
                                            dispatch::Queue& queue, PropertyListenerRef listener) = 0;

    virtual OSStatus createProcessTap(const TapDescription& description, AudioObjectID& outTap) = 0;
    virtual OSStatus destroyProcessTap(AudioObjectID tap) = 0;
    virtual OSStatus createAggregateDevice(const AggregateDeviceDescription& description,
                                           AudioObjectID& outDevice) = 0;
    virtual OSStatus destroyAggregateDevice(AudioObjectID device) = 0;

    virtual OSStatus createIOProcIDWithBlock(IOProcID& outID, AudioObjectID device,
                                             std::shared_ptr<dispatch::Queue> queue, IOBlock block) = 0;
    virtual OSStatus destroyIOProcID(AudioObjectID device, IOProcID id) = 0;
    virtual OSStatus deviceStart(AudioObjectID device, IOProcID id) = 0;
    // Returns only when no further block call for this IOProc will start.
    virtual OSStatus deviceStop(AudioObjectID device, IOProcID id) = 0;
};

// ---- HAL-style input unit --------------------------------------------------------

struct ComponentDescription {
    std::uint32_t type = 0;
    std::uint32_t subType = 0;
    std::uint32_t manufacturer = 0;
    std::uint32_t flags = 0;
    std::uint32_t flagsMask = 0;
};
constexpr std::uint32_t kUnitTypeOutput = fourCC("auou");
constexpr std::uint32_t kUnitSubTypeHALOutput = fourCC("ahal");
constexpr std::uint32_t kUnitManufacturerApple = fourCC("appl");

using AudioComponent = std::uint64_t;  // 0 = none
using AudioUnit = std::uint64_t;       // 0 = none

namespace unitprop {
constexpr std::uint32_t streamFormat = 8;          // pcm::StreamDescription
constexpr std::uint32_t currentDevice = 2000;      // AudioObjectID
constexpr std::uint32_t enableIO = 2003;           // std::uint32_t 0/1
constexpr std::uint32_t setInputCallback = 2005;   // InputCallback
}  // namespace unitprop
namespace unitscope {
constexpr std::uint32_t global = 0;
constexpr std::uint32_t input = 1;
constexpr std::uint32_t output = 2;
}  // namespace unitscope

// Called on the unit's I/O thread once per input cycle; the callee pulls the samples
// with AudioUnits::render. refCon is passed back unchanged.
using InputProc = OSStatus (*)(void* refCon, std::uint32_t* flags, const AudioTimeStamp* timeStamp,
                               std::uint32_t bus, std::uint32_t frames, pcm::AudioBufferList* data);
struct InputCallback {
    InputProc proc = nullptr;
    void* refCon = nullptr;
};
static_assert(sizeof(InputCallback) == 16);

class AudioUnits {
public:
    virtual ~AudioUnits() = default;
    virtual AudioComponent findNext(AudioComponent previous, const ComponentDescription& description) = 0;
    virtual OSStatus instanceNew(AudioComponent component, AudioUnit& outUnit) = 0;
    virtual OSStatus setProperty(AudioUnit unit, std::uint32_t property, std::uint32_t scope,
                                 std::uint32_t element, const void* data, std::uint32_t size) = 0;
    virtual OSStatus getProperty(AudioUnit unit, std::uint32_t property, std::uint32_t scope,
                                 std::uint32_t element, void* data, std::uint32_t& ioSize) = 0;
    virtual OSStatus initialize(AudioUnit unit) = 0;
    virtual OSStatus outputUnitStart(AudioUnit unit) = 0;
    // Fills the list's buffers (one per client channel, non-interleaved float) with the
    // cycle's samples. Only valid inside the input callback of that unit.
    virtual OSStatus render(AudioUnit unit, std::uint32_t* flags, const AudioTimeStamp& timeStamp,
                            std::uint32_t bus, std::uint32_t frames, pcm::AudioBufferList& list) = 0;
    // Returns only when no input callback of the unit is running or will start.
    virtual OSStatus outputUnitStop(AudioUnit unit) = 0;
    virtual OSStatus uninitialize(AudioUnit unit) = 0;
    virtual OSStatus instanceDispose(AudioUnit unit) = 0;
};

// ---- Microphone authorisation ----------------------------------------------------

namespace authorization {
constexpr std::int32_t notDetermined = 0;
constexpr std::int32_t restricted = 1;
constexpr std::int32_t denied = 2;
constexpr std::int32_t authorized = 3;
}  // namespace authorization

class MicrophoneAuthorization {
public:
    virtual ~MicrophoneAuthorization() = default;
    virtual std::int32_t status() = 0;  // authorization::*, other values possible
    // The handler runs once, on a thread other than the caller's, with true when granted.
    virtual void requestAccess(std::function<void(bool granted)> handler) = 0;
};

}  // namespace velomar::platform
