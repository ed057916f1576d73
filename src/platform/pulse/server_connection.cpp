// The connection itself: the threaded mainloop and its context, the bounded waits, and
// the queries of the server's defaults and devices.
#include "platform/pulse/server_connection.h"

#include <chrono>
#include <utility>

namespace velomar::pulse {

namespace {

std::string text(const char* s) { return s ? std::string(s) : std::string(); }

// What sources and sinks have in common.
template <typename Info>
DeviceInfo fromDevice(const Info& info) {
    DeviceInfo d;
    d.index = info.index;
    d.name = text(info.name);
    d.description = text(info.description);
    d.rate = info.sample_spec.rate;
    d.channels = info.sample_spec.channels;
    d.channelMap = info.channel_map;
    return d;
}

DeviceInfo fromSource(const pa_source_info& info) {
    DeviceInfo d = fromDevice(info);
    d.isMonitor = info.monitor_of_sink != PA_INVALID_INDEX;
    return d;
}

DeviceInfo fromSink(const pa_sink_info& info) {
    DeviceInfo d = fromDevice(info);
    d.monitorSourceName = text(info.monitor_source_name);
    return d;
}

// The one device a query by name gives, if any.
std::optional<DeviceInfo> first(std::optional<std::vector<DeviceInfo>> list) {
    if (!list || list->empty()) return std::nullopt;
    return std::move(list->front());
}

}  // namespace

Connection::Lock::Lock(Connection& connection) : mainloop_(connection.mainloop_) {
    pa_threaded_mainloop_lock(mainloop_);
}
Connection::Lock::~Lock() { pa_threaded_mainloop_unlock(mainloop_); }

std::shared_ptr<Connection> Connection::connect(const std::string& clientName, std::string* error) {
    std::shared_ptr<Connection> c(new Connection());
    c->mainloop_ = pa_threaded_mainloop_new();
    if (!c->mainloop_) {
        if (error) *error = "could not create the sound-server mainloop";
        return nullptr;
    }
    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, clientName.c_str());
    pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "velomar.capture");
    c->context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(c->mainloop_), clientName.c_str(), props);
    pa_proplist_free(props);
    if (!c->context_) {
        if (error) *error = "could not create the sound-server context";
        return nullptr;
    }
    pa_context_set_state_callback(c->context_, &Connection::stateCallback, c.get());
    if (pa_context_connect(c->context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        if (error) *error = c->errorText();
        return nullptr;
    }
    if (pa_threaded_mainloop_start(c->mainloop_) < 0) {
        if (error) *error = "could not start the sound-server mainloop";
        return nullptr;
    }
    const bool ok = c->waitFor([&] { return c->ready_; });
    if (!ok) {
        if (error) {
            std::lock_guard g(c->waitMutex_);
            *error = c->failed_ ? c->errorText() : "timed out connecting to the sound server";
        }
        return nullptr;
    }
    return c;
}

Connection::~Connection() {
    if (context_) {
        {
            Lock lock(*this);
            pa_context_set_state_callback(context_, nullptr, nullptr);
            pa_context_set_subscribe_callback(context_, nullptr, nullptr);
            pa_context_disconnect(context_);
            pa_context_unref(context_);
        }
        context_ = nullptr;
    }
    if (mainloop_) {
        pa_threaded_mainloop_stop(mainloop_);
        pa_threaded_mainloop_free(mainloop_);
    }
}

void Connection::stateCallback(pa_context* context, void* userdata) {
    auto* self = static_cast<Connection*>(userdata);
    const pa_context_state_t state = pa_context_get_state(context);
    if (state == PA_CONTEXT_READY) {
        {
            std::lock_guard g(self->waitMutex_);
            self->ready_ = true;
        }
        self->waitCv_.notify_all();
    } else if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) {
        bool wasReady;
        {
            std::lock_guard g(self->waitMutex_);
            wasReady = self->ready_;
            self->failed_ = true;
        }
        self->waitCv_.notify_all();
        if (wasReady && self->onFailure_) {
            auto handler = std::move(self->onFailure_);
            self->onFailure_ = nullptr;
            handler(self->errorText());
        }
    }
}

void Connection::subscribeCallback(pa_context*, pa_subscription_event_type_t type, std::uint32_t, void* userdata) {
    auto* self = static_cast<Connection*>(userdata);
    if (!self->onServerChange_) return;
    const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    // Devices coming and going matter too: after a restart the server names its default
    // before the device exists, so a default is only real once its device is there.
    // Their "change" events (volume, state) come by the dozen and are of no interest.
    if (facility == PA_SUBSCRIPTION_EVENT_SERVER ||
        ((facility == PA_SUBSCRIPTION_EVENT_SINK || facility == PA_SUBSCRIPTION_EVENT_SOURCE) &&
         kind != PA_SUBSCRIPTION_EVENT_CHANGE)) {
        self->onServerChange_();
    }
}

void Connection::setFailureHandler(std::function<void(const std::string&)> handler) {
    Lock lock(*this);
    onFailure_ = std::move(handler);
}

bool Connection::subscribeServerChanges(std::function<void()> handler) {
    bool done = false;
    bool success = false;
    struct Ctx {
        Connection* self = nullptr;
        bool* done;
        bool* success;
    } ctx{this, &done, &success};
    {
        Lock lock(*this);
        onServerChange_ = std::move(handler);
        pa_context_set_subscribe_callback(context_, &Connection::subscribeCallback, this);
    }
    const bool ok = runOperation(
        [&]() {
            return pa_context_subscribe(
                context_,
                static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK |
                                                    PA_SUBSCRIPTION_MASK_SOURCE),
                [](pa_context*, int s, void* u) {
                    auto* c = static_cast<Ctx*>(u);
                    *c->success = s != 0;
                    c->self->markDone(*c->done);
                },
                &ctx);
        },
        done);
    return ok && success;
}

bool Connection::alive() const {
    std::lock_guard g(waitMutex_);
    return ready_ && !failed_;
}

std::string Connection::errorText() const {
    const char* s = pa_strerror(pa_context_errno(context_));
    return s ? s : "unknown sound-server error";
}

void Connection::markDone(bool& flag) {
    {
        std::lock_guard g(waitMutex_);
        flag = true;
    }
    waitCv_.notify_all();
}

bool Connection::waitFor(const std::function<bool()>& predicate) {
    std::unique_lock lk(waitMutex_);
    waitCv_.wait_for(lk, std::chrono::duration<double>(kWaitSeconds), [&] { return predicate() || failed_; });
    return predicate();
}

bool Connection::runOperation(const std::function<pa_operation*()>& start, const bool& done) {
    pa_operation* op = nullptr;
    {
        Lock lock(*this);
        if (pa_context_get_state(context_) != PA_CONTEXT_READY) return false;
        op = start();
        if (!op) return false;
    }
    const bool ok = waitFor([&] { return done; });
    {
        // Cancelled under the lock, the callback cannot run any more: the caller's
        // stack state it points at may go.
        Lock lock(*this);
        if (!ok) pa_operation_cancel(op);
        pa_operation_unref(op);
    }
    return ok;
}

std::optional<ServerInfo> Connection::serverInfo() {
    struct Ctx {
        Connection* self = nullptr;
        bool done = false;
        ServerInfo info;
    } ctx;
    ctx.self = this;
    const bool ok = runOperation(
        [&]() {
            return pa_context_get_server_info(
                context_,
                [](pa_context*, const pa_server_info* i, void* u) {
                    auto* c = static_cast<Ctx*>(u);
                    if (i) {
                        c->info.defaultSinkName = text(i->default_sink_name);
                        c->info.defaultSourceName = text(i->default_source_name);
                        c->info.serverName = text(i->server_name);
                        c->info.serverVersion = text(i->server_version);
                    }
                    c->self->markDone(c->done);
                },
                &ctx);
        },
        ctx.done);
    if (!ok) return std::nullopt;
    return ctx.info;
}


template <typename Info>
std::optional<std::vector<DeviceInfo>> Connection::deviceList(
    const std::function<pa_operation*(InfoCallback<Info>, void*)>& start, DeviceInfo (*convert)(const Info&)) {
    struct Ctx {
        Connection* self = nullptr;
        DeviceInfo (*convert)(const Info&) = nullptr;
        bool done = false;
        bool error = false;
        std::vector<DeviceInfo> list;
    } ctx;
    ctx.self = this;
    ctx.convert = convert;
    const bool ok = runOperation(
        [&]() {
            return start(
                [](pa_context*, const Info* i, int eol, void* u) {
                    auto* c = static_cast<Ctx*>(u);
                    if (eol == 0 && i) {
                        c->list.push_back(c->convert(*i));
                        return;
                    }
                    c->error = eol < 0;
                    c->self->markDone(c->done);
                },
                &ctx);
        },
        ctx.done);
    if (!ok || ctx.error) return std::nullopt;
    return ctx.list;
}

std::optional<std::vector<DeviceInfo>> Connection::sources() {
    return deviceList<pa_source_info>(
        [this](auto callback, void* u) { return pa_context_get_source_info_list(context_, callback, u); },
        &fromSource);
}

std::optional<std::vector<DeviceInfo>> Connection::sinks() {
    return deviceList<pa_sink_info>(
        [this](auto callback, void* u) { return pa_context_get_sink_info_list(context_, callback, u); }, &fromSink);
}

std::optional<DeviceInfo> Connection::source(const std::string& name) {
    return first(deviceList<pa_source_info>(
        [&](auto callback, void* u) { return pa_context_get_source_info_by_name(context_, name.c_str(), callback, u); },
        &fromSource));
}

std::optional<DeviceInfo> Connection::sink(const std::string& name) {
    return first(deviceList<pa_sink_info>(
        [&](auto callback, void* u) { return pa_context_get_sink_info_by_name(context_, name.c_str(), callback, u); },
        &fromSink));
}

}  // namespace velomar::pulse
