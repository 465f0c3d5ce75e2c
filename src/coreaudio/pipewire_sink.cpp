#include "coreaudio/pipewire_sink.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/latency-utils.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>

namespace sonvale::coreaudio {
namespace {

constexpr int readyTimeoutSeconds = 2;

// key=value pairs as PulseAudio's module arguments write them; a value may be quoted
// with ' or " (the arguments Sonvale builds never escape a quote inside).
std::map<std::string, std::string> moduleArguments(std::string_view text) {
    std::map<std::string, std::string> result;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && text[i] == ' ') ++i;
        const std::size_t equals = text.find('=', i);
        if (equals == std::string_view::npos) break;
        std::string key(text.substr(i, equals - i));
        i = equals + 1;
        std::string value;
        if (i < text.size() && (text[i] == '\'' || text[i] == '"')) {
            const std::size_t close = text.find(text[i], i + 1);
            value = text.substr(i + 1, close == std::string_view::npos ? std::string_view::npos : close - i - 1);
            i = close == std::string_view::npos ? text.size() : close + 1;
        } else {
            const std::size_t space = text.find(' ', i);
            value = text.substr(i, space == std::string_view::npos ? std::string_view::npos : space - i);
            i = space == std::string_view::npos ? text.size() : space;
        }
        result[std::move(key)] = std::move(value);
    }
    return result;
}

// pipewire-pulse listens at <runtime dir>/pulse/native beside PipeWire's own
// <runtime dir>/pipewire-0. Nothing for a pulse server elsewhere (another host, a plain
// PulseAudio with its socket somewhere else).
std::optional<std::string> pipeWireRemote() {
    const char* configured = std::getenv("PULSE_SERVER");
    if (!configured || !*configured) return std::string();  // PipeWire's default remote
    std::string_view server(configured);
    if (server.starts_with("unix:")) server.remove_prefix(5);
    static constexpr std::string_view suffix = "/pulse/native";
    if (!server.starts_with('/') || !server.ends_with(suffix)) return std::nullopt;
    std::string remote = std::string(server.substr(0, server.size() - suffix.size())) + "/pipewire-0";
    std::error_code error;
    if (!std::filesystem::exists(remote, error)) return std::nullopt;
    return remote;
}

}  // namespace

struct PipeWireSink::Impl {
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_stream* stream = nullptr;
    spa_hook listener{};
    std::string name;
    std::uint32_t rate = 44100, channels = 2;
    spa_audio_format format = SPA_AUDIO_FORMAT_S16;
    pw_stream_state state = PW_STREAM_STATE_UNCONNECTED;
    std::mutex receiverMutex;
    Receiver receiver;

    // On the loop's thread.
    static void stateChanged(void* data, pw_stream_state, pw_stream_state now, const char*) {
        auto* self = static_cast<Impl*>(data);
        self->state = now;
        pw_thread_loop_signal(self->loop, false);
    }
    // On the data thread. The monitor has the audio by now; the sink keeps none of it.
    static void process(void* data) {
        auto* self = static_cast<Impl*>(data);
        pw_buffer* buffer = pw_stream_dequeue_buffer(self->stream);
        if (!buffer) return;
        {
            std::lock_guard lock(self->receiverMutex);
            const spa_data& block = buffer->buffer->datas[0];
            if (self->receiver && block.data && block.chunk) {
                const std::uint32_t offset = std::min(block.chunk->offset, block.maxsize);
                const std::uint32_t size = std::min(block.chunk->size, block.maxsize - offset);
                if (size > 0) self->receiver(static_cast<const std::uint8_t*>(block.data) + offset, size);
            }
        }
        pw_stream_queue_buffer(self->stream, buffer);
    }
    static constexpr pw_stream_events events = [] {
        pw_stream_events e{};
        e.version = PW_VERSION_STREAM_EVENTS;
        e.state_changed = &Impl::stateChanged;
        e.process = &Impl::process;
        return e;
    }();

    // Under the loop lock.
    const spa_pod* latencyParam(spa_pod_builder& builder, std::chrono::nanoseconds delay) const {
        spa_latency_info info = SPA_LATENCY_INFO(SPA_DIRECTION_INPUT);
        info.min_ns = info.max_ns = std::uint64_t(delay.count());
        return spa_latency_build(&builder, SPA_PARAM_Latency, &info);
    }

    ~Impl() {
        if (loop) pw_thread_loop_stop(loop);
        if (stream) pw_stream_destroy(stream);
        if (core) pw_core_disconnect(core);
        if (context) pw_context_destroy(context);
        if (loop) pw_thread_loop_destroy(loop);
    }
};

PipeWireSink::PipeWireSink(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PipeWireSink::~PipeWireSink() = default;

const std::string& PipeWireSink::name() const { return impl_->name; }
std::uint32_t PipeWireSink::rate() const { return impl_->rate; }
bool PipeWireSink::isFloat32() const { return impl_->format == SPA_AUDIO_FORMAT_F32; }

void PipeWireSink::setReceiver(Receiver receiver) {
    const bool receiving = bool(receiver);
    {
        std::lock_guard lock(impl_->receiverMutex);
        impl_->receiver = std::move(receiver);
    }
    // The node runs without players only while something takes its audio, so a paused or held
    // forwarding leaves the graph idle. PipeWire re-plans the graph for a changed latency, not
    // for this flag alone: the same 1024 frames written another way makes it look again.
    const std::string latency =
        receiving ? "2048/" + std::to_string(2 * impl_->rate) : "1024/" + std::to_string(impl_->rate);
    const spa_dict_item items[] = {SPA_DICT_ITEM_INIT(PW_KEY_NODE_ALWAYS_PROCESS, receiving ? "true" : "false"),
                                   SPA_DICT_ITEM_INIT(PW_KEY_NODE_LATENCY, latency.c_str())};
    const spa_dict dict = SPA_DICT_INIT(items, 2);
    pw_thread_loop_lock(impl_->loop);  // outside the receiver's lock, which the process callback takes
    pw_stream_update_properties(impl_->stream, &dict);
    pw_thread_loop_unlock(impl_->loop);
}

std::unique_ptr<PipeWireSink> PipeWireSink::create(const std::string& nullSinkArguments) {
    const auto remote = pipeWireRemote();
    if (!remote) return nullptr;
    auto arguments = moduleArguments(nullSinkArguments);
    auto impl = std::make_unique<Impl>();
    impl->name = arguments["sink_name"];
    if (impl->name.empty()) return nullptr;
    if (!arguments["rate"].empty()) impl->rate = std::uint32_t(std::strtoul(arguments["rate"].c_str(), nullptr, 10));
    if (!arguments["channels"].empty()) impl->channels = std::uint32_t(std::strtoul(arguments["channels"].c_str(), nullptr, 10));
    if (arguments["format"] == "float32le") impl->format = SPA_AUDIO_FORMAT_F32;
    if (impl->rate == 0 || impl->channels != 2) return nullptr;

    static std::once_flag initialised;
    std::call_once(initialised, [] { pw_init(nullptr, nullptr); });

    // Never suspended by the session manager, so that a receiver sees the silence between
    // sounds as the monitor would (see setReceiver). Quanta of 1024 frames unless a player
    // needs shorter: half the wake-ups of 512, and a stall must exceed 23 ms to cost a quantum.
    const std::string latency = "1024/" + std::to_string(impl->rate);
    pw_properties* properties = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CLASS, "Audio/Sink",
                                                  PW_KEY_NODE_NAME, impl->name.c_str(), PW_KEY_NODE_LATENCY, latency.c_str(),
                                                  "session.suspend-timeout-seconds", "0", nullptr);
    for (const auto& [key, value] : moduleArguments(arguments["sink_properties"])) {
        pw_properties_set(properties, key.c_str(), value.c_str());
        if (key == "device.description") pw_properties_set(properties, PW_KEY_NODE_DESCRIPTION, value.c_str());
    }

    impl->loop = pw_thread_loop_new("sonvale-sink", nullptr);
    if (!impl->loop) {
        pw_properties_free(properties);
        return nullptr;
    }
    // client-rt.conf, as PipeWire's own players use, loads its real-time module: the node is woken
    // in every cycle of the graph, and a cycle it has not finished in time is a quantum the
    // forwarding output's monitor never delivers.
    impl->context = pw_context_new(pw_thread_loop_get_loop(impl->loop),
                                   pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
    if (!impl->context || pw_thread_loop_start(impl->loop) != 0) {
        pw_properties_free(properties);
        return nullptr;
    }
    pw_thread_loop_lock(impl->loop);
    impl->core = pw_context_connect(impl->context,
                                    remote->empty() ? nullptr : pw_properties_new(PW_KEY_REMOTE_NAME, remote->c_str(), nullptr), 0);
    if (impl->core) impl->stream = pw_stream_new(impl->core, impl->name.c_str(), properties);
    else pw_properties_free(properties);
    bool ready = false;
    if (impl->stream) {
        pw_stream_add_listener(impl->stream, &impl->listener, &Impl::events, impl.get());
        std::uint8_t buffer[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
        spa_audio_info_raw raw{};
        raw.format = impl->format;
        raw.rate = impl->rate;
        raw.channels = impl->channels;
        raw.position[0] = SPA_AUDIO_CHANNEL_FL;
        raw.position[1] = SPA_AUDIO_CHANNEL_FR;
        const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &raw),
                                   impl->latencyParam(builder, {})};
        const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
        if (pw_stream_connect(impl->stream, PW_DIRECTION_INPUT, PW_ID_ANY, flags, params, 2) == 0) {
            // Paused: the node is in the graph, waiting for players.
            while (impl->state != PW_STREAM_STATE_PAUSED && impl->state != PW_STREAM_STATE_STREAMING &&
                   impl->state != PW_STREAM_STATE_ERROR) {
                if (pw_thread_loop_timed_wait(impl->loop, readyTimeoutSeconds) != 0) break;
            }
            ready = impl->state == PW_STREAM_STATE_PAUSED || impl->state == PW_STREAM_STATE_STREAMING;
        }
    }
    pw_thread_loop_unlock(impl->loop);
    if (!ready) return nullptr;
    return std::unique_ptr<PipeWireSink>(new PipeWireSink(std::move(impl)));
}

bool PipeWireSink::setLatency(std::chrono::nanoseconds delay) {
    pw_thread_loop_lock(impl_->loop);
    std::uint8_t buffer[256];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* params[] = {impl_->latencyParam(builder, delay)};
    const bool done = pw_stream_update_params(impl_->stream, params, 1) == 0;
    pw_thread_loop_unlock(impl_->loop);
    return done;
}

}  // namespace sonvale::coreaudio
