#include "platform/pulse/server_watch.h"

#include <algorithm>

namespace velomar::pulse {

using namespace platform;

void ServerWatch::setHooks(Hooks hooks) {
    std::lock_guard g(mutex_);
    hooks_ = std::move(hooks);
}

std::function<void()> ServerWatch::later(std::function<void(ServerWatch&)> fn) {
    return [weak = weak_from_this(), fn = std::move(fn)] {
        if (auto self = weak.lock()) fn(*self);
    };
}

std::shared_ptr<Connection> ServerWatch::connection() {
    std::lock_guard c(connectMutex_);
    {
        std::lock_guard g(mutex_);
        if (connection_ && connection_->alive()) return connection_;
    }
    return connectLocked();
}

std::shared_ptr<Connection> ServerWatch::connectLocked() {
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
    // Both handlers run on the mainloop thread: they only hand over to the control queue.
    conn->setFailureHandler([work = later([generation](ServerWatch& self) { self.onConnectionLost(generation); })](
                                const std::string&) { controlQueue().async(work); });
    conn->subscribeServerChanges(
        [work = later([generation](ServerWatch& self) { self.onServerChanged(generation); })] {
            controlQueue().async(work);
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
    // A call found the old connection dead before its loss was handled: recover now.
    if (replaced) controlQueue().async(later([](ServerWatch& self) { self.tryReconnect(); }));
    return conn;
}

bool ServerWatch::needsServer() {
    std::function<bool()> tapsRunning;
    {
        std::lock_guard g(mutex_);
        if (!listeners_.empty()) return true;
        tapsRunning = hooks_.tapsRunning;
    }
    return tapsRunning && tapsRunning();
}

void ServerWatch::onConnectionLost(std::uint64_t generation) {
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
void ServerWatch::tryReconnect() {
    if (!needsServer()) return;
    auto conn = connection();
    if (!conn) {
        reconnect_.schedule(kReconnectSeconds, later([](ServerWatch& self) { self.tryReconnect(); }));
        return;
    }
    std::function<void()> reopenTaps;
    std::uint64_t generation;
    {
        std::lock_guard g(mutex_);
        reopenTaps = hooks_.reopenTaps;
        generation = generation_;
    }
    if (reopenTaps) reopenTaps();
    fireDefaultInputListeners();
    // The server may come back without a default input yet.
    onServerChanged(generation);
}

std::optional<Defaults> ServerWatch::defaults(Connection& conn) {
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

std::optional<Defaults> ServerWatch::defaultsOf(std::uint64_t generation) {
    std::shared_ptr<Connection> conn;
    {
        std::lock_guard g(mutex_);
        if (generation != generation_) return std::nullopt;
        conn = connection_;
    }
    if (!conn) return std::nullopt;
    return defaults(*conn);
}

void ServerWatch::onServerChanged(std::uint64_t generation) {
    auto current = defaultsOf(generation);
    if (!current) return;
    std::function<void()> reopenTaps;
    {
        std::lock_guard g(mutex_);
        const bool sourceMoved = current->sourceKey() != announcedSource_;
        if (current->tapSink() != lastDefaultSink_) reopenTaps = hooks_.reopenTaps;
        lastDefaultSink_ = current->tapSink();
        // The default input flickers while the server reorganises (PipeWire names none for
        // a moment between two sources, or the next one before none): listeners hear of it
        // once it has held still, and only if it is another device than the one they last
        // heard of.
        if (sourceMoved) {
            announce_.schedule(kSettleSeconds,
                               later([generation](ServerWatch& self) { self.announceDefaultInput(generation); }));
        }
        // The server may settle on a new default input without a word (see defaults()):
        // while no input is the default, look again shortly.
        if (!current->input() && !listeners_.empty()) {
            inputRecheck_.schedule(kReconnectSeconds,
                                   later([generation](ServerWatch& self) { self.onServerChanged(generation); }));
        }
    }
    if (reopenTaps) reopenTaps();
}

void ServerWatch::announceDefaultInput(std::uint64_t generation) {
    auto current = defaultsOf(generation);
    if (!current) return;
    {
        std::lock_guard g(mutex_);
        if (current->sourceKey() == announcedSource_) return;
        announcedSource_ = current->sourceKey();
    }
    fireDefaultInputListeners();
}

void ServerWatch::fireDefaultInputListeners() {
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

void ServerWatch::addDefaultInputListener(dispatch::Queue& queue, PropertyListenerRef listener) {
    // The subscription lives on the connection: make sure there is one.
    connection();
    std::lock_guard g(mutex_);
    listeners_.push_back({&queue, std::move(listener)});
}

bool ServerWatch::removeDefaultInputListener(dispatch::Queue& queue, const PropertyListenerRef& listener) {
    std::lock_guard g(mutex_);
    auto it = std::find_if(listeners_.begin(), listeners_.end(),
                           [&](const Listener& l) { return l.queue == &queue && l.listener == listener; });
    if (it == listeners_.end()) return false;
    listeners_.erase(it);
    return true;
}

}  // namespace velomar::pulse
