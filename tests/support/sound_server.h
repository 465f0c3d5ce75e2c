#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

// A private sound server for integration tests, started through tests/harness/.
namespace sonvale::test {

struct CommandResult {
    int exitStatus = -1;  // -1 when the command did not start, crashed or timed out
    std::string out, err;
};

// Runs argv[0] (searched in PATH), killed at the deadline; an empty `environment` value removes the variable.
CommandResult runCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeout = std::chrono::seconds(10),
                         const std::map<std::string, std::string>& environment = {});

enum class SoundServerKind { pulseaudio, pipewire };
const char* soundServerName(SoundServerKind kind);
#define SONVALE_ON_BOTH_SERVERS(suite)                                                                              \
    INSTANTIATE_TEST_SUITE_P(Servers, suite,                                                                        \
                             ::testing::Values(::sonvale::test::SoundServerKind::pulseaudio,                        \
                                               ::sonvale::test::SoundServerKind::pipewire),                         \
                             [](const auto& p) { return std::string(::sonvale::test::soundServerName(p.param)); })

// The sinks of tests/harness/topology.sh.
namespace topology {
inline const std::string speakerSink = "alsa_output.pci-0000_00_1f.3.analog-stereo.speaker",
                         hdmiSink = "alsa_output.pci-0000_00_1f.3.hdmi-stereo",
                         displayPortSink = "alsa_output.pci-0000_01_00.1.hdmi-stereo-extra1",
                         usbSink = "alsa_output.usb-Logitech_USB_Headset-00.analog-stereo",
                         bluetoothSink = "bluez_sink.40_EF_4C_39_89_B2.a2dp_sink",
                         microphone = "alsa_input.pci-0000_00_1f.3.analog-stereo";
}  // namespace topology

// A sink as `pactl list sinks` shows it (the text form: the JSON form garbles non-ASCII).
struct SinkInfo {
    std::string name, description;
    std::uint32_t ownerModule = UINT32_MAX;
    std::string details;  // the indented lines: properties, formats
};

// A private PulseAudio (or PipeWire with pipewire-pulse) with the laptop topology; this process's
// $PULSE_SERVER points at it while it lives. A failed start leaves running() false and error() saying why.
class SoundServer {
public:
    explicit SoundServer(SoundServerKind kind = SoundServerKind::pulseaudio);
    ~SoundServer();
    SoundServer(const SoundServer&) = delete;

    bool running() const { return running_; }
    const std::string& error() const { return error_; }
    const std::string& directory() const { return directory_; }  // pid files and logs
    const std::string& pulseServer() const { return pulseServer_; }
    // Stops the daemons; start() brings the server back on the same socket, topology included.
    void stop();
    bool start();

    CommandResult pactl(const std::vector<std::string>& arguments) const;
    std::string defaultSink() const;  // empty when none or on failure
    bool setDefaultSink(const std::string& name) const { return pactl({"set-default-sink", name}).exitStatus == 0; }
    std::vector<SinkInfo> sinks() const;
    std::optional<SinkInfo> sink(const std::string& name) const;
    std::optional<std::uint32_t> loadModule(const std::string& module, const std::string& arguments) const;
    bool unloadModule(std::uint32_t index) const { return pactl({"unload-module", std::to_string(index)}).exitStatus == 0; }
    // To the daemon that speaks the PulseAudio protocol: SIGSTOP makes a server that no longer answers.
    void signal(int number) const;

private:
    SoundServerKind kind_;
    bool running_ = false;
    std::string error_, directory_, pulseServer_;
    std::optional<std::string> previousPulseServer_;
};

}  // namespace sonvale::test
