#include "coreaudio/pulse_tap_recorder.h"

#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include <pulse/pulseaudio.h>

#include "base/constants.h"
#include "coreaudio/pipewire_sink.h"
#include "coreaudio/pulse_server_watch.h"
#include "coreaudio/quantum_batcher.h"

namespace sonvale::coreaudio {

namespace {

using namespace std::chrono_literals;

constexpr auto serverDeadline = 5s;
// A stream the server refused or killed is retried after this pause, so a monitor that
// keeps failing cannot make the connection spin.
constexpr pa_usec_t retryDelay = 200 * PA_USEC_PER_MSEC;
// Each wake-up of the server and of the audio thread carries this many frames (23 ms at
// 44.1 kHz): long enough to keep both quiet, short enough to leave most of the sender's
// latency budget. PipeWire runs its graph in power-of-two quanta no longer than the shortest
// fragment asked of it, so this lets it run 1024-frame quanta when no player needs shorter:
// half the wake-ups of 512, and a thread in the graph must stall for more than 23 ms before
// a quantum is lost.
constexpr std::uint32_t fragmentFrames = 1024;
// How long start() waits for the forwarding output's monitor to deliver after each suspend and resume.
constexpr auto firstAudioDeadline = 150ms;
// A stream recording through the server gets a fragment every 23 ms: nothing for this long
// means the server has stopped answering (pulse_server_watch.h).
constexpr pa_usec_t silenceCheck = 500 * PA_USEC_PER_MSEC;

constexpr OSStatus statusOf(const char (&code)[5]) { return static_cast<OSStatus>(fourCC(code)); }
const OSStatus notRunning = statusOf("stop");
const OSStatus unspecified = statusOf("what");

}  // namespace

// Every member is touched only with the mainloop lock held: from the calling thread
// inside lock/unlock, or from a callback, which runs on the mainloop thread with it held.
struct PulseTapRecorder::Impl {
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_sample_spec format{PA_SAMPLE_FLOAT32LE, 48000, 2};
    std::string streamName;

    IOBlock block;
    bool running = false;
    pa_stream* stream = nullptr;
    PipeWireSink* ownSink = nullptr;
    bool direct = false;       // taking the own sink's audio from its node instead of `stream`
    std::shared_ptr<QuantumBatcher> quanta;  // the node's quanta, while `direct`
    std::string recordedSink;  // sink whose audio `stream` or the node delivers
    // Set when start() attached to the forwarding output before it became the default: until
    // the default reaches it, default changes elsewhere do not move the stream away.
    bool pinned = false;
    // PulseAudio's null sinks render ahead of real time until suspended once under a
    // recorder; PipeWire's do not, and a suspend there only reconfigures the node.
    bool rendersAhead = true;
    std::uint64_t chunks = 0;  // chunks read so far, holes included
    // The server sends a fragment in several pieces, each announced on its own; handed on one
    // at a time they would wake the writer, and through it the worker, several times per
    // fragment. They are gathered here and handed on together once the loop has read them all.
    std::vector<std::uint8_t> pending;
    pa_defer_event* handOn = nullptr;
    pa_time_event* retry = nullptr;
    pa_time_event* silenceTimer = nullptr;
    std::uint64_t chunksAtCheck = 0;
    std::vector<pa_stream*> dead;  // failed streams, released outside their own callbacks
    // Generation of the default-output lookups: only the newest one may attach.
    std::uint64_t lookup = 0;

    ~Impl() {
        if (!loop) return;
        pa_threaded_mainloop_lock(loop);
        running = false;
        block = nullptr;
        detach();
        cancelRetry();
        stopWatchingForSilence();
        releaseDead();
        if (handOn) pa_threaded_mainloop_get_api(loop)->defer_free(handOn);
        if (context) {
            pa_context_set_state_callback(context, nullptr, nullptr);
            pa_context_set_subscribe_callback(context, nullptr, nullptr);
            pa_context_disconnect(context);
        }
        pa_threaded_mainloop_unlock(loop);
        pa_threaded_mainloop_stop(loop);
        if (context) pa_context_unref(context);
        pa_threaded_mainloop_free(loop);
    }

    void signal() { pa_threaded_mainloop_signal(loop, 0); }
    bool attached() const { return stream || direct; }

    // Waits, with the lock held, until done() or the deadline.
    bool waitUntil(const std::function<bool()>& done, std::chrono::microseconds deadline = serverDeadline) {
        struct Expiry {
            Impl* self;
            bool expired = false;
        } expiry{this, false};
        timeval when{};
        pa_timeval_add(pa_gettimeofday(&when), deadline.count());
        pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop);
        pa_time_event* timer = api->time_new(
            api, &when,
            [](pa_mainloop_api*, pa_time_event*, const timeval*, void* data) {
                auto* e = static_cast<Expiry*>(data);
                e->expired = true;
                e->self->signal();
            },
            &expiry);
        while (!done() && !expiry.expired) pa_threaded_mainloop_wait(loop);
        api->time_free(timer);
        return done();
    }

    // Runs an introspection request and waits for its reply.
    bool await(pa_operation* operation, const bool& replied) {
        if (!operation) return false;
        const bool ok = waitUntil([&] { return replied; });
        if (!ok) pa_operation_cancel(operation);
        pa_operation_unref(operation);
        return ok;
    }

    struct SinkInfo {
        bool replied = false;
        std::string name;
        std::string monitor;
        std::uint32_t rate = 0;
    };

    // A sink's name, monitor and rate; an empty name when there is no such sink.
    bool querySink(const std::string& name, SinkInfo& out) {
        struct Sink {
            Impl* self;
            SinkInfo* out;
        } sink{this, &out};
        auto* operation = pa_context_get_sink_info_by_name(
            context, name.c_str(),
            [](pa_context*, const pa_sink_info* info, int eol, void* data) {
                auto* s = static_cast<Sink*>(data);
                if (info && eol == 0) {
                    s->out->name = info->name;
                    if (info->monitor_source_name) s->out->monitor = info->monitor_source_name;
                    s->out->rate = info->sample_spec.rate;
                    return;
                }
                s->out->replied = true;
                s->self->signal();
            },
            &sink);
        return await(operation, out.replied);
    }

    // The default sink, or an empty name when there is none (then only the server's rate).
    bool queryDefaultSink(SinkInfo& out) {
        struct Server {
            Impl* self;
            bool replied = false;
            std::string sink;
            std::uint32_t rate = 0;
            bool pipeWire = false;
        } server{this, false, {}, 0, false};
        auto* operation = pa_context_get_server_info(
            context,
            [](pa_context*, const pa_server_info* info, void* data) {
                auto* s = static_cast<Server*>(data);
                if (info) {
                    if (info->default_sink_name) s->sink = info->default_sink_name;
                    s->rate = info->sample_spec.rate;
                    s->pipeWire = info->server_name && std::strstr(info->server_name, "PipeWire");
                }
                s->replied = true;
                s->self->signal();
            },
            &server);
        if (!await(operation, server.replied)) return false;
        rendersAhead = !server.pipeWire;
        out.rate = server.rate;
        if (server.sink.empty()) {
            out.replied = true;
            return true;
        }
        return querySink(server.sink, out);
    }

    // What a capture records from the start: the forwarding output when it exists, so that
    // it is recorded before it becomes the default; else the default output.
    bool queryTarget(SinkInfo& out) {
        SinkInfo fallback;
        if (!queryDefaultSink(fallback)) return false;
        if (!querySink(std::string(outputUID), out)) return false;
        if (out.name.empty()) out = fallback;
        return true;
    }

    bool suspend(const std::string& sink, bool suspended) {
        struct Done {
            Impl* self;
            bool replied = false;
        } done{this, false};
        auto* operation = pa_context_suspend_sink_by_name(
            context, sink.c_str(), suspended ? 1 : 0,
            [](pa_context*, int, void* data) {
                auto* d = static_cast<Done*>(data);
                d->replied = true;
                d->self->signal();
            },
            &done);
        return await(operation, done.replied);
    }

    // Hands on what was read and not yet handed on, in one buffer list.
    void deliverPending() {
        if (pending.empty()) return;
        if (running && block) {
            const AudioBuffer buffer{2, static_cast<std::uint32_t>(pending.size()), pending.data()};
            block(AudioBufferList{1, &buffer});
        }
        pending.clear();
    }

    void detach() {
        deliverPending();
        if (direct) {
            ownSink->setReceiver(nullptr);
            // The node calls no more: what it gathered goes on from here, before anything the
            // next source delivers.
            if (running) quanta->flush();
            quanta.reset();
            direct = false;
            recordedSink.clear();
            pinned = false;
        }
        if (!stream) return;
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_disconnect(stream);
        pa_stream_unref(stream);
        stream = nullptr;
        recordedSink.clear();
        pinned = false;
    }

    void releaseDead() {
        for (pa_stream* s : dead) pa_stream_unref(s);
        dead.clear();
    }

    void cancelRetry() {
        if (!retry) return;
        pa_threaded_mainloop_get_api(loop)->time_free(retry);
        retry = nullptr;
    }

    void watchForSilence() {
        if (silenceTimer) return;
        timeval when{};
        pa_timeval_add(pa_gettimeofday(&when), silenceCheck);
        chunksAtCheck = chunks;
        silenceTimer = pa_threaded_mainloop_get_api(loop)->time_new(pa_threaded_mainloop_get_api(loop), &when,
                                                                     &Impl::checkSilence, this);
    }

    static void checkSilence(pa_mainloop_api* api, pa_time_event* event, const timeval*, void* data) {
        auto* self = static_cast<Impl*>(data);
        if (self->running && self->stream && self->chunks == self->chunksAtCheck) server_watch::silent();
        self->chunksAtCheck = self->chunks;
        timeval when{};
        pa_timeval_add(pa_gettimeofday(&when), silenceCheck);
        api->time_restart(event, &when);
    }

    void stopWatchingForSilence() {
        if (!silenceTimer) return;
        pa_threaded_mainloop_get_api(loop)->time_free(silenceTimer);
        silenceTimer = nullptr;
    }

    // Stops delivering and lets go of every stream; the main loop's lock is held.
    void halt() {
        running = false;
        block = nullptr;
        ++lookup;
        detach();
        cancelRetry();
        stopWatchingForSilence();
        releaseDead();
    }

    bool attach(const std::string& sink, const std::string& monitor) {
        detach();
        if (ownSink && sink == ownSink->name() && ownSink->isFloat32() && ownSink->rate() == format.rate) {
            recordedSink = sink;
            direct = true;
            quanta = std::make_shared<QuantumBatcher>(fragmentFrames * 2 * sizeof(float), block);
            ownSink->setReceiver([quanta = quanta](const void* data, std::uint32_t bytes) { quanta->add(data, bytes); });
            return true;
        }
        if (sink.empty() || monitor.empty()) return true;
        pa_channel_map map;
        pa_channel_map_init_stereo(&map);
        stream = pa_stream_new(context, streamName.c_str(), &format, &map);
        if (!stream) return false;
        recordedSink = sink;
        pa_stream_set_state_callback(stream, &Impl::streamState, this);
        pa_stream_set_read_callback(stream, &Impl::readable, this);
        pa_buffer_attr attr;
        attr.maxlength = static_cast<std::uint32_t>(-1);
        attr.fragsize = static_cast<std::uint32_t>(fragmentFrames * pa_frame_size(&format));
        attr.tlength = attr.prebuf = attr.minreq = static_cast<std::uint32_t>(-1);
        const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_DONT_MOVE | PA_STREAM_ADJUST_LATENCY);
        if (pa_stream_connect_record(stream, monitor.c_str(), &attr, flags) < 0) {
            detach();
            return false;
        }
        return true;
    }

    // Asynchronous re-attachment after a default change or a lost stream. Each lookup is
    // two replies long (server, then sink); only the newest lookup may attach.
    struct Lookup {
        Impl* self;
        std::uint64_t generation;
    };
    std::map<std::uint64_t, Lookup> lookups;

    void follow() {
        if (!running) return;
        const std::uint64_t generation = ++lookup;
        Lookup* request = &lookups.emplace(generation, Lookup{this, generation}).first->second;
        pa_operation* operation = pa_context_get_server_info(context, &Impl::serverReply, request);
        if (operation) {
            pa_operation_unref(operation);
        } else {
            lookups.erase(generation);
        }
    }

    static void serverReply(pa_context* c, const pa_server_info* info, void* data) {
        auto* l = static_cast<Lookup*>(data);
        Impl* self = l->self;
        const std::string sink = info && info->default_sink_name ? info->default_sink_name : "";
        const bool current = self->running && l->generation == self->lookup;
        if (current && self->attached() && sink == self->recordedSink) self->pinned = false;
        if (current && sink.empty() && !self->pinned) self->detach();
        if (!current || sink.empty() || (sink == self->recordedSink && self->attached()) ||
            (self->pinned && self->attached())) {
            self->lookups.erase(l->generation);
            return;
        }
        pa_operation* next = pa_context_get_sink_info_by_name(c, sink.c_str(), &Impl::sinkReply, l);
        if (next) {
            pa_operation_unref(next);
        } else {
            self->lookups.erase(l->generation);
        }
    }

    static void sinkReply(pa_context*, const pa_sink_info* info, int eol, void* data) {
        auto* l = static_cast<Lookup*>(data);
        Impl* self = l->self;
        if (info && eol == 0) {
            if (self->running && l->generation == self->lookup && info->monitor_source_name &&
                !self->attach(info->name, info->monitor_source_name)) {
                self->scheduleRetry();
            }
            return;
        }
        self->lookups.erase(l->generation);
    }

    void scheduleRetry() {
        if (retry || !running) return;
        retry = pa_context_rttime_new(
            context, pa_rtclock_now() + retryDelay,
            [](pa_mainloop_api* api, pa_time_event* event, const timeval*, void* data) {
                auto* self = static_cast<Impl*>(data);
                api->time_free(event);
                self->retry = nullptr;
                self->releaseDead();
                self->follow();
            },
            this);
    }

    static void streamState(pa_stream* s, void* data) {
        auto* self = static_cast<Impl*>(data);
        self->signal();
        const pa_stream_state_t state = pa_stream_get_state(s);
        if (s != self->stream || (state != PA_STREAM_FAILED && state != PA_STREAM_TERMINATED)) return;
        // The recorded sink went away (the server kills a stream it may not move), or the
        // server refused the monitor. Forget the stream here; it is released outside its
        // own callback, and the default output is looked up again after a pause.
        pa_stream_set_read_callback(s, nullptr, nullptr);
        pa_stream_set_state_callback(s, nullptr, nullptr);
        self->stream = nullptr;
        self->recordedSink.clear();
        self->dead.push_back(s);
        self->scheduleRetry();
    }

    static void readable(pa_stream* s, std::size_t, void* data) {
        auto* self = static_cast<Impl*>(data);
        const void* chunk = nullptr;
        std::size_t bytes = 0;
        self->signal();
        server_watch::answered();
        while (pa_stream_peek(s, &chunk, &bytes) == 0 && bytes > 0) {
            ++self->chunks;
            if (self->running && self->block) {
                if (chunk) {
                    const auto* first = static_cast<const std::uint8_t*>(chunk);
                    self->pending.insert(self->pending.end(), first, first + bytes);
                } else {
                    // A hole (no data) is audio the server could not deliver: it goes on, in
                    // its place, as a buffer without data, so that it is counted, never played.
                    self->deliverPending();
                    const AudioBuffer buffer{2, static_cast<std::uint32_t>(bytes), nullptr};
                    self->block(AudioBufferList{1, &buffer});
                }
            }
            pa_stream_drop(s);
        }
        // A deferred event runs once the loop has dispatched every descriptor that was ready.
        if (!self->pending.empty()) pa_threaded_mainloop_get_api(self->loop)->defer_enable(self->handOn, 1);
    }

    static void handOnPending(pa_mainloop_api* api, pa_defer_event* event, void* data) {
        api->defer_enable(event, 0);
        static_cast<Impl*>(data)->deliverPending();
    }

    // A lost connection ends the own sink's delivery too: the capture must not outlive the
    // connection that follows the default output, and its silence check then notices.
    static void contextState(pa_context* c, void* data) {
        auto* self = static_cast<Impl*>(data);
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(c)) && self->direct) self->detach();
        self->signal();
    }

    void useOwnSink(PipeWireSink* sink) {
        if (sink == ownSink) return;
        const std::string target = recordedSink;
        const bool wasPinned = pinned;
        const bool affected = direct || (sink && target == sink->name());
        if (direct) detach();
        ownSink = sink;
        if (!running || !affected) return;
        if (sink && target == sink->name()) {
            attach(target, {});
            pinned = wasPinned && direct;
        } else {
            follow();  // it was taking the old sink's audio, and is detached by now
        }
    }

    static void subscription(pa_context*, pa_subscription_event_type_t type, std::uint32_t, void* data) {
        auto* self = static_cast<Impl*>(data);
        if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) == PA_SUBSCRIPTION_EVENT_SERVER) self->follow();
    }
};

PulseTapRecorder::PulseTapRecorder(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PulseTapRecorder::~PulseTapRecorder() = default;

std::unique_ptr<PulseTapRecorder> PulseTapRecorder::connect(const std::string& streamName, PipeWireSink* ownSink,
                                                             OSStatus& status) {
    status = unspecified;
    auto impl = std::make_unique<Impl>();
    impl->streamName = streamName;
    impl->ownSink = ownSink;
    impl->loop = pa_threaded_mainloop_new();
    if (!impl->loop) return nullptr;
    pa_threaded_mainloop_set_name(impl->loop, "Sonvale.audio");
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(impl->loop);
    impl->handOn = api->defer_new(api, &Impl::handOnPending, impl.get());
    if (!impl->handOn) return nullptr;
    api->defer_enable(impl->handOn, 0);
    impl->pending.reserve(64 * 1024);
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "Sonvale");
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "local.sonvale");
    impl->context =
        pa_context_new_with_proplist(api, "Sonvale", properties);
    pa_proplist_free(properties);
    if (!impl->context) return nullptr;
    pa_context_set_state_callback(impl->context, &Impl::contextState, impl.get());
    if (pa_context_connect(impl->context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        status = notRunning;
        return nullptr;
    }
    if (pa_threaded_mainloop_start(impl->loop) < 0) return nullptr;

    pa_threaded_mainloop_lock(impl->loop);
    const bool ready = impl->waitUntil([&] {
        const auto state = pa_context_get_state(impl->context);
        return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
    }) && pa_context_get_state(impl->context) == PA_CONTEXT_READY;
    bool known = false;
    Impl::SinkInfo sink;
    if (ready) {
        pa_context_set_subscribe_callback(impl->context, &Impl::subscription, impl.get());
        bool subscribed = false;
        struct Done {
            Impl* self;
            bool* flag;
        } done{impl.get(), &subscribed};
        pa_operation* operation = pa_context_subscribe(
            impl->context, PA_SUBSCRIPTION_MASK_SERVER,
            [](pa_context*, int, void* data) {
                auto* d = static_cast<Done*>(data);
                *d->flag = true;
                d->self->signal();
            },
            &done);
        known = impl->await(operation, subscribed) && impl->queryTarget(sink) && sink.rate > 0;
    }
    if (known) impl->format.rate = sink.rate;
    pa_threaded_mainloop_unlock(impl->loop);
    if (!ready) {
        status = notRunning;
        return nullptr;
    }
    if (!known) return nullptr;
    status = noErr;
    return std::unique_ptr<PulseTapRecorder>(new PulseTapRecorder(std::move(impl)));
}

double PulseTapRecorder::sampleRate() const { return impl_->format.rate; }

OSStatus PulseTapRecorder::start(IOBlock block) {
    Impl& d = *impl_;
    pa_threaded_mainloop_lock(d.loop);
    d.block = std::move(block);
    d.running = true;
    Impl::SinkInfo sink;
    OSStatus status = noErr;
    if (pa_context_get_state(d.context) != PA_CONTEXT_READY || !d.queryTarget(sink)) {
        status = notRunning;
    } else if (!d.attach(sink.name, sink.monitor)) {
        status = unspecified;
    } else if (d.stream) {
        pa_stream* attached = d.stream;
        d.waitUntil([&] {
            return d.stream != attached || pa_stream_get_state(attached) != PA_STREAM_CREATING;
        });
        // A default change while waiting may already have replaced the stream: that one counts.
        if (!d.stream || (d.stream == attached && pa_stream_get_state(attached) != PA_STREAM_READY)) {
            status = unspecified;
        }
    }
    if (status == noErr && d.attached() && d.recordedSink == outputUID) d.pinned = true;
    if (status == noErr && d.stream && d.recordedSink == outputUID && d.rendersAhead) {
        // A PulseAudio null sink that nobody recorded renders up to 2 s ahead of real time, and
        // a player moved onto it would lose that much at the switch; suspended and resumed once
        // under a recorder it runs at real time. A fresh one may need a second round before its
        // monitor delivers; each round shows within a few tens of milliseconds.
        for (int round = 0; round < 3; ++round) {
            const std::uint64_t before = d.chunks;
            d.suspend(d.recordedSink, true);
            d.suspend(d.recordedSink, false);
            if (d.waitUntil([&] { return d.chunks != before || !d.stream; }, firstAudioDeadline)) break;
        }
    }
    if (status == noErr) d.watchForSilence();
    if (status != noErr) d.halt();
    pa_threaded_mainloop_unlock(d.loop);
    return status;
}

void PulseTapRecorder::stop() {
    Impl& d = *impl_;
    pa_threaded_mainloop_lock(d.loop);
    d.halt();
    pa_threaded_mainloop_unlock(d.loop);
}

void PulseTapRecorder::useOwnSink(PipeWireSink* sink) {
    pa_threaded_mainloop_lock(impl_->loop);
    impl_->useOwnSink(sink);
    pa_threaded_mainloop_unlock(impl_->loop);
}

}  // namespace sonvale::coreaudio
