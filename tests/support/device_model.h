#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "coreaudio/audio_system.h"

namespace sonvale::coreaudio {

// An in-memory audio system for tests: devices, a default output, aggregate devices (a
// created one is listed unless private), process taps whose IO blocks a test feeds with
// deliver(), and failures injected per operation. Listeners ('dOut', 'dev#' on the system
// object) are called synchronously, on the thread that made the change.
class DeviceModel : public AudioSystem {
public:
    struct Device {
        AudioObjectID id = 0;             // 0: the next free id (from 100)
        std::optional<std::string> uid;   // nullopt: a null string reference
        std::optional<std::string> name;
        std::uint32_t transport = 0;      // 0: the transport property cannot be read
        std::uint32_t outputStreams = 1;  // 0: an input-only device
        bool listed = true;
    };
    static Device speaker();     // built-in, the clock UID, "内置音频 扬声器"
    static Device headphones();  // a USB headset

    // Fails one operation on one object and selector (0 = any) with `status`.
    enum class Operation { size, read, write, createAggregate, destroyAggregate, createTap, readTapFormat,
                           createIOProc, start };
    void fail(Operation operation, OSStatus status, AudioObjectID object = 0, std::uint32_t selector = 0);
    void clearFailures();

    AudioObjectID addDevice(Device device);   // fires 'dev#'
    void removeDevice(AudioObjectID id);      // fires 'dev#', and 'dOut' when it was the default
    void setDefaultOutput(AudioObjectID id);  // fires 'dOut'
    AudioObjectID defaultOutput() const;
    std::optional<Device> find(AudioObjectID id) const;

    // What the next tap reports: its format (48 kHz Float32 stereo unless set) and UID.
    void setTapFormat(const AudioStreamBasicDescription& format);
    void setTapUID(std::optional<std::string> uid);
    // Calls the started IO blocks (of one device, or all with 0) as an audio thread would.
    void deliver(const AudioBufferList& list, AudioObjectID device = 0);

    std::vector<std::string> calls() const;  // every mutating call in order, e.g. "deviceStop 300"
    std::vector<nlohmann::json> aggregateDescriptions() const;
    std::size_t liveIOProcs() const;
    std::size_t liveTaps() const;

    OSStatus getPropertyDataSize(AudioObjectID, const AudioObjectPropertyAddress&, std::uint32_t&) override;
    OSStatus getPropertyData(AudioObjectID, const AudioObjectPropertyAddress&, std::uint32_t&, void*) override;
    OSStatus getStringProperty(AudioObjectID, const AudioObjectPropertyAddress&, std::optional<std::string>&) override;
    OSStatus setPropertyData(AudioObjectID, const AudioObjectPropertyAddress&, std::uint32_t, const void*) override;
    OSStatus createAggregateDevice(const nlohmann::json& description, AudioObjectID& outDevice) override;
    OSStatus destroyAggregateDevice(AudioObjectID device) override;
    ListenerID addPropertyListener(AudioObjectID, const AudioObjectPropertyAddress&, ListenerBlock) override;
    void removePropertyListener(ListenerID listener) override;
    OSStatus createProcessTap(const TapDescription& description, AudioObjectID& outTap) override;
    OSStatus destroyProcessTap(AudioObjectID tap) override;
    OSStatus createIOProcID(AudioObjectID device, IOBlock block, IOProcID& outID) override;
    OSStatus deviceStart(AudioObjectID device, IOProcID proc) override;
    OSStatus deviceStop(AudioObjectID device, IOProcID proc) override;
    OSStatus destroyIOProcID(AudioObjectID device, IOProcID proc) override;

private:
    std::optional<OSStatus> injected(Operation operation, AudioObjectID object, std::uint32_t selector = 0) const;
    OSStatus record(std::string call, AudioObjectID object, OSStatus status = noErr);
    void notify(std::uint32_t selector);

    mutable std::recursive_mutex mutex_;
    std::mutex ioCycle_;  // held while IO blocks run
    std::vector<Device> devices_;
    AudioObjectID defaultOutput_ = 0, nextID_ = 100;
    std::map<std::tuple<Operation, AudioObjectID, std::uint32_t>, OSStatus> failures_;
    std::vector<nlohmann::json> descriptions_;
    std::map<AudioObjectID, std::pair<AudioStreamBasicDescription, std::optional<std::string>>> taps_;
    AudioStreamBasicDescription tapFormat_{48000, kAudioFormatLinearPCM, kAudioFormatFlagIsFloat, 8, 1, 8, 2, 32, 0};
    std::optional<std::string> tapUID_ = "DeviceModel.tap";
    std::map<IOProcID, std::tuple<AudioObjectID, IOBlock, bool>> ioProcs_;  // device, block, running
    std::map<ListenerID, std::pair<std::uint32_t, ListenerBlock>> listeners_;
    std::uint64_t nextIOProc_ = 1, nextListener_ = 1;
    std::vector<std::string> calls_;
};

}  // namespace sonvale::coreaudio
