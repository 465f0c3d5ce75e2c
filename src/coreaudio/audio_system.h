#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "coreaudio/audio_buffer_list.h"

// The one seam between Sonvale and the sound system. It speaks the vocabulary of the
// audio object model the rest of the program is written against: numbered audio
// objects, properties addressed by four-character selectors and scopes, statuses where
// 0 is success, aggregate devices described by a dictionary, process taps and IO blocks.
// Backend: PulseAudio/PipeWire (pulse_audio_system.h); tests install doubles of their own.
namespace sonvale::coreaudio {

using AudioObjectID = std::uint32_t;
using OSStatus = std::int32_t;

inline constexpr OSStatus noErr = 0;
inline constexpr AudioObjectID kAudioObjectUnknown = 0;
inline constexpr AudioObjectID kAudioObjectSystemObject = 1;

// Packs four ASCII characters with the first one in the most significant byte.
constexpr std::uint32_t fourCC(const char (&code)[5]) {
    return (std::uint32_t(std::uint8_t(code[0])) << 24) | (std::uint32_t(std::uint8_t(code[1])) << 16) |
           (std::uint32_t(std::uint8_t(code[2])) << 8) | std::uint32_t(std::uint8_t(code[3]));
}

namespace selector {
inline constexpr std::uint32_t devices = fourCC("dev#");        // system object: all devices
inline constexpr std::uint32_t defaultOutput = fourCC("dOut");  // system object: default output
inline constexpr std::uint32_t deviceUID = fourCC("uid ");
inline constexpr std::uint32_t name = fourCC("lnam");
inline constexpr std::uint32_t transportType = fourCC("tran");
inline constexpr std::uint32_t streams = fourCC("stm#");
inline constexpr std::uint32_t tapFormat = fourCC("tfmt");  // process tap: AudioStreamBasicDescription
inline constexpr std::uint32_t tapUID = fourCC("tuid");     // process tap: its UID string
inline constexpr std::uint32_t latency = fourCC("ltnc");     // output device: frames players are told it delays
// Output device with several outputs of its own (a card's ports): the one playing now, as a
// data source code below. Unreadable on a device that has only one.
inline constexpr std::uint32_t dataSource = fourCC("ssrc");
}  // namespace selector

namespace data_source {
inline constexpr std::uint32_t internalSpeaker = fourCC("ispk");
inline constexpr std::uint32_t headphones = fourCC("hdpn");
inline constexpr std::uint32_t hdmi = fourCC("hdmi");
inline constexpr std::uint32_t other = fourCC("othr");  // line out, S/PDIF and the rest
}  // namespace data_source

namespace scope {
inline constexpr std::uint32_t global = fourCC("glob");
inline constexpr std::uint32_t output = fourCC("outp");
inline constexpr std::uint32_t input = fourCC("inpt");
}  // namespace scope

namespace transport {
inline constexpr std::uint32_t builtIn = fourCC("bltn");
inline constexpr std::uint32_t hdmi = fourCC("hdmi");
inline constexpr std::uint32_t displayPort = fourCC("dprt");
inline constexpr std::uint32_t usb = fourCC("usb ");
inline constexpr std::uint32_t bluetooth = fourCC("blue");
inline constexpr std::uint32_t virtualDevice = fourCC("virt");
inline constexpr std::uint32_t aggregate = fourCC("grup");
}  // namespace transport

struct AudioObjectPropertyAddress {
    std::uint32_t mSelector = 0;
    std::uint32_t mScope = scope::global;
    std::uint32_t mElement = 0;
};

// A stream format as the tap reports it (40 bytes, like the platform's structure).
struct AudioStreamBasicDescription {
    double mSampleRate = 0;
    std::uint32_t mFormatID = 0;
    std::uint32_t mFormatFlags = 0;
    std::uint32_t mBytesPerPacket = 0;
    std::uint32_t mFramesPerPacket = 0;
    std::uint32_t mBytesPerFrame = 0;
    std::uint32_t mChannelsPerFrame = 0;
    std::uint32_t mBitsPerChannel = 0;
    std::uint32_t mReserved = 0;
};
static_assert(sizeof(AudioStreamBasicDescription) == 40);

inline constexpr std::uint32_t kAudioFormatLinearPCM = fourCC("lpcm");
inline constexpr std::uint32_t kAudioFormatFlagIsFloat = 1u << 0;

// A process tap captures the stereo mix of every process; `name` names its record stream.
struct TapDescription {
    std::string name;
};

using IOProcID = std::uint64_t;
// Called once per IO cycle with that cycle's input buffer list, on the backend's audio
// thread. It must not block.
using IOBlock = std::function<void(const AudioBufferList& input)>;
using ListenerBlock = std::function<void()>;
using ListenerID = std::uint64_t;

class AudioSystem {
public:
    virtual ~AudioSystem() = default;

    virtual OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                         std::uint32_t& outSize) = 0;
    // Fills at most ioSize bytes of data and sets ioSize to the number of bytes written.
    virtual OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                     std::uint32_t& ioSize, void* data) = 0;
    // String-valued properties (a string reference on the platform); nullopt stands for
    // a null reference.
    virtual OSStatus getStringProperty(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                       std::optional<std::string>& out) = 0;
    virtual OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                     std::uint32_t size, const void* data) = 0;

    virtual OSStatus createAggregateDevice(const nlohmann::json& description, AudioObjectID& outDevice) = 0;
    virtual OSStatus destroyAggregateDevice(AudioObjectID device) = 0;

    // The block runs on a backend thread after the property changed; callers hop to
    // their own thread. Returns 0 when the listener could not be registered.
    virtual ListenerID addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                           ListenerBlock block) = 0;
    virtual void removePropertyListener(ListenerID listener) = 0;

    virtual OSStatus createProcessTap(const TapDescription& description, AudioObjectID& outTap) = 0;
    virtual OSStatus destroyProcessTap(AudioObjectID tap) = 0;
    virtual OSStatus createIOProcID(AudioObjectID device, IOBlock block, IOProcID& outID) = 0;
    virtual OSStatus deviceStart(AudioObjectID device, IOProcID proc) = 0;
    virtual OSStatus deviceStop(AudioObjectID device, IOProcID proc) = 0;
    virtual OSStatus destroyIOProcID(AudioObjectID device, IOProcID proc) = 0;
};

// The backend every device function talks to. Set once at start (or by a test).
AudioSystem& audioSystem();
void setAudioSystem(std::shared_ptr<AudioSystem> system);

}  // namespace sonvale::coreaudio
