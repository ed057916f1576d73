#include "platform/pulse/record_stream.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <sys/time.h>
#include <thread>
#include <utility>

#include "platform/pcm.h"

namespace velomar::pulse {

RecordStream::RecordStream(std::shared_ptr<Connection> connection, Options options, ChunkHandler onChunk)
    : connection_(std::move(connection)),
      options_(std::move(options)),
      lane_(std::move(onChunk)),
      timeline_(options_.rate) {
    if (!options_.pool) options_.pool = std::make_shared<platform::ChunkPool>();
}

void RecordStream::restartPending() {
    // Room for two fragments: the usual hand-over never grows its buffer.
    const std::size_t fragment =
        std::max<std::size_t>(1, static_cast<std::size_t>(options_.fragmentSeconds * options_.rate));
    if (pending_.samples.capacity() == 0) {
        pending_.samples = options_.pool->samples(2 * fragment * options_.channels);
    } else {
        pending_.samples.clear();
    }
    pending_.channels = options_.channels;
    pending_.rate = options_.rate;
    pending_.firstFrame = frames_;
    pending_.frames = 0;
}

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
        whole.frames = static_cast<std::uint32_t>(whole.samples.size() / channels);
        restartPending();
        post(std::move(whole));
        return;
    }
    // A backlog goes fragment-sized, so that the other streams' chunks can go in between.
    for (std::size_t at = 0; at < pending_.samples.size(); at += step) {
        Chunk c;
        const std::size_t end = std::min(pending_.samples.size(), at + step);
        c.samples = options_.pool->samples(step);
        c.samples.assign(pending_.samples.begin() + static_cast<std::ptrdiff_t>(at),
                         pending_.samples.begin() + static_cast<std::ptrdiff_t>(end));
        c.channels = channels;
        c.frames = static_cast<std::uint32_t>(c.samples.size() / channels);
        c.rate = pending_.rate;
        c.firstFrame = pending_.firstFrame + static_cast<std::int64_t>(at / channels);
        post(std::move(c));
    }
    options_.pool->recycle(std::move(pending_.samples));
    restartPending();
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
    const auto server = c.serverInfo();
    if (server && server->serverName.find("PipeWire") != std::string::npos) rs->timeline_.expectPipeWire();

    pa_sample_spec spec{};
    spec.format = PA_SAMPLE_FLOAT32NE;
    spec.rate = options.rate;
    spec.channels = static_cast<std::uint8_t>(options.channels);
    pa_channel_map map;
    if (options.channelMap && options.channelMap->channels == spec.channels &&
        pa_channel_map_valid(&*options.channelMap)) {
        map = *options.channelMap;
    } else if (options.channels == 1) {
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
    if (chunk.samples.empty()) restartPending();
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
    lastArrival_ = now;
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
    // Frames the server lost become silence where the data not yet stamped begins, so that
    // what follows keeps its place against the other streams.
    if (const std::int64_t missing = timeline_.takeMissingFrames()) {
        chunk.samples.insert(chunk.samples.begin(), static_cast<std::size_t>(missing) * channels, 0.0f);
        chunk.frames = static_cast<std::uint32_t>(chunk.samples.size() / channels);
        frames_ += missing;
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
    // During a stop the tail is collected whole, to be cut at the stop (collectTail).
    if (stopAt_ >= 0) return;
    // The hold is measured in time, not in audio: after a stall (the recorder stopped, the
    // machine busy) seconds of backlog arrive at once, and an anchor taken from arrivals in
    // such a burst would be seconds late; a timing report comes within the hold instead.
    if (lane_.holding()) {
        if (heldSince_ < 0) heldSince_ = now;
        if (timeline_.settled() || timeline_.giveUpWaiting(now - heldSince_)) {
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

bool RecordStream::collectTail(double stopAt) {
    // A small fragment from here on: the server sends what it captured sooner, so the wait
    // below is short. Asked for without waiting for the answer.
    {
        Connection::Lock lock(*connection_);
        if (!stream_ || pa_stream_get_state(stream_) != PA_STREAM_READY) return false;
        stopAt_ = stopAt;
        if (const pa_buffer_attr* granted = pa_stream_get_buffer_attr(stream_)) {
            pa_buffer_attr attr = *granted;
            attr.fragsize = static_cast<std::uint32_t>(
                pa_usec_to_bytes(5000, pa_stream_get_sample_spec(stream_)));
            if (attr.fragsize < granted->fragsize) {
                if (pa_operation* op = pa_stream_set_buffer_attr(stream_, &attr, nullptr, nullptr)) {
                    pa_operation_unref(op);
                }
            }
        }
    }
    // Data captured up to the stop has reached us when the frames read so far end at or
    // after it on the stream's timeline. A stream without a timeline yet, or one that has
    // been silent (a suspended source), is not waited for; neither is a server that is
    // gone or hung, beyond the bound.
    const double deadline = stopAt + kMaxTailSeconds;
    for (;;) {
        {
            Connection::Lock lock(*connection_);
            const bool silent = lastArrival_ < 0 || stopAt - lastArrival_ > kMaxTailSeconds;
            if (silent || !timeline_.anchor() || pa_stream_get_state(stream_) != PA_STREAM_READY ||
                timeline_.timeOf(frames_) >= stopAt) {
                break;
            }
        }
        if (pcm::secondsForHostTime(pcm::hostTimeNow()) >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    Connection::Lock lock(*connection_);
    const double now = pcm::secondsForHostTime(pcm::hostTimeNow());
    // Still holding for a timing report: the arrivals alone place the data now.
    if (lane_.holding() && (timeline_.anchor() || timeline_.giveUpWaiting(platform::HostTimeline::kMaxHoldSeconds))) {
        lane_.release();
    }
    if (!lane_.holding()) {
        // What was captured after the stop is not part of the recording.
        if (const auto anchor = timeline_.anchor()) {
            const double cut = std::ceil((stopAt - *anchor) * options_.rate);
            const double first = static_cast<double>(pending_.firstFrame);
            const std::size_t keep =
                cut <= first ? 0 : static_cast<std::size_t>(cut - first) * options_.channels;
            if (keep < pending_.samples.size()) pending_.samples.resize(keep);
        }
        postPending();
    }
    connection_->orderer_.deliver(now);
    // What still waits for another stream goes anyway: that stream's data before the stop
    // has been or is being collected the same way, and the mixer orders within its slack.
    lane_.flush();
    return true;
}

}  // namespace velomar::pulse
