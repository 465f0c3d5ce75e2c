#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "coreaudio/audio_system.h"

namespace sonvale::coreaudio {

// An in-memory audio system for tests: devices with the properties the program reads, a
// default output, aggregate devices (a created one is listed unless private), process taps
// whose IO blocks a test feeds with deliver(), and failures injected per operation.
// Listeners are called synchronously, on the thread that made the change.
class DeviceModel : public AudioSystem {
public:
    struct Device {
        AudioObjectID id = 0;              // 0: the next free id (from 100)
        std::optional<std::string> uid;    // nullopt: a null string reference
        std::optional<std::string> name;
        std::uint32_t transport = 0;       // 0: the transport property cannot be read
        std::uint32_t outputStreams = 1;   // 0 for input-only devices
        bool listed = true;
    };
    // The machine's speaker (built-in, the clock UID, "内置音频 扬声器") and a USB headset.
    static Device speaker();
    static Device headphones();

    // A failure for one operation, on one object and selector (0 = any).
    enum class Operation { size, read, write, createAggregate, destroyAggregate, createTap, readTapFormat,
                           createIOProc, start };

    AudioObjectID addDevice(Device device);
    void removeDevice(AudioObjectID id);      // fires 'dev#', and 'dOut' when it was the default
    void setDefaultOutput(AudioObjectID id);  // fires 'dOut'
    AudioObjectID defaultOutput() const;
    std::optional<Device> find(AudioObjectID id) const;

    void fail(Operation operation, OSStatus status, AudioObjectID object = 0, std::uint32_t selector = 0);
    void clearFailures();

    // What the next process tap reports: its format (48 kHz Float32 stereo by default) and UID.
    void setTapFormat(const AudioStreamBasicDescription& format);
    void setTapUID(std::optional<std::string> uid);
    // Calls every started IO block of the device (of every device with 0), as an audio
    // thread would; stopping a device waits for a call in progress.
    void deliver(const AudioBufferList& list, AudioObjectID device = 0);

    // Every mutating call in order, e.g. "createProcessTap 200", "deviceStop 300".
    std::vector<std::string> calls() const;
    std::vector<nlohmann::json> aggregateDescriptions() const;
    std::size_t liveIOProcs() const;
    std::size_t liveTaps() const;

    OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                 std::uint32_t& outSize) override;
    OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t& ioSize,
                             void* data) override;
    OSStatus getStringProperty(AudioObjectID object, const AudioObjectPropertyAddress& address,
                               std::optional<std::string>& out) override;
    OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t size,
                             const void* data) override;
    OSStatus createAggregateDevice(const nlohmann::json& description, AudioObjectID& outDevice) override;
    OSStatus destroyAggregateDevice(AudioObjectID device) override;
    ListenerID addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                   ListenerBlock block) override;
    void removePropertyListener(ListenerID listener) override;
    OSStatus createProcessTap(const TapDescription& description, AudioObjectID& outTap) override;
    OSStatus destroyProcessTap(AudioObjectID tap) override;
    OSStatus createIOProcID(AudioObjectID device, IOBlock block, IOProcID& outID) override;
    OSStatus deviceStart(AudioObjectID device, IOProcID proc) override;
    OSStatus deviceStop(AudioObjectID device, IOProcID proc) override;
    OSStatus destroyIOProcID(AudioObjectID device, IOProcID proc) override;

private:
    struct Tap {
        AudioStreamBasicDescription format;
        std::optional<std::string> uid;
    };
    struct IOProc {
        AudioObjectID device = 0;
        IOBlock block;
        bool running = false;
    };

    template <typename F>
    auto locked(F f) const {
        std::lock_guard lock(mutex_);
        return f();
    }
    std::optional<OSStatus> injected(Operation operation, AudioObjectID object, std::uint32_t selector = 0) const;
    std::optional<std::vector<std::uint32_t>> values(AudioObjectID object, const AudioObjectPropertyAddress& address) const;
    void notify(std::uint32_t selector);

    mutable std::recursive_mutex mutex_;
    std::mutex ioCycle_;  // held while IO blocks run
    std::vector<Device> devices_;
    AudioObjectID defaultOutput_ = 0;
    AudioObjectID nextID_ = 100;
    std::map<std::tuple<Operation, AudioObjectID, std::uint32_t>, OSStatus> failures_;
    std::vector<nlohmann::json> descriptions_;
    std::map<AudioObjectID, Tap> taps_;
    AudioStreamBasicDescription nextTapFormat_{48000, kAudioFormatLinearPCM, kAudioFormatFlagIsFloat, 8, 1, 8, 2, 32, 0};
    std::optional<std::string> nextTapUID_ = "DeviceModel.tap";
    std::map<IOProcID, IOProc> ioProcs_;
    IOProcID nextIOProc_ = 1;
    std::map<ListenerID, std::pair<std::uint32_t, ListenerBlock>> listeners_;  // system object: selector, block
    ListenerID nextListener_ = 1;
    std::vector<std::string> calls_;
};

}  // namespace sonvale::coreaudio
