#include "coreaudio/pulse_connection.h"

#include <pulse/pulseaudio.h>

#include <condition_variable>
#include <mutex>
#include <vector>

namespace sonvale::coreaudio {
namespace {

using Clock = std::chrono::steady_clock;

// After a request or a connection attempt ran into its deadline, requests fail at once
// for this long: the server is hung, and each caller should not wait again.
constexpr auto quietAfterTimeout = std::chrono::seconds(1);

class LoopLock {
public:
    explicit LoopLock(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
    ~LoopLock() { pa_threaded_mainloop_unlock(loop_); }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;

private:
    pa_threaded_mainloop* loop_;
};

// The requests of one call. Each operation reports its end (done or cancelled, also when
// the connection drops) through its state callback; the caller waits for all of them.
struct Pending {
    std::mutex mutex;
    std::condition_variable ended;
    int outstanding = 0;
    bool failed = false;

    void fail() {
        std::lock_guard lock(mutex);
        failed = true;
    }
};

void operationStateChanged(pa_operation* operation, void* userdata) {
    auto* pending = static_cast<Pending*>(userdata);
    const auto state = pa_operation_get_state(operation);
    if (state == PA_OPERATION_RUNNING) return;
    std::lock_guard lock(pending->mutex);
    if (state == PA_OPERATION_CANCELLED) pending->failed = true;
    --pending->outstanding;
    pending->ended.notify_all();
}

std::string text(const char* value) { return value ? std::string(value) : std::string(); }

std::map<std::string, std::string> properties(const pa_proplist* list) {
    std::map<std::string, std::string> result;
    void* state = nullptr;
    while (const char* key = pa_proplist_iterate(const_cast<pa_proplist*>(list), &state)) {
        if (const char* value = pa_proplist_gets(list, key)) result[key] = value;
    }
    return result;
}

template <typename PortInfo>
void readPorts(PulseDeviceFacts& facts, PortInfo** ports, std::uint32_t count, const PortInfo* active) {
    for (std::uint32_t i = 0; i < count; ++i) {
        if (ports && ports[i]) facts.ports.push_back({text(ports[i]->name), text(ports[i]->description), ports[i]->type});
    }
    if (active) facts.activePort = text(active->name);
}

struct SnapshotResults {
    Pending pending;
    PulseServerFacts facts;
};

void serverInfoReceived(pa_context*, const pa_server_info* info, void* userdata) {
    auto* results = static_cast<SnapshotResults*>(userdata);
    if (!info) {
        results->pending.fail();
        return;
    }
    results->facts.defaultSink = text(info->default_sink_name);
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
    readPorts(facts, info.ports, info.n_ports, info.active_port);
    facts.ownerModule = info.owner_module;
    return facts;
}

void sinkReceived(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
    auto* results = static_cast<SnapshotResults*>(userdata);
    if (eol < 0) results->pending.fail();
    if (eol != 0 || !info) return;
    results->facts.sinks.push_back(deviceFacts(*info, true));
}

void sourceReceived(pa_context*, const pa_source_info* info, int eol, void* userdata) {
    auto* results = static_cast<SnapshotResults*>(userdata);
    if (eol < 0) results->pending.fail();
    if (eol != 0 || !info) return;
    PulseDeviceFacts facts = deviceFacts(*info, false);
    facts.isMonitor = info->monitor_of_sink != PA_INVALID_INDEX;
    results->facts.sources.push_back(std::move(facts));
}

struct SuccessResult {
    Pending pending;
    bool success = false;
};

void succeeded(pa_context*, int success, void* userdata) { static_cast<SuccessResult*>(userdata)->success = success != 0; }

struct IndexResult {
    Pending pending;
    std::uint32_t index = PA_INVALID_INDEX;
};

void indexReceived(pa_context*, std::uint32_t index, void* userdata) { static_cast<IndexResult*>(userdata)->index = index; }

}  // namespace

struct PulseConnection::Impl {
    std::chrono::milliseconds deadline;
    pa_threaded_mainloop* loop = nullptr;

    std::mutex connecting;     // one (re)connection at a time
    pa_context* context = nullptr;  // written under `connecting` and the loop lock
    Clock::time_point quietUntil{};  // under `connecting`

    std::mutex stateMutex;
    std::condition_variable stateChanged;
    pa_context_state_t state = PA_CONTEXT_UNCONNECTED;  // under stateMutex: of the current context
    bool wasReady = false;                               // under stateMutex: it reached READY

    std::mutex handlerMutex;  // held while the handler runs, so clearing it waits for a call in progress
    std::function<void()> handler;

    explicit Impl(std::chrono::milliseconds limit) : deadline(limit) {
        loop = pa_threaded_mainloop_new();
        if (loop) {
            pa_threaded_mainloop_set_name(loop, "sonvale-pulse");
            if (pa_threaded_mainloop_start(loop) < 0) {
                pa_threaded_mainloop_free(loop);
                loop = nullptr;
            }
        }
    }

    ~Impl() {
        if (!loop) return;
        {
            std::lock_guard lock(connecting);
            dropContext();
        }
        pa_threaded_mainloop_stop(loop);
        pa_threaded_mainloop_free(loop);
    }

    void notifyHandler() {
        std::lock_guard lock(handlerMutex);
        if (handler) handler();
    }

    static void contextStateChanged(pa_context* c, void* userdata) {
        auto* self = static_cast<Impl*>(userdata);
        const auto state = pa_context_get_state(c);
        bool lost = false;
        {
            std::lock_guard lock(self->stateMutex);
            self->state = state;
            if (state == PA_CONTEXT_READY) self->wasReady = true;
            if (!PA_CONTEXT_IS_GOOD(state) && self->wasReady) {
                lost = true;
                self->wasReady = false;
            }
        }
        self->stateChanged.notify_all();
        if (lost) self->notifyHandler();
    }

    static void subscriptionEvent(pa_context*, pa_subscription_event_type_t, std::uint32_t, void* userdata) {
        static_cast<Impl*>(userdata)->notifyHandler();
    }

    // Under `connecting`. Returns whether a connection that had been ready went away: its
    // state callback no longer reports that, so the caller tells the handler.
    bool dropContext() {
        if (!context) return false;
        bool lost;
        {
            LoopLock lock(loop);
            pa_context_set_state_callback(context, nullptr, nullptr);
            pa_context_set_subscribe_callback(context, nullptr, nullptr);
            pa_context_disconnect(context);
            pa_context_unref(context);
            context = nullptr;
            std::lock_guard stateLock(stateMutex);
            lost = wasReady;
            state = PA_CONTEXT_UNCONNECTED;
            wasReady = false;
        }
        return lost;
    }

    // Under the loop lock.
    void subscribe() {
        if (!context || pa_context_get_state(context) != PA_CONTEXT_READY) return;
        pa_context_set_subscribe_callback(context, &Impl::subscriptionEvent, this);
        const auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE |
                                                              PA_SUBSCRIPTION_MASK_SERVER);
        if (pa_operation* operation = pa_context_subscribe(context, mask, nullptr, nullptr)) pa_operation_unref(operation);
    }

    bool hasHandler() {
        std::lock_guard lock(handlerMutex);
        return static_cast<bool>(handler);
    }

    bool ensureConnected() {
        bool fresh = false;
        bool lost = false;
        const bool ready = connect(fresh, lost);
        // Changes made while there was no subscription were not reported: whoever follows
        // the server looks again, both when a connection went away and when a new one is up.
        if (lost || fresh) notifyHandler();
        return ready;
    }

    void reconnect() {
        bool lost;
        {
            std::lock_guard lock(connecting);
            lost = dropContext();
        }
        if (lost) notifyHandler();
    }

    bool connect(bool& fresh, bool& lost) {
        if (!loop) return false;
        std::lock_guard lock(connecting);
        if (context) {
            LoopLock loopLock(loop);
            if (pa_context_get_state(context) == PA_CONTEXT_READY) return true;
        }
        if (Clock::now() < quietUntil) return false;
        lost = dropContext();
        {
            LoopLock loopLock(loop);
            pa_proplist* about = pa_proplist_new();
            pa_proplist_sets(about, PA_PROP_APPLICATION_NAME, "Sonvale");
            pa_proplist_sets(about, PA_PROP_APPLICATION_ID, "local.sonvale");
            context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop), "Sonvale", about);
            pa_proplist_free(about);
            if (!context) return false;
            pa_context_set_state_callback(context, &Impl::contextStateChanged, this);
            if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
                pa_context_set_state_callback(context, nullptr, nullptr);
                pa_context_unref(context);
                context = nullptr;
                return false;
            }
        }
        const auto until = Clock::now() + deadline;
        pa_context_state_t reached;
        {
            std::unique_lock waitLock(stateMutex);
            stateChanged.wait_until(waitLock, until, [&] {
                return state == PA_CONTEXT_READY || (state != PA_CONTEXT_UNCONNECTED && !PA_CONTEXT_IS_GOOD(state));
            });
            reached = state;
        }
        if (reached == PA_CONTEXT_READY) {
            if (hasHandler()) {
                LoopLock loopLock(loop);
                subscribe();
            }
            fresh = true;
            return true;
        }
        if (reached == PA_CONTEXT_UNCONNECTED || PA_CONTEXT_IS_GOOD(reached)) quietUntil = Clock::now() + quietAfterTimeout;
        if (dropContext()) lost = true;
        return false;
    }

    // Issues the requests (under the loop lock; `issue` returns the operations, null for
    // one that could not be sent) and waits for them all until the deadline.
    template <typename Issue>
    bool perform(Pending& pending, Issue issue) {
        if (!ensureConnected()) return false;
        std::vector<pa_operation*> operations;
        {
            LoopLock loopLock(loop);
            if (!context || pa_context_get_state(context) != PA_CONTEXT_READY) return false;
            operations = issue(context);
            for (pa_operation* operation : operations) {
                if (!operation) {
                    pending.failed = true;
                    continue;
                }
                ++pending.outstanding;
                pa_operation_set_state_callback(operation, &operationStateChanged, &pending);
            }
        }
        bool finished;
        {
            std::unique_lock waitLock(pending.mutex);
            finished = pending.ended.wait_until(waitLock, Clock::now() + deadline,
                                                [&] { return pending.outstanding == 0; });
        }
        {
            LoopLock loopLock(loop);
            for (pa_operation* operation : operations) {
                if (!operation) continue;
                pa_operation_set_state_callback(operation, nullptr, nullptr);
                if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) pa_operation_cancel(operation);
                pa_operation_unref(operation);
            }
        }
        if (!finished) {
            bool lost;
            {
                std::lock_guard lock(connecting);
                quietUntil = Clock::now() + quietAfterTimeout;
                lost = dropContext();
            }
            if (lost) notifyHandler();
            return false;
        }
        std::lock_guard lock(pending.mutex);
        return !pending.failed;
    }
};

PulseConnection::PulseConnection(std::chrono::milliseconds deadline) : impl_(std::make_unique<Impl>(deadline)) {}

PulseConnection::~PulseConnection() { setChangeHandler({}); }

std::optional<PulseServerFacts> PulseConnection::snapshot() {
    SnapshotResults results;
    const bool ok = impl_->perform(results.pending, [&](pa_context* c) {
        return std::vector<pa_operation*>{pa_context_get_server_info(c, &serverInfoReceived, &results),
                                          pa_context_get_sink_info_list(c, &sinkReceived, &results),
                                          pa_context_get_source_info_list(c, &sourceReceived, &results)};
    });
    if (!ok) return std::nullopt;
    return std::move(results.facts);
}

bool PulseConnection::setDefaultSink(const std::string& name) {
    SuccessResult result;
    const bool ok = impl_->perform(result.pending, [&](pa_context* c) {
        return std::vector<pa_operation*>{pa_context_set_default_sink(c, name.c_str(), &succeeded, &result)};
    });
    return ok && result.success;
}

std::optional<std::uint32_t> PulseConnection::loadModule(const std::string& name, const std::string& arguments) {
    IndexResult result;
    const bool ok = impl_->perform(result.pending, [&](pa_context* c) {
        return std::vector<pa_operation*>{
            pa_context_load_module(c, name.c_str(), arguments.c_str(), &indexReceived, &result)};
    });
    if (!ok || result.index == PA_INVALID_INDEX) return std::nullopt;
    return result.index;
}

bool PulseConnection::unloadModule(std::uint32_t index) {
    SuccessResult result;
    const bool ok = impl_->perform(result.pending, [&](pa_context* c) {
        return std::vector<pa_operation*>{pa_context_unload_module(c, index, &succeeded, &result)};
    });
    return ok && result.success;
}

bool PulseConnection::connected() { return impl_->ensureConnected(); }

void PulseConnection::reconnect() { impl_->reconnect(); }

void PulseConnection::setChangeHandler(std::function<void()> handler) {
    {
        std::lock_guard lock(impl_->handlerMutex);
        impl_->handler = std::move(handler);
    }
    if (!impl_->loop || !impl_->hasHandler()) return;
    std::lock_guard lock(impl_->connecting);
    LoopLock loopLock(impl_->loop);
    impl_->subscribe();
}

}  // namespace sonvale::coreaudio
