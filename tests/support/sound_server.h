#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

// A private sound server for integration tests, started through tests/harness/.
namespace sonvale::test {

struct CommandResult {
    int exitStatus = -1;  // -1 when the command could not run, was killed or timed out
    bool timedOut = false;
    std::string out;
    std::string err;
};

// Runs argv[0] (searched in PATH) with a deadline, collecting both output streams. A
// command still running at the deadline is killed. extraEnvironment entries are set (an
// empty value removes the variable) in the child only.
CommandResult runCommand(const std::vector<std::string>& argv,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10),
                         const std::map<std::string, std::string>& extraEnvironment = {},
                         const std::string& input = {});

enum class SoundServerKind { pulseaudio, pipewire };

// $SONVALE_SOUND_SERVER ("pulseaudio" or "pipewire"); PulseAudio when unset.
SoundServerKind defaultSoundServerKind();
const char* soundServerName(SoundServerKind kind);

// A sink as `pactl list sinks` shows it (the text form: the JSON form garbles non-ASCII).
struct SinkInfo {
    std::uint32_t index = 0;
    std::string name;
    std::string description;
    std::uint32_t ownerModule = UINT32_MAX;
    std::map<std::string, std::string> properties;
};

// Starts a private PulseAudio (or PipeWire with pipewire-pulse) with the device topology of
// tests/harness/topology.sh and points this process at it through $PULSE_SERVER. The
// destructor stops the daemons by pid and gives $PULSE_SERVER its old value back. One
// server per object; a failed start leaves running() false and error() saying why.
class SoundServer {
public:
    explicit SoundServer(SoundServerKind kind = defaultSoundServerKind(), bool topology = true);
    ~SoundServer();
    SoundServer(const SoundServer&) = delete;
    SoundServer& operator=(const SoundServer&) = delete;

    bool running() const { return running_; }
    const std::string& error() const { return error_; }
    SoundServerKind kind() const { return kind_; }
    const std::string& directory() const { return directory_; }
    const std::string& pulseServer() const { return pulseServer_; }

    // Stops the daemons and keeps the directory, so that start() brings the server back
    // on the same socket (with the topology again, when it had one).
    void stop();
    bool start();

    CommandResult pactl(const std::vector<std::string>& arguments,
                        std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
    std::string defaultSink() const;  // empty when none or on failure
    bool setDefaultSink(const std::string& name) const;
    std::vector<SinkInfo> sinks() const;
    std::optional<SinkInfo> sink(const std::string& name) const;
    std::vector<std::string> sourceNames() const;  // monitors included
    std::optional<std::uint32_t> loadModule(const std::string& module, const std::string& arguments) const;
    bool unloadModule(std::uint32_t index) const;

private:
    bool launch();
    void reapDaemons(const std::vector<int>& pids);
    std::vector<int> daemonPids() const;

    SoundServerKind kind_;
    bool topology_;
    bool running_ = false;
    std::string error_;
    std::string directory_;
    std::string pulseServer_;
    std::optional<std::string> previousPulseServer_;
};

// Parses the text of `pactl list sinks`.
std::vector<SinkInfo> parseSinkList(const std::string& text);

}  // namespace sonvale::test
