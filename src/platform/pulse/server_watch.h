#pragma once
// The server connection as the hardware layer sees it: connected on first use, replaced
// when the server goes and comes back, and watched for its default devices. Listeners
// of the default input hear of a new one once it has held still.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/audio_hardware.h"
#include "platform/pulse/backend_shared.h"
#include "platform/pulse/record_stream.h"

namespace velomar::pulse {

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

class ServerWatch : public std::enable_shared_from_this<ServerWatch> {
public:
    // What the system-audio side tells and asks the watch.
    struct Hooks {
        std::function<bool()> tapsRunning;    // whether a tap needs the server
        std::function<void()> reopenTaps;     // the default sink or the server changed
    };
    void setHooks(Hooks hooks);

    // The live connection, connecting on first use; nullptr when the server is away.
    std::shared_ptr<Connection> connection();
    std::optional<Defaults> defaults(Connection& conn);

    void addDefaultInputListener(dispatch::Queue& queue, platform::PropertyListenerRef listener);
    bool removeDefaultInputListener(dispatch::Queue& queue, const platform::PropertyListenerRef& listener);

    // Seconds between reconnection attempts after the server went away.
    static constexpr double kReconnectSeconds = 0.5;
    // How long the default input must hold still before listeners hear of it.
    static constexpr double kSettleSeconds = 0.2;

private:
    struct Listener {
        dispatch::Queue* queue;
        platform::PropertyListenerRef listener;
    };

    std::shared_ptr<Connection> connectLocked();
    void onConnectionLost(std::uint64_t generation);
    void tryReconnect();
    // The defaults on the connection of that generation; nullopt once it was replaced.
    std::optional<Defaults> defaultsOf(std::uint64_t generation);
    void onServerChanged(std::uint64_t generation);
    void announceDefaultInput(std::uint64_t generation);
    void fireDefaultInputListeners();
    bool needsServer();
    // Runs fn with this watch on the control queue, unless the watch is gone by then.
    std::function<void()> later(std::function<void(ServerWatch&)> fn);

    std::mutex connectMutex_;  // serialises connecting; taken before mutex_
    std::mutex mutex_;         // everything below
    Hooks hooks_;
    std::shared_ptr<Connection> connection_;
    std::uint64_t generation_ = 0;
    std::pair<std::string, std::uint32_t> announcedSource_;  // the default input listeners last heard of
    std::string lastDefaultSink_;
    std::vector<Listener> listeners_;
    Retry reconnect_;
    Retry inputRecheck_;
    Retry announce_;
};

}  // namespace velomar::pulse
