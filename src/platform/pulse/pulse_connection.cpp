#include "platform/pulse/pulse_connection.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <sys/time.h>
#include <utility>

#include "platform/pcm.h"

namespace velomar::pulse {

namespace {

std::string text(const char* s) { return s ? std::string(s) : std::string(); }

DeviceInfo fromSource(const pa_source_info& info) {
    DeviceInfo d;
    d.index = info.index;
    d.name = text(info.name);
    d.description = text(info.description);
    d.rate = info.sample_spec.rate;
    d.channels = info.sample_spec.channels;
    d.isMonitor = info.monitor_of_sink != PA_INVALID_INDEX;
    return d;
}

DeviceInfo fromSink(const pa_sink_info& info) {
    DeviceInfo d;
    d.index = info.index;
    d.name = text(info.name);
    d.description = text(info.description);
    d.rate = info.sample_spec.rate;
    d.channels = info.sample_spec.channels;
    d.monitorSourceName = text(info.monitor_source_name);
    return d;
}

}  // namespace

// ---- Connection -----------------------------------------------------------------

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
    pa_operation* (*list)(pa_context*, void (*)(pa_context*, const Info*, int, void*), void*),
    DeviceInfo (*convert)(const Info&)) {
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
            return list(
                context_,
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
    return deviceList<pa_source_info>(&pa_context_get_source_info_list, &fromSource);
}

std::optional<std::vector<DeviceInfo>> Connection::sinks() {
    return deviceList<pa_sink_info>(&pa_context_get_sink_info_list, &fromSink);
}

template <typename Info>
std::optional<DeviceInfo> Connection::deviceByName(
    pa_operation* (*get)(pa_context*, const char*, void (*)(pa_context*, const Info*, int, void*), void*),
    const std::string& name, DeviceInfo (*convert)(const Info&)) {
    struct Ctx {
        Connection* self = nullptr;
        DeviceInfo (*convert)(const Info&) = nullptr;
        bool done = false;
        std::optional<DeviceInfo> info;
    } ctx;
    ctx.self = this;
    ctx.convert = convert;
    const bool ok = runOperation(
        [&]() {
            return get(
                context_, name.c_str(),
                [](pa_context*, const Info* i, int eol, void* u) {
                    auto* c = static_cast<Ctx*>(u);
                    if (eol == 0 && i) {
                        c->info = c->convert(*i);
                        return;
                    }
                    c->self->markDone(c->done);
                },
                &ctx);
        },
        ctx.done);
    if (!ok) return std::nullopt;
    return ctx.info;
}

std::optional<DeviceInfo> Connection::source(const std::string& name) {
    return deviceByName<pa_source_info>(&pa_context_get_source_info_by_name, name, &fromSource);
}

std::optional<DeviceInfo> Connection::sink(const std::string& name) {
    return deviceByName<pa_sink_info>(&pa_context_get_sink_info_by_name, name, &fromSink);
}

// ---- RecordStream ---------------------------------------------------------------

RecordStream::RecordStream(std::shared_ptr<Connection> connection, Options options, ChunkHandler onChunk)
    : connection_(std::move(connection)),
      options_(std::move(options)),
      lane_(std::move(onChunk)),
      timeline_(options_.rate) {}

void RecordStream::post(Chunk&& chunk) {
    chunk.hostSeconds = timeline_.timeOf(chunk.firstFrame);
    lane_.post(std::move(chunk));
}

void RecordStream::postPending() {
    const std::uint32_t channels = options_.channels;
    const std::size_t step =
        std::max<std::size_t>(1, static_cast<std::size_t>(options_.fragmentSeconds * options_.rate)) * channels;
    // The usual fragment goes as it is, without a copy.
    if (pending_.samples.size() < 2 * step) {
        if (pending_.samples.empty()) return;
        Chunk whole = std::move(pending_);
        pending_ = Chunk{};
        whole.frames = static_cast<std::uint32_t>(whole.samples.size() / channels);
        post(std::move(whole));
        return;
    }
    // A backlog goes fragment-sized, so that the other streams' chunks can go in between.
    for (std::size_t at = 0; at < pending_.samples.size(); at += step) {
        Chunk c;
        const std::size_t end = std::min(pending_.samples.size(), at + step);
        c.samples.assign(pending_.samples.begin() + static_cast<std::ptrdiff_t>(at),
                         pending_.samples.begin() + static_cast<std::ptrdiff_t>(end));
        c.channels = channels;
        c.frames = static_cast<std::uint32_t>(c.samples.size() / channels);
        c.rate = pending_.rate;
        c.firstFrame = pending_.firstFrame + static_cast<std::int64_t>(at / channels);
        post(std::move(c));
    }
    pending_ = Chunk{};
}

std::unique_ptr<RecordStream> RecordStream::open(std::shared_ptr<Connection> connection, const Options& options,
                                                 ChunkHandler onChunk, FailureHandler onFailure,
                                                 std::string* error) {
    if (!connection || options.channels == 0 || options.channels > PA_CHANNELS_MAX || options.rate == 0) {
        if (error) *error = "invalid record stream request";
        return nullptr;
    }
    std::unique_ptr<RecordStream> rs(new RecordStream(connection, options, std::move(onChunk)));
    rs->onFailure_ = std::move(onFailure);
    Connection& c = *connection;

    pa_sample_spec spec{};
    spec.format = PA_SAMPLE_FLOAT32NE;
    spec.rate = options.rate;
    spec.channels = static_cast<std::uint8_t>(options.channels);
    pa_channel_map map;
    if (options.channels == 1) {
        pa_channel_map_init_mono(&map);
    } else {
        pa_channel_map_init_extend(&map, spec.channels, PA_CHANNEL_MAP_DEFAULT);
    }
    {
        Connection::Lock lock(c);
        if (pa_context_get_state(c.context_) != PA_CONTEXT_READY) {
            if (error) *error = c.errorText();
            return nullptr;
        }
        rs->stream_ = pa_stream_new(c.context_, options.streamName.c_str(), &spec, &map);
        if (!rs->stream_) {
            if (error) *error = c.errorText();
            return nullptr;
        }
        pa_stream_set_state_callback(rs->stream_, &RecordStream::stateCallback, rs.get());
        pa_stream_set_read_callback(rs->stream_, &RecordStream::readCallback, rs.get());
        c.orderer_.attach(rs->lane_);
        pa_buffer_attr attr;
        std::memset(&attr, 0xff, sizeof attr);
        attr.fragsize = static_cast<std::uint32_t>(
            pa_usec_to_bytes(static_cast<pa_usec_t>(options.fragmentSeconds * 1e6), &spec));
        const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING |
                                                          PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_DONT_MOVE);
        if (pa_stream_connect_record(rs->stream_, options.source.c_str(), &attr, flags) < 0) {
            if (error) *error = c.errorText();
            return nullptr;  // the destructor clears the callbacks and releases the stream
        }
    }
    const bool ok = c.waitFor([&] { return rs->ready_ || rs->failed_; });
    bool ready;
    {
        std::lock_guard g(c.waitMutex_);
        ready = rs->ready_ && !rs->failed_;
    }
    if (!ok || !ready) {
        if (error) {
            Connection::Lock lock(c);
            *error = ok ? c.errorText() : "timed out opening a record stream on " + options.source;
        }
        return nullptr;
    }
    {
        Connection::Lock lock(c);
        if (const pa_buffer_attr* granted = pa_stream_get_buffer_attr(rs->stream_)) {
            rs->grantedFragmentSeconds_ =
                static_cast<double>(pa_bytes_to_usec(granted->fragsize, &spec)) / 1e6;
        }
    }
    return rs;
}

RecordStream::~RecordStream() {
    if (!stream_) return;
    Connection::Lock lock(*connection_);
    connection_->orderer_.detach(lane_);
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
}

void RecordStream::stateCallback(pa_stream* stream, void* userdata) {
    auto* self = static_cast<RecordStream*>(userdata);
    Connection& c = *self->connection_;
    switch (pa_stream_get_state(stream)) {
    case PA_STREAM_READY:
        self->lane_.setLive(true);
        c.markDone(self->ready_);
        break;
    case PA_STREAM_FAILED:
    case PA_STREAM_TERMINATED: {
        self->lane_.setLive(false);
        bool wasReady;
        {
            std::lock_guard g(c.waitMutex_);
            wasReady = self->ready_;
        }
        c.markDone(self->failed_);
        if (wasReady && !self->failureReported_ && self->onFailure_) {
            self->failureReported_ = true;
            self->onFailure_(c.errorText());
        }
        break;
    }
    default:
        break;
    }
}

void RecordStream::readCallback(pa_stream*, std::size_t, void* userdata) {
    static_cast<RecordStream*>(userdata)->readAvailable();
}

void RecordStream::readAvailable() {
    const std::uint32_t channels = options_.channels;
    const std::size_t frameBytes = sizeof(float) * channels;
    const double rate = options_.rate;
    // Data is handed over a fragment at a time, however finely the server cut it:
    // one hand-over per fragment keeps the wake-ups down the line to what we asked for.
    Chunk& chunk = pending_;
    if (chunk.samples.empty()) {
        chunk.channels = channels;
        chunk.rate = rate;
        chunk.firstFrame = frames_;
    }
    while (pa_stream_readable_size(stream_) > 0) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(stream_, &data, &bytes) < 0 || bytes == 0) break;
        const std::size_t count = (bytes / frameBytes) * channels;
        const std::size_t at = chunk.samples.size();
        if (data) {
            chunk.samples.resize(at + count);
            std::memcpy(chunk.samples.data() + at, data, count * sizeof(float));
        } else {
            // A hole: what the server could not give us becomes silence of that length.
            chunk.samples.resize(at + count, 0.0f);
        }
        frames_ += static_cast<std::int64_t>(count / channels);
        pa_stream_drop(stream_);
    }
    chunk.frames = static_cast<std::uint32_t>(chunk.samples.size() / channels);
    if (chunk.frames == 0) return;

    const double now = pcm::secondsForHostTime(pcm::hostTimeNow());
    lane_.noteData();
    // A fresh timing report: the server's write index was captured source_usec
    // before the report's time stamp (wall clock, mapped onto the host clock).
    if (const pa_timing_info* ti = pa_stream_get_timing_info(stream_)) {
        const bool fresh = !lastReport_ || ti->timestamp.tv_sec != lastReport_->tv_sec ||
                           ti->timestamp.tv_usec != lastReport_->tv_usec;
        if (fresh && ti->write_index > 0 && !ti->write_index_corrupt) {
            lastReport_ = ti->timestamp;
            timeval wall;
            gettimeofday(&wall, nullptr);
            const double age = static_cast<double>(pa_timeval_diff(&wall, &ti->timestamp)) / 1e6 *
                               (pa_timeval_cmp(&wall, &ti->timestamp) >= 0 ? 1.0 : -1.0);
            const double capturedAt = now - age - static_cast<double>(ti->source_usec) / 1e6;
            const double frame = static_cast<double>(ti->write_index) / static_cast<double>(frameBytes);
            timeline_.addReading(frame, capturedAt);
            ++readingsTaken_;
        }
    }
    // After the reading: an arrival that contradicts a reading's jump must have the last word.
    timeline_.addArrival(static_cast<double>(frames_), now);
    // Frequent reports while the anchor forms or is in doubt, then a few a second: each is
    // a round trip that wakes the server and us, and a standing anchor only moves slowly.
    const bool doubt = readingsTaken_ < platform::HostTimeline::kWindow || timeline_.unsettled();
    if (now - lastTimingRequest_ > (doubt ? 0.05 : 0.25)) {
        lastTimingRequest_ = now;
        if (pa_operation* op = pa_stream_update_timing_info(stream_, nullptr, nullptr)) pa_operation_unref(op);
    }
    // The hold is measured in time, not in audio: after a stall (the recorder stopped, the
    // machine busy) seconds of backlog arrive at once, and an anchor taken from arrivals in
    // such a burst would be seconds late; a timing report comes within the hold instead.
    if (lane_.holding()) {
        if (heldSince_ < 0) heldSince_ = now;
        if (timeline_.anchor() || timeline_.giveUpWaiting(now - heldSince_)) {
            lane_.release();
            postPending();
        }
    } else if (timeline_.unsettled() && (unsettledSince_ < 0 || now - unsettledSince_ < kMaxDoubtSeconds)) {
        // Readings say frames went missing (a server stopped and continued): what came
        // since waits until the timeline has decided, so that the gap lands where the
        // frames went missing rather than in the middle of what came after.
        if (unsettledSince_ < 0) unsettledSince_ = now;
    } else if (chunk.frames >= static_cast<std::uint32_t>(options_.fragmentSeconds * rate * 0.9)) {
        // A doubt that outlived its limit is not raised again until the readings settle.
        if (!timeline_.unsettled()) unsettledSince_ = -1;
        postPending();
    }
    connection_->orderer_.deliver(now);
}

}  // namespace velomar::pulse
