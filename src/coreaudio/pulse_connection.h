#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "coreaudio/pulse_device_facts.h"

namespace sonvale::coreaudio {

// One libpulse context on its own threaded main loop, and the view of the server it keeps
// current: sinks, sources (monitors left out) and the default sink. As pavucontrol does, it
// subscribes when the connection is ready, lists everything once, then re-reads only the
// object a change event names and drops the one a removal names; every answer carries the
// stamp of its request, so an older answer never replaces a newer one.
//
// The connection is made on first use, against the server the environment names
// ($PULSE_SERVER, else the session's runtime directory; never autospawned). When it is
// lost (a server restart) the view is dropped and a new connection is tried every half
// second; a connection that is not ready within `deadline` is abandoned and tried again a
// second later.
//
// Threads: every public method may be called from any thread but the main loop's own.
// Reads take a mutex and never ask the server. Writes wait for the server's answer at most
// `deadline`.
class PulseConnection {
public:
    explicit PulseConnection(std::chrono::milliseconds deadline = std::chrono::milliseconds(1500));
    ~PulseConnection();
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    using Facts = std::shared_ptr<const PulseServerFacts>;

    // The current view; null while there is none. With `wait`, a caller that finds no view
    // while a connection is being made (or none has been tried lately) waits for it, at
    // most `deadline`. Without, it never waits.
    Facts facts(bool wait = true);
    // Waits at most `limit` until the view exists and satisfies `done`.
    bool await(const std::function<bool(const PulseServerFacts&)>& done, std::chrono::milliseconds limit);

    bool setDefaultSink(const std::string& name);
    std::optional<std::uint32_t> loadModule(const std::string& name, const std::string& arguments);
    bool unloadModule(std::uint32_t index);
    // Asks for the server info (the default sink) again; the answer updates the view.
    void refreshServerInfo();
    // Whether the server answers (pulse_server_watch.h). When it does not, writes fail at once
    // and one question is sent whose answer shows that it does again.
    bool answering();

    // Routes the players' streams: given every stream into a sink and the server's current
    // view, what to move and which sinks to suspend or resume. While a rule is set, it is asked
    // when set, when the default sink changes and after every change of a stream, on the main
    // loop's thread (it must only look and return). Sinks are resumed before the moves and
    // suspended after them, each only when the rule's wish for it changed. A lost connection
    // drops the rule; an empty rule ends it.
    using SinkInputRule = std::function<PulseRoutingPlan(const std::vector<PulseSinkInput>&, const PulseServerFacts&)>;
    void setSinkInputRule(SinkInputRule rule);

    // Called on the main loop's thread after the view changed, was lost or was made anew;
    // it must only take note and return. Setting one also starts the connection.
    void setChangeHandler(std::function<void()> handler);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace sonvale::coreaudio
