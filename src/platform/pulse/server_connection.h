#pragma once
// One connection to the sound server: a threaded mainloop with its context, and the few
// queries the backend needs. Every wait has a time-out and none holds the mainloop lock,
// so a hung server gives an error instead of a hang. Callbacks set from outside run on
// the mainloop thread with the lock held: they must only copy data and hand work to a queue.

#include <pulse/pulseaudio.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/stream_orderer.h"

namespace velomar::pulse {

constexpr double kWaitSeconds = 5.0;

struct ServerInfo {
    std::string defaultSinkName;
    std::string defaultSourceName;
    std::string serverName;
    std::string serverVersion;
};

struct DeviceInfo {
    std::uint32_t index = 0;
    std::string name;
    std::string description;
    std::uint32_t rate = 0;
    std::uint32_t channels = 0;
    pa_channel_map channelMap{};    // the device's own layout
    std::string monitorSourceName;  // sinks only
    bool isMonitor = false;         // sources only
};

class RecordStream;

class Connection : public std::enable_shared_from_this<Connection> {
public:
    // Connects without autospawn to PULSE_SERVER or the default socket; waits at most
    // kWaitSeconds. nullptr with *error on failure.
    static std::shared_ptr<Connection> connect(const std::string& clientName, std::string* error);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Holds the mainloop lock; never held while waiting for the server.
    class Lock {
    public:
        explicit Lock(Connection& connection);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        pa_threaded_mainloop* mainloop_;
    };

    // Called once, on the mainloop thread, when the connection breaks.
    void setFailureHandler(std::function<void(const std::string& error)> handler);
    // Subscribes to server changes (default sink or source) and to sinks and sources
    // appearing or going; handler on the mainloop thread.
    bool subscribeServerChanges(std::function<void()> handler);

    bool alive() const;
    std::string errorText() const;  // text of the context's last error

    std::optional<ServerInfo> serverInfo();
    std::optional<std::vector<DeviceInfo>> sources();
    std::optional<std::vector<DeviceInfo>> sinks();
    std::optional<DeviceInfo> source(const std::string& name);
    std::optional<DeviceInfo> sink(const std::string& name);

private:
    friend class RecordStream;
    Connection() = default;
    static void stateCallback(pa_context* context, void* userdata);
    static void subscribeCallback(pa_context* context, pa_subscription_event_type_t type, std::uint32_t index,
                                  void* userdata);

    // Starts an operation under the lock, waits for done (or failure, or the time-out)
    // without the lock, and cancels what is still pending.
    bool runOperation(const std::function<pa_operation*()>& start, const bool& done);
    // Waits on the wait mutex until predicate() or the connection failed or time-out.
    bool waitFor(const std::function<bool()>& predicate);
    void markDone(bool& flag);
    // Sources and sinks come through the same list protocol; Info is the server's record.
    template <typename Info>
    using InfoCallback = void (*)(pa_context*, const Info*, int, void*);
    // Runs a query of the list kind (a list, or one device by name): its entries, or
    // nullopt when it failed or the server knows no such device.
    template <typename Info>
    std::optional<std::vector<DeviceInfo>> deviceList(
        const std::function<pa_operation*(InfoCallback<Info>, void*)>& start, DeviceInfo (*convert)(const Info&));

    pa_threaded_mainloop* mainloop_ = nullptr;
    pa_context* context_ = nullptr;

    mutable std::mutex waitMutex_;
    std::condition_variable waitCv_;
    bool failed_ = false;  // under waitMutex_
    bool ready_ = false;   // under waitMutex_
    std::function<void(const std::string&)> onFailure_;  // mainloop lock
    std::function<void()> onServerChange_;               // mainloop lock
    // The streams' chunks go out in capture order across streams (mainloop lock).
    platform::StreamOrderer orderer_;
};

}  // namespace velomar::pulse
