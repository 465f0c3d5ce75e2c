#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "coreaudio/audio_system.h"

namespace sonvale::coreaudio {

// An in-memory audio system: a list of devices with the properties the program reads, a
// default output, aggregate devices, process taps and IO procs, plus switches that make
// any call fail with a chosen status. Tests use it for what a real sound server cannot be
// made to do. Listeners are called synchronously, on the thread that made the change.
class DeviceModel : public AudioSystem {
public:
    struct Device {
        AudioObjectID id = 0;
        std::optional<std::string> uid;   // nullopt: a null string reference
        std::optional<std::string> name;
        std::uint32_t transport = 0;      // 0: the transport property cannot be read
        std::uint32_t outputStreams = 1;  // 0 for input-only devices
        std::uint32_t inputStreams = 0;
        bool listed = true;               // private aggregates are not listed
    };

    struct Tap {
        TapDescription description;
        AudioStreamBasicDescription format;
        std::optional<std::string> uid;
    };

    // A failure injected for one operation on one object and selector (0 = any).
    enum class Operation { size, read, write, createAggregate, destroyAggregate, createTap, readTapFormat,
                           createIOProc, start };

    DeviceModel();

    AudioObjectID addDevice(Device device);  // id 0 picks the next free id (from 100)
    void removeDevice(AudioObjectID id);
    void setDefaultOutput(AudioObjectID id);  // fires the default-output listeners
    AudioObjectID defaultOutput() const;
    std::optional<Device> find(AudioObjectID id) const;
    std::vector<Device> allDevices() const;

    void fail(Operation operation, OSStatus status, AudioObjectID object = 0, std::uint32_t selector = 0);
    void clearFailures();
    // Makes the size query of (object, selector) report this many bytes.
    void overrideSize(AudioObjectID object, std::uint32_t selector, std::uint32_t bytes);

    // What the next process tap reports.
    void setTapFormat(const AudioStreamBasicDescription& format);
    void setTapUID(std::optional<std::string> uid);
    std::optional<Tap> tap(AudioObjectID id) const;

    // Calls every started IO block of the device (or of all devices when 0) with the list.
    void deliver(const AudioBufferList& list, AudioObjectID device = 0);

    // Every mutating platform call in order, e.g. "createProcessTap 200", "deviceStop 300".
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
    struct IOProc {
        AudioObjectID device = 0;
        IOBlock block;
        bool running = false;
    };
    struct Listener {
        AudioObjectID object = 0;
        std::uint32_t selector = 0;
        ListenerBlock block;
    };

    std::optional<OSStatus> injected(Operation operation, AudioObjectID object, std::uint32_t selector) const;
    std::vector<std::uint32_t> valuesLocked(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                            bool& known) const;
    void record(std::string call);
    void notify(AudioObjectID object, std::uint32_t selector);

    mutable std::recursive_mutex mutex_;
    std::mutex ioCycle_;
    std::vector<Device> devices_;
    AudioObjectID defaultOutput_ = 0;
    AudioObjectID nextID_ = 100;
    std::map<std::tuple<Operation, AudioObjectID, std::uint32_t>, OSStatus> failures_;
    std::map<std::pair<AudioObjectID, std::uint32_t>, std::uint32_t> sizeOverrides_;
    std::vector<nlohmann::json> aggregateDescriptions_;
    std::map<AudioObjectID, Tap> taps_;
    AudioStreamBasicDescription nextTapFormat_;
    std::optional<std::string> nextTapUID_ = std::string("DeviceModel.tap");
    std::map<IOProcID, IOProc> ioProcs_;
    IOProcID nextIOProc_ = 1;
    std::map<ListenerID, Listener> listeners_;
    ListenerID nextListener_ = 1;
    std::vector<std::string> calls_;
};

}  // namespace sonvale::coreaudio
