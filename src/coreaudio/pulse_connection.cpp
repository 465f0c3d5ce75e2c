#include "coreaudio/pulse_connection.h"

#include "coreaudio/pulse_server_watch.h"

#include <pulse/pulseaudio.h>

#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace sonvale::coreaudio {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// While the server is gone, a new connection is tried this often.
constexpr auto retryWhileDown = 500ms;
// After a connection attempt ran into its deadline (a hung server), the next waits this long.
constexpr auto quietAfterTimeout = 1s;

pa_usec_t microseconds(std::chrono::milliseconds span) { return pa_usec_t(span.count()) * PA_USEC_PER_MSEC; }

class LoopLock {
public:
    explicit LoopLock(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
    ~LoopLock() { pa_threaded_mainloop_unlock(loop_); }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;

private:
    pa_threaded_mainloop* loop_;
};

std::string text(const char* value) { return value ? std::string(value) : std::string(); }

std::map<std::string, std::string> properties(const pa_proplist* list) {
    std::map<std::string, std::string> result;
    void* state = nullptr;
    while (const char* key = pa_proplist_iterate(const_cast<pa_proplist*>(list), &state)) {
        if (const char* value = pa_proplist_gets(list, key)) result[key] = value;
    }
    return result;
}

// Sinks and sources carry the same fields under the same names.
template <typename Info>
PulseDeviceFacts deviceFacts(const Info& info, bool isSink) {
    PulseDeviceFacts facts;
    facts.isSink = isSink;
    facts.index = info.index;
    facts.name = text(info.name);
    facts.description = text(info.description);
    facts.properties = properties(info.proplist);
    for (std::uint32_t i = 0; i < info.n_ports; ++i) {
        if (info.ports && info.ports[i]) {
            facts.ports.push_back({text(info.ports[i]->name), text(info.ports[i]->description), info.ports[i]->type});
        }
    }
    if (info.active_port) facts.activePort = text(info.active_port->name);
    facts.ownerModule = info.owner_module;
    return facts;
}

enum class Link { idle, connecting, ready, down };

}  // namespace

struct PulseConnection::Impl {
    // One outstanding read of the server: what it asked for and the stamp it was issued under.
    struct Request {
        Impl* self = nullptr;
        std::uint64_t stamp = 0;
        bool sink = true;
        std::uint32_t index = PA_INVALID_INDEX;  // PA_INVALID_INDEX: the whole list
        bool initial = false;                    // part of the first listing
    };

    // The answer to one write, filled on the main loop's thread under `mutex`.
    struct WriteResult {
        Impl* owner = nullptr;
        bool answered = false;
        bool success = false;
        std::uint32_t index = PA_INVALID_INDEX;
    };

    std::chrono::milliseconds deadline;
    pa_threaded_mainloop* loop = nullptr;

    // Under the loop lock (the main loop's thread, or a caller holding the lock).
    pa_context* context = nullptr;
    pa_time_event* timer = nullptr;  // the connection's deadline, or the next attempt
    std::uint64_t stamp = 0;
    std::map<std::uint64_t, Request> requests;
    PulseServerFacts working;
    std::map<std::pair<bool, std::uint32_t>, std::uint64_t> objectStamps;  // answer or removal shown
    std::uint64_t serverStamp = 0;
    int initialReplies = 0;  // of the first listing still to come
    bool dirty = false;      // `working` differs from what was published
    PulseConnection::SinkInputRule sinkInputRule;
    std::vector<PulseSinkInput> sinkInputs;  // the listing being received
    bool listingSinkInputs = false;
    bool listAgain = false;                  // a stream changed while the listing was under way
    std::map<std::uint32_t, bool> suspendWished;  // what the rule last asked of each sink
    bool probing = false;  // a question is out whose answer shows the server answers again

    // Shared with the callers, under `mutex`; `changed` is notified on every change.
    std::mutex mutex;
    std::condition_variable changed;
    PulseConnection::Facts published;
    Link link = Link::idle;
    Clock::time_point quietUntil{};

    std::mutex handlerMutex;  // held while the handler runs, so clearing it waits for a call in progress
    std::function<void()> handler;

    explicit Impl(std::chrono::milliseconds limit) : deadline(limit) {
        loop = pa_threaded_mainloop_new();
        if (!loop) return;
        pa_threaded_mainloop_set_name(loop, "sonvale-pulse");
        if (pa_threaded_mainloop_start(loop) < 0) {
            pa_threaded_mainloop_free(loop);
            loop = nullptr;
        }
    }

    ~Impl() {
        if (!loop) return;
        {
            LoopLock lock(loop);
            cancelTimer();
            dropContext();
        }
        pa_threaded_mainloop_stop(loop);
        pa_threaded_mainloop_free(loop);
    }

    void notifyHandler() {
        std::lock_guard lock(handlerMutex);
        if (handler) handler();
    }

    void setLink(Link state, PulseConnection::Facts facts) {
        {
            std::lock_guard lock(mutex);
            link = state;
            published = std::move(facts);
        }
        changed.notify_all();
    }

    // ---- Everything below up to the public methods runs under the loop lock. ----

    void cancelTimer() {
        if (!timer) return;
        pa_threaded_mainloop_get_api(loop)->time_free(timer);
        timer = nullptr;
    }

    void startTimer(std::chrono::milliseconds after, void (*fired)(pa_mainloop_api*, pa_time_event*, const timeval*, void*)) {
        cancelTimer();
        timeval when{};
        pa_timeval_add(pa_gettimeofday(&when), microseconds(after));
        timer = pa_threaded_mainloop_get_api(loop)->time_new(pa_threaded_mainloop_get_api(loop), &when, fired, this);
    }

    void dropContext() {
        requests.clear();
        probing = false;
        sinkInputRule = nullptr;
        sinkInputs.clear();
        listingSinkInputs = listAgain = false;
        suspendWished.clear();
        if (!context) return;
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_set_subscribe_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
        context = nullptr;
    }

    void connect() {
        cancelTimer();
        dropContext();
        working = {};
        objectStamps.clear();
        serverStamp = 0;
        dirty = false;
        pa_proplist* about = pa_proplist_new();
        pa_proplist_sets(about, PA_PROP_APPLICATION_NAME, "Sonvale");
        pa_proplist_sets(about, PA_PROP_APPLICATION_ID, "local.sonvale");
        context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop), "Sonvale", about);
        pa_proplist_free(about);
        if (!context) return lost(retryWhileDown);
        pa_context_set_state_callback(context, &Impl::contextStateChanged, this);
        if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return lost(retryWhileDown);
        setLink(Link::connecting, nullptr);
        startTimer(deadline, [](pa_mainloop_api* api, pa_time_event* event, const timeval*, void* data) {
            auto* self = static_cast<Impl*>(data);
            api->time_free(event);
            self->timer = nullptr;
            {
                std::lock_guard lock(self->mutex);
                self->quietUntil = Clock::now() + quietAfterTimeout;
            }
            self->lost(quietAfterTimeout);
        });
    }

    // The connection is gone or could not be made: drop the view, tell the handler when
    // there had been one, and try again after `retry`.
    void lost(std::chrono::milliseconds retry) {
        dropContext();
        bool hadView;
        {
            std::lock_guard lock(mutex);
            hadView = published != nullptr;
        }
        setLink(Link::down, nullptr);
        startTimer(retry, [](pa_mainloop_api* api, pa_time_event* event, const timeval*, void* data) {
            auto* self = static_cast<Impl*>(data);
            api->time_free(event);
            self->timer = nullptr;
            self->connect();
        });
        if (hadView) notifyHandler();
    }

    static void contextStateChanged(pa_context* c, void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        const auto state = pa_context_get_state(c);
        if (state == PA_CONTEXT_READY) {
            server_watch::answered();
            self->cancelTimer();
            self->listEverything();
        } else if (!PA_CONTEXT_IS_GOOD(state)) {
            // The context holds a reference of its own while it reports its state.
            self->lost(retryWhileDown);
        }
    }

    // The players' streams are followed only while a rule routes them.
    pa_subscription_mask_t subscriptionMask() const {
        const auto devices = PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE | PA_SUBSCRIPTION_MASK_SERVER;
        return static_cast<pa_subscription_mask_t>(sinkInputRule ? devices | PA_SUBSCRIPTION_MASK_SINK_INPUT : devices);
    }

    Request* request(bool sink, std::uint32_t index, bool initial = false) {
        const std::uint64_t issued = ++stamp;
        return &requests.emplace(issued, Request{this, issued, sink, index, initial}).first->second;
    }

    // Subscribing first, then listing: a change after the listing was answered is reported.
    void listEverything() {
        pa_context_set_subscribe_callback(context, &Impl::subscriptionEvent, this);
        const std::vector<pa_operation*> operations = {
            pa_context_subscribe(context, subscriptionMask(), nullptr, nullptr),
            pa_context_get_server_info(context, &Impl::serverInfoReceived, request(false, PA_INVALID_INDEX, true)),
            pa_context_get_sink_info_list(context, &Impl::sinkReceived, request(true, PA_INVALID_INDEX, true)),
            pa_context_get_source_info_list(context, &Impl::sourceReceived, request(false, PA_INVALID_INDEX, true)),
        };
        initialReplies = 3;
        bool issued = true;
        for (pa_operation* operation : operations) {
            if (operation) {
                pa_operation_unref(operation);
            } else {
                issued = false;
            }
        }
        if (!issued) lost(retryWhileDown);
    }

    static void subscriptionEvent(pa_context* c, pa_subscription_event_type_t type, std::uint32_t index, void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        server_watch::answered();
        const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        const bool removed = (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE;
        pa_operation* operation = nullptr;
        if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT) {
            self->applySinkInputRule();
        } else if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
            operation = pa_context_get_server_info(c, &Impl::serverInfoReceived, self->request(false, PA_INVALID_INDEX));
        } else if (facility == PA_SUBSCRIPTION_EVENT_SINK || facility == PA_SUBSCRIPTION_EVENT_SOURCE) {
            const bool sink = facility == PA_SUBSCRIPTION_EVENT_SINK;
            if (removed) {
                self->vanish(sink, index, ++self->stamp);
                self->publish();
            } else if (sink) {
                operation = pa_context_get_sink_info_by_index(c, index, &Impl::sinkReceived, self->request(true, index));
            } else {
                operation = pa_context_get_source_info_by_index(c, index, &Impl::sourceReceived, self->request(false, index));
            }
        }
        if (operation) pa_operation_unref(operation);
    }

    std::vector<PulseDeviceFacts>& listOf(bool sink) { return sink ? working.sinks : working.sources; }

    // Whether an answer issued under `issued` is newer than what the view shows of the object.
    bool newer(bool sink, std::uint32_t index, std::uint64_t issued) {
        auto& shown = objectStamps[{sink, index}];
        if (issued < shown) return false;
        shown = issued;
        return true;
    }

    void apply(PulseDeviceFacts facts, std::uint64_t issued) {
        if (!newer(facts.isSink, facts.index, issued)) return;
        auto& list = listOf(facts.isSink);
        for (auto& known : list) {
            if (known.index != facts.index) continue;
            if (!(known == facts)) {
                known = std::move(facts);
                dirty = true;
            }
            return;
        }
        list.push_back(std::move(facts));
        dirty = true;
    }

    void vanish(bool sink, std::uint32_t index, std::uint64_t issued) {
        if (!newer(sink, index, issued)) return;
        dirty |= std::erase_if(listOf(sink), [index](const PulseDeviceFacts& d) { return d.index == index; }) > 0;
    }

    // The end of one request's answer.
    void finish(const Request& done, bool failed) {
        const bool initial = done.initial;
        requests.erase(std::uint64_t(done.stamp));  // `done` is gone after this
        if (initial) {
            // The first listing failed: start over with a new connection.
            if (failed) return lost(retryWhileDown);
            if (--initialReplies == 0) {
                dirty = false;
                setLink(Link::ready, std::make_shared<const PulseServerFacts>(working));
                notifyHandler();
            }
            return;
        }
        publish();
    }

    void publish() {
        if (!dirty || initialReplies > 0) return;
        dirty = false;
        setLink(Link::ready, std::make_shared<const PulseServerFacts>(working));
        notifyHandler();
    }

    static void serverInfoReceived(pa_context*, const pa_server_info* info, void* userdata) {
        const Request done = *static_cast<Request*>(userdata);
        Impl* self = done.self;
        server_watch::answered();
        self->probing = false;
        if (info && done.stamp > self->serverStamp) {
            self->serverStamp = done.stamp;
            const bool pipeWire = info->server_version && std::strstr(info->server_version, "PipeWire");
            if (pipeWire != self->working.pipeWire) {
                self->working.pipeWire = pipeWire;
                self->dirty = true;
            }
            const std::string sink = text(info->default_sink_name);
            if (sink != self->working.defaultSink) {
                self->working.defaultSink = sink;
                self->dirty = true;
                self->applySinkInputRule();
            }
        }
        self->finish(done, !info);
    }

    // Lists every stream for the rule; a change while a listing is under way lists again after it.
    void applySinkInputRule() {
        if (!sinkInputRule || !context || pa_context_get_state(context) != PA_CONTEXT_READY) return;
        if (listingSinkInputs) {
            listAgain = true;
            return;
        }
        if (pa_operation* operation = pa_context_get_sink_input_info_list(context, &Impl::sinkInputReceived, this)) {
            listingSinkInputs = true;
            pa_operation_unref(operation);
        }
    }

    static void sinkInputReceived(pa_context* c, const pa_sink_input_info* info, int eol, void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        if (eol == 0 && info) {
            self->sinkInputs.push_back({info->index, info->sink, info->sample_spec.rate, info->owner_module,
                                        !info->format || pa_format_info_is_pcm(info->format) != 0, info->corked != 0});
            return;
        }
        self->listingSinkInputs = false;
        std::vector<PulseSinkInput> inputs = std::exchange(self->sinkInputs, {});
        if (!self->sinkInputRule) return;
        if (eol > 0) self->follow(c, self->sinkInputRule(inputs, self->working));
        if (std::exchange(self->listAgain, false)) self->applySinkInputRule();
    }

    // Carries out a plan; nothing waits for the answers (a stream that may not move, or is
    // gone by now, stays where it is).
    void follow(pa_context* c, const PulseRoutingPlan& plan) {
        const auto issue = [](pa_operation* operation) {
            if (operation) pa_operation_unref(operation);
        };
        const auto suspend = [&](bool wanted) {
            for (const auto& [sink, suspended] : plan.suspends) {
                // libpulse takes an unknown index for every sink: all the machine's outputs would go quiet.
                if (suspended != wanted || sink == noIndex) continue;
                const auto known = suspendWished.find(sink);
                if (known != suspendWished.end() && known->second == suspended) continue;
                suspendWished[sink] = suspended;
                issue(pa_context_suspend_sink_by_index(c, sink, suspended, nullptr, nullptr));
            }
        };
        suspend(false);
        for (const auto& [input, sink] : plan.moves) issue(pa_context_move_sink_input_by_index(c, input, sink, nullptr, nullptr));
        suspend(true);
    }

    bool queryServerInfo() {
        if (!context || pa_context_get_state(context) != PA_CONTEXT_READY) return false;
        pa_operation* operation =
            pa_context_get_server_info(context, &Impl::serverInfoReceived, request(false, PA_INVALID_INDEX));
        if (operation) pa_operation_unref(operation);
        return operation != nullptr;
    }

    // One question at a time while the server does not answer: its answer (the server info,
    // harmless to read again) takes the server back.
    void probe() {
        if (!probing) probing = queryServerInfo();
    }

    template <typename Info>
    static void deviceReceived(pa_context* c, const Info* info, int eol, void* userdata, bool sink, bool monitor) {
        auto* pending = static_cast<Request*>(userdata);
        Impl* self = pending->self;
        server_watch::answered();
        if (eol == 0 && info) {
            // Monitors are not devices of their own: one that shows up counts as gone.
            if (monitor) {
                self->vanish(sink, info->index, pending->stamp);
            } else {
                self->apply(deviceFacts(*info, sink), pending->stamp);
            }
            return;
        }
        // An object named by an event may have vanished before its answer was made.
        const bool gone = eol < 0 && pa_context_errno(c) == PA_ERR_NOENTITY;
        if (gone && pending->index != PA_INVALID_INDEX) self->vanish(sink, pending->index, pending->stamp);
        self->finish(*pending, eol < 0 && !gone);
    }

    static void sinkReceived(pa_context* c, const pa_sink_info* info, int eol, void* userdata) {
        deviceReceived(c, info, eol, userdata, true, false);
    }

    static void sourceReceived(pa_context* c, const pa_source_info* info, int eol, void* userdata) {
        deviceReceived(c, info, eol, userdata, false, info && info->monitor_of_sink != PA_INVALID_INDEX);
    }

    // ---- Called from the callers' threads. ----

    // Starts a connection when there is none and none is due to start by itself soon.
    void kick() {
        {
            std::lock_guard lock(mutex);
            if (link == Link::connecting || link == Link::ready) return;
            if (link == Link::down && Clock::now() < quietUntil) return;
        }
        LoopLock lock(loop);
        if (!context || pa_context_get_state(context) == PA_CONTEXT_UNCONNECTED ||
            !PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) {
            connect();
        }
    }

    PulseConnection::Facts facts(bool wait) {
        {
            std::lock_guard lock(mutex);
            if (published || !wait || !loop) return published;
        }
        kick();
        std::unique_lock lock(mutex);
        changed.wait_until(lock, Clock::now() + deadline, [&] { return published || link != Link::connecting; });
        return published;
    }

    static void succeeded(pa_context*, int success, void* userdata) {
        server_watch::answered();
        auto* result = static_cast<WriteResult*>(userdata);
        Impl* self = result->owner;
        {
            std::lock_guard lock(self->mutex);
            result->answered = true;
            result->success = success != 0;
        }
        self->changed.notify_all();
    }

    static void indexReceived(pa_context*, std::uint32_t index, void* userdata) {
        server_watch::answered();
        auto* result = static_cast<WriteResult*>(userdata);
        Impl* self = result->owner;
        {
            std::lock_guard lock(self->mutex);
            result->answered = true;
            result->success = index != PA_INVALID_INDEX;
            result->index = index;
        }
        self->changed.notify_all();
    }

    // Whether the server answers; when it does not, asks it something that shows when it does again.
    bool answering() {
        if (server_watch::answering()) return true;
        if (loop) {
            LoopLock lock(loop);
            probe();
        }
        return false;
    }

    // Issues one write (under the loop lock) and waits for its answer at most `deadline`;
    // a connection lost meanwhile ends the wait at once. A server that left a request
    // unanswered is not asked again until it answers.
    template <typename Issue>
    bool perform(WriteResult& result, Issue issue) {
        if (!answering() || !facts(true)) return false;
        result.owner = this;
        pa_operation* operation = nullptr;
        {
            LoopLock lock(loop);
            if (!context || pa_context_get_state(context) != PA_CONTEXT_READY) return false;
            operation = issue(context, &result);
            if (!operation) return false;
        }
        {
            std::unique_lock lock(mutex);
            changed.wait_until(lock, Clock::now() + deadline,
                               [&] { return result.answered || link != Link::ready; });
        }
        LoopLock lock(loop);
        // Cancelled under the loop lock, no answer can reach `result` after this returns.
        if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) pa_operation_cancel(operation);
        pa_operation_unref(operation);
        std::lock_guard guard(mutex);
        if (!result.answered && link == Link::ready) {
            server_watch::silent();
            probe();
        }
        return result.answered && result.success;
    }
};

PulseConnection::PulseConnection(std::chrono::milliseconds deadline) : impl_(std::make_unique<Impl>(deadline)) {}

PulseConnection::~PulseConnection() { setChangeHandler({}); }

PulseConnection::Facts PulseConnection::facts(bool wait) { return impl_->facts(wait); }

bool PulseConnection::await(const std::function<bool(const PulseServerFacts&)>& done, std::chrono::milliseconds limit) {
    const auto until = Clock::now() + limit;
    if (!impl_->facts(true)) return false;
    std::unique_lock lock(impl_->mutex);
    return impl_->changed.wait_until(lock, until, [&] { return impl_->published && done(*impl_->published); });
}

bool PulseConnection::setDefaultSink(const std::string& name) {
    auto result = std::make_unique<Impl::WriteResult>();
    return impl_->perform(*result, [&](pa_context* c, Impl::WriteResult* r) {
        return pa_context_set_default_sink(c, name.c_str(), &Impl::succeeded, r);
    });
}

std::optional<std::uint32_t> PulseConnection::loadModule(const std::string& name, const std::string& arguments) {
    auto result = std::make_unique<Impl::WriteResult>();
    const bool ok = impl_->perform(*result, [&](pa_context* c, Impl::WriteResult* r) {
        return pa_context_load_module(c, name.c_str(), arguments.c_str(), &Impl::indexReceived, r);
    });
    if (!ok) return std::nullopt;
    return result->index;
}

bool PulseConnection::unloadModule(std::uint32_t index) {
    auto result = std::make_unique<Impl::WriteResult>();
    return impl_->perform(*result, [&](pa_context* c, Impl::WriteResult* r) {
        return pa_context_unload_module(c, index, &Impl::succeeded, r);
    });
}

bool PulseConnection::answering() { return impl_->answering(); }

void PulseConnection::refreshServerInfo() {
    if (!impl_->loop) return;
    LoopLock lock(impl_->loop);
    impl_->queryServerInfo();
}

void PulseConnection::setSinkInputRule(SinkInputRule rule) {
    if (!impl_->loop) return;
    LoopLock lock(impl_->loop);
    pa_context* context = impl_->context;
    if (!context || pa_context_get_state(context) != PA_CONTEXT_READY) return;
    const bool following = static_cast<bool>(impl_->sinkInputRule);
    impl_->sinkInputRule = std::move(rule);
    impl_->suspendWished.clear();
    if (following != static_cast<bool>(impl_->sinkInputRule)) {
        if (pa_operation* operation = pa_context_subscribe(context, impl_->subscriptionMask(), nullptr, nullptr)) {
            pa_operation_unref(operation);
        }
    }
    impl_->applySinkInputRule();
}

void PulseConnection::setChangeHandler(std::function<void()> handler) {
    const bool start = static_cast<bool>(handler);
    {
        std::lock_guard lock(impl_->handlerMutex);
        impl_->handler = std::move(handler);
    }
    if (start && impl_->loop) impl_->kick();
}

}  // namespace sonvale::coreaudio
