#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/constants.h"
#include "coreaudio/audio_system.h"

namespace sonvale::coreaudio {

// An in-memory audio system for tests: output devices, a default output, aggregate devices (listed unless
// private), process taps whose IO blocks a test feeds with deliver(), failures injected per operation.
// Listeners ('dOut', 'dev#' on the system object) are called synchronously, on the changing thread.
class DeviceModel : public AudioSystem {
public:
    static constexpr const char* usbUID = "alsa_output.usb-Logitech_USB_Headset-00.analog-stereo";
    struct Device {
        AudioObjectID id = 0;             // 0: the next free id (from 100)
        std::optional<std::string> uid;   // nullopt: a null string reference
        std::optional<std::string> name;
        std::uint32_t transport = 0;      // 0: the transport property cannot be read
        bool listed = true;
        std::optional<std::uint32_t> dataSource = std::nullopt;  // the playing port of an output with several
    };
    static Device speaker() { return {0, std::string(clockUID), "内置音频 扬声器", transport::builtIn}; }
    static Device headphones() { return {0, std::string(usbUID), "Logitech USB Headset Analog Stereo", transport::usb}; }

    // Fails one operation (for a size, of one selector; 0 = any) with `status`.
    enum class Operation { size, createAggregate, createTap, readTapFormat, createIOProc, start };
    void fail(Operation operation, OSStatus status, std::uint32_t selector = 0) { Lock lock{mutex_}; failures_[{operation, selector}] = status; }
    void clearFailures() { Lock lock{mutex_}; failures_.clear(); }

    AudioObjectID addDevice(Device device);   // fires 'dev#'
    void removeDevice(AudioObjectID id);      // fires 'dev#', and 'dOut' when it was the default
    void setDefaultOutput(AudioObjectID id);  // fires 'dOut'

    // What the next tap reports: its format (48 kHz Float32 stereo unless set) and UID.
    void setTapFormat(const AudioStreamBasicDescription& format) { Lock lock{mutex_}; tapFormat_ = format; }
    void setTapUID(std::optional<std::string> uid) { Lock lock{mutex_}; tapUID_ = std::move(uid); }
    // Calls the started IO blocks as an audio thread would.
    void deliver(const AudioBufferList& list);

    // The names of the mutating calls in order, e.g. "deviceStop".
    std::vector<std::string> calls() const { Lock lock{mutex_}; return calls_; }
    std::vector<nlohmann::json> aggregateDescriptions() const { Lock lock{mutex_}; return descriptions_; }
    std::size_t liveTapsAndIOProcs() const { Lock lock{mutex_}; return taps_.size() + ioProcs_.size(); }

    OSStatus getPropertyDataSize(AudioObjectID, const AudioObjectPropertyAddress&, std::uint32_t&) override;
    OSStatus getPropertyData(AudioObjectID, const AudioObjectPropertyAddress&, std::uint32_t&, void*) override;
    OSStatus getStringProperty(AudioObjectID, const AudioObjectPropertyAddress&, std::optional<std::string>&) override;
    OSStatus setPropertyData(AudioObjectID, const AudioObjectPropertyAddress&, std::uint32_t, const void*) override;
    OSStatus createAggregateDevice(const nlohmann::json& description, AudioObjectID& outDevice) override;
    OSStatus destroyAggregateDevice(AudioObjectID device) override;
    ListenerID addPropertyListener(AudioObjectID, const AudioObjectPropertyAddress&, ListenerBlock) override;
    void removePropertyListener(ListenerID listener) override { Lock lock{mutex_}; listeners_.erase(listener); }
    OSStatus createProcessTap(const TapDescription& description, AudioObjectID& outTap) override;
    OSStatus destroyProcessTap(AudioObjectID tap) override;
    OSStatus createIOProcID(AudioObjectID device, IOBlock block, IOProcID& outID) override;
    OSStatus deviceStart(AudioObjectID device, IOProcID proc) override;
    OSStatus deviceStop(AudioObjectID device, IOProcID proc) override;
    OSStatus destroyIOProcID(AudioObjectID device, IOProcID proc) override;

private:
    using Lock = std::lock_guard<std::recursive_mutex>;
    std::optional<OSStatus> injected(Operation operation, std::uint32_t selector = 0) const;
    const Device* find(AudioObjectID id) const;
    void notify(std::uint32_t selector);

    mutable std::recursive_mutex mutex_;
    std::mutex ioCycle_;  // held while IO blocks run
    std::vector<Device> devices_;
    AudioObjectID defaultOutput_ = 0, nextID_ = 100;
    std::map<std::pair<Operation, std::uint32_t>, OSStatus> failures_;
    std::vector<nlohmann::json> descriptions_;
    std::map<AudioObjectID, std::pair<AudioStreamBasicDescription, std::optional<std::string>>> taps_;
    AudioStreamBasicDescription tapFormat_{48000, kAudioFormatLinearPCM, kAudioFormatFlagIsFloat, 8, 1, 8, 2, 32, 0};
    std::optional<std::string> tapUID_ = "DeviceModel.tap";
    std::map<IOProcID, std::pair<IOBlock, bool>> ioProcs_;  // block, running
    std::map<ListenerID, std::pair<std::uint32_t, ListenerBlock>> listeners_;
    std::uint64_t nextIOProc_ = 1, nextListener_ = 1;
    std::vector<std::string> calls_;
};

}  // namespace sonvale::coreaudio
