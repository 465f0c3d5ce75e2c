#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "coreaudio/pulse_device_facts.h"

namespace sonvale::coreaudio {

// One libpulse context on its own threaded main loop, connected on demand to the server
// the environment names ($PULSE_SERVER, else the session's runtime directory; never
// autospawned). Every request waits at most `deadline`; connecting waits at most
// `deadline` too. A request that times out drops the connection and, for a short while,
// lets further requests fail at once, so that a hung server costs one deadline and not
// one per call. A lost connection is made again by the next request. Safe to call from
// any thread except the change handler's.
class PulseConnection {
public:
    explicit PulseConnection(std::chrono::milliseconds deadline = std::chrono::milliseconds(1500));
    ~PulseConnection();
    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    std::optional<PulseServerFacts> snapshot();
    bool setDefaultSink(const std::string& name);
    std::optional<std::uint32_t> loadModule(const std::string& name, const std::string& arguments);
    bool unloadModule(std::uint32_t index);
    bool connected();
    // Drops the connection; the next request makes a new one, which the server answers
    // from a fresh view of its state.
    void reconnect();

    // Called after a sink, source or server event, when the connection is lost or dropped
    // and when a new connection is up (changes in between were not reported); on the main
    // loop's thread or on the calling one, it must only take note and return. Subscribing
    // happens on every (re)connection while a handler is set.
    void setChangeHandler(std::function<void()> handler);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace sonvale::coreaudio
