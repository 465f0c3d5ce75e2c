#include "support/device_model.h"

#include <algorithm>
#include <cstring>

#include "base/constants.h"

namespace sonvale::coreaudio {
namespace {

constexpr OSStatus unknownProperty = static_cast<OSStatus>(fourCC("who?"));
constexpr OSStatus badObject = static_cast<OSStatus>(fourCC("!obj"));

}  // namespace

DeviceModel::Device DeviceModel::speaker() {
    return {0, std::string(clockUID), std::string("内置音频 扬声器"), transport::builtIn};
}

DeviceModel::Device DeviceModel::headphones() {
    return {0, std::string("alsa_output.usb-Logitech_USB_Headset-00.analog-stereo"),
            std::string("Logitech USB Headset Analog Stereo"), transport::usb};
}

AudioObjectID DeviceModel::addDevice(Device added) {
    {
        std::lock_guard lock(mutex_);
        if (added.id == 0) added.id = nextID_++;
        nextID_ = std::max(nextID_, added.id + 1);
        devices_.push_back(added);
    }
    notify(selector::devices);
    return added.id;
}

void DeviceModel::removeDevice(AudioObjectID id) {
    bool wasDefault;
    {
        std::lock_guard lock(mutex_);
        std::erase_if(devices_, [id](const Device& d) { return d.id == id; });
        wasDefault = defaultOutput_ == id;
        if (wasDefault) defaultOutput_ = 0;
    }
    notify(selector::devices);
    if (wasDefault) notify(selector::defaultOutput);
}

void DeviceModel::setDefaultOutput(AudioObjectID id) {
    {
        std::lock_guard lock(mutex_);
        defaultOutput_ = id;
    }
    notify(selector::defaultOutput);
}

AudioObjectID DeviceModel::defaultOutput() const {
    std::lock_guard lock(mutex_);
    return defaultOutput_;
}

std::optional<DeviceModel::Device> DeviceModel::find(AudioObjectID id) const {
    std::lock_guard lock(mutex_);
    for (const auto& d : devices_) {
        if (d.id == id) return d;
    }
    return std::nullopt;
}

void DeviceModel::fail(Operation operation, OSStatus status, AudioObjectID object, std::uint32_t selectorCode) {
    std::lock_guard lock(mutex_);
    failures_[{operation, object, selectorCode}] = status;
}

void DeviceModel::clearFailures() {
    std::lock_guard lock(mutex_);
    failures_.clear();
}

void DeviceModel::setTapFormat(const AudioStreamBasicDescription& format) {
    std::lock_guard lock(mutex_);
    nextTapFormat_ = format;
}

void DeviceModel::setTapUID(std::optional<std::string> tapUid) {
    std::lock_guard lock(mutex_);
    nextTapUID_ = std::move(tapUid);
}

void DeviceModel::deliver(const AudioBufferList& list, AudioObjectID deviceID) {
    std::lock_guard cycle(ioCycle_);
    std::vector<IOBlock> blocks;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [id, proc] : ioProcs_) {
            if (proc.running && (deviceID == 0 || proc.device == deviceID)) blocks.push_back(proc.block);
        }
    }
    for (const auto& block : blocks) block(list);
}

std::vector<std::string> DeviceModel::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<nlohmann::json> DeviceModel::aggregateDescriptions() const {
    std::lock_guard lock(mutex_);
    return aggregateDescriptions_;
}

std::size_t DeviceModel::liveIOProcs() const {
    std::lock_guard lock(mutex_);
    return ioProcs_.size();
}

std::size_t DeviceModel::liveTaps() const {
    std::lock_guard lock(mutex_);
    return taps_.size();
}

std::optional<OSStatus> DeviceModel::injected(Operation operation, AudioObjectID object, std::uint32_t code) const {
    for (const auto& key : {std::tuple{operation, object, code}, std::tuple{operation, object, 0u},
                            std::tuple{operation, AudioObjectID{0}, code}, std::tuple{operation, AudioObjectID{0}, 0u}}) {
        if (auto found = failures_.find(key); found != failures_.end()) return found->second;
    }
    return std::nullopt;
}

void DeviceModel::notify(std::uint32_t selectorCode) {
    std::vector<ListenerBlock> blocks;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [id, listener] : listeners_) {
            if (listener.object == kAudioObjectSystemObject && listener.selector == selectorCode) {
                blocks.push_back(listener.block);
            }
        }
    }
    for (const auto& block : blocks) block();
}

// Numeric property values; nullopt for a property the object does not have.
std::optional<std::vector<std::uint32_t>> DeviceModel::values(AudioObjectID object,
                                                               const AudioObjectPropertyAddress& where) const {
    if (object == kAudioObjectSystemObject && where.mSelector == selector::devices) {
        std::vector<std::uint32_t> ids;
        for (const auto& d : devices_) {
            if (d.listed) ids.push_back(d.id);
        }
        return ids;
    }
    if (object == kAudioObjectSystemObject && where.mSelector == selector::defaultOutput) {
        return defaultOutput_ == 0 ? std::vector<std::uint32_t>{} : std::vector<std::uint32_t>{defaultOutput_};
    }
    for (const auto& d : devices_) {
        if (d.id != object) continue;
        if (where.mSelector == selector::transportType && d.transport != 0) return std::vector{d.transport};
        if (where.mSelector == selector::streams) {
            const std::uint32_t count = where.mScope == scope::input ? (d.outputStreams == 0 ? 1 : 0) : d.outputStreams;
            std::vector<std::uint32_t> ids;
            for (std::uint32_t i = 0; i < count; ++i) ids.push_back(d.id * 16 + i + 1);
            return ids;
        }
    }
    return std::nullopt;
}

OSStatus DeviceModel::getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& where,
                                          std::uint32_t& outSize) {
    std::lock_guard lock(mutex_);
    if (auto status = injected(Operation::size, object, where.mSelector)) return *status;
    if (taps_.count(object) && where.mSelector == selector::tapFormat) {
        outSize = sizeof(AudioStreamBasicDescription);
        return noErr;
    }
    const auto found = values(object, where);
    if (!found) return unknownProperty;
    outSize = static_cast<std::uint32_t>(found->size() * 4);
    return noErr;
}

OSStatus DeviceModel::getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& where,
                                      std::uint32_t& ioSize, void* data) {
    std::lock_guard lock(mutex_);
    if (auto status = injected(Operation::read, object, where.mSelector)) return *status;
    if (auto tap = taps_.find(object); tap != taps_.end() && where.mSelector == selector::tapFormat) {
        if (auto status = injected(Operation::readTapFormat, object)) return *status;
        ioSize = std::min<std::uint32_t>(ioSize, sizeof(AudioStreamBasicDescription));
        std::memcpy(data, &tap->second.format, ioSize);
        return noErr;
    }
    const auto found = values(object, where);
    if (!found) return unknownProperty;
    ioSize = std::min<std::uint32_t>(ioSize, static_cast<std::uint32_t>(found->size() * 4));
    std::memcpy(data, found->data(), ioSize);
    return noErr;
}

OSStatus DeviceModel::getStringProperty(AudioObjectID object, const AudioObjectPropertyAddress& where,
                                        std::optional<std::string>& out) {
    std::lock_guard lock(mutex_);
    if (auto status = injected(Operation::read, object, where.mSelector)) return *status;
    if (auto tap = taps_.find(object); tap != taps_.end() && where.mSelector == selector::tapUID) {
        out = tap->second.uid;
        return noErr;
    }
    for (const auto& d : devices_) {
        if (d.id != object) continue;
        if (where.mSelector == selector::deviceUID || where.mSelector == selector::name) {
            out = where.mSelector == selector::deviceUID ? d.uid : d.name;
            return noErr;
        }
    }
    return unknownProperty;
}

OSStatus DeviceModel::setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& where,
                                      std::uint32_t size, const void* data) {
    {
        std::lock_guard lock(mutex_);
        if (auto status = injected(Operation::write, object, where.mSelector)) return *status;
        if (object != kAudioObjectSystemObject || where.mSelector != selector::defaultOutput || size != 4) {
            return unknownProperty;
        }
        AudioObjectID chosen = 0;
        std::memcpy(&chosen, data, 4);
        if (std::none_of(devices_.begin(), devices_.end(),
                         [chosen](const Device& d) { return d.id == chosen && d.outputStreams > 0; })) {
            return static_cast<OSStatus>(fourCC("!dev"));
        }
        calls_.push_back("setDefaultOutput " + std::to_string(chosen));
        defaultOutput_ = chosen;
    }
    notify(selector::defaultOutput);
    return noErr;
}

OSStatus DeviceModel::createAggregateDevice(const nlohmann::json& description, AudioObjectID& outDevice) {
    {
        std::lock_guard lock(mutex_);
        aggregateDescriptions_.push_back(description);
        if (auto status = injected(Operation::createAggregate, 0)) return *status;
        Device aggregate{nextID_++, description.value("uid", std::string()), description.value("name", std::string()),
                         transport::aggregate, 1, description.value("private", 0) == 0};
        devices_.push_back(aggregate);
        outDevice = aggregate.id;
        calls_.push_back("createAggregateDevice " + std::to_string(aggregate.id));
    }
    notify(selector::devices);
    return noErr;
}

OSStatus DeviceModel::destroyAggregateDevice(AudioObjectID deviceID) {
    {
        std::lock_guard lock(mutex_);
        calls_.push_back("destroyAggregateDevice " + std::to_string(deviceID));
        if (auto status = injected(Operation::destroyAggregate, deviceID)) return *status;
        if (std::erase_if(devices_, [deviceID](const Device& d) { return d.id == deviceID; }) == 0) return badObject;
        if (defaultOutput_ == deviceID) defaultOutput_ = 0;
    }
    notify(selector::devices);
    return noErr;
}

ListenerID DeviceModel::addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& where,
                                            ListenerBlock block) {
    std::lock_guard lock(mutex_);
    listeners_[nextListener_] = Listener{object, where.mSelector, std::move(block)};
    return nextListener_++;
}

void DeviceModel::removePropertyListener(ListenerID listener) {
    std::lock_guard lock(mutex_);
    listeners_.erase(listener);
}

OSStatus DeviceModel::createProcessTap(const TapDescription&, AudioObjectID& outTap) {
    std::lock_guard lock(mutex_);
    if (auto status = injected(Operation::createTap, 0)) return *status;
    outTap = nextID_++;
    taps_[outTap] = Tap{nextTapFormat_, nextTapUID_};
    calls_.push_back("createProcessTap " + std::to_string(outTap));
    return noErr;
}

OSStatus DeviceModel::destroyProcessTap(AudioObjectID tapID) {
    std::lock_guard lock(mutex_);
    calls_.push_back("destroyProcessTap " + std::to_string(tapID));
    return taps_.erase(tapID) ? noErr : badObject;
}

OSStatus DeviceModel::createIOProcID(AudioObjectID deviceID, IOBlock block, IOProcID& outID) {
    std::lock_guard lock(mutex_);
    if (auto status = injected(Operation::createIOProc, deviceID)) return *status;
    outID = nextIOProc_++;
    ioProcs_[outID] = IOProc{deviceID, std::move(block), false};
    calls_.push_back("createIOProcID " + std::to_string(deviceID));
    return noErr;
}

OSStatus DeviceModel::deviceStart(AudioObjectID deviceID, IOProcID proc) {
    std::lock_guard lock(mutex_);
    if (auto status = injected(Operation::start, deviceID)) return *status;
    auto found = ioProcs_.find(proc);
    if (found == ioProcs_.end()) return badObject;
    found->second.running = true;
    calls_.push_back("deviceStart " + std::to_string(deviceID));
    return noErr;
}

OSStatus DeviceModel::deviceStop(AudioObjectID deviceID, IOProcID proc) {
    std::lock_guard cycle(ioCycle_);
    std::lock_guard lock(mutex_);
    calls_.push_back("deviceStop " + std::to_string(deviceID));
    auto found = ioProcs_.find(proc);
    if (found == ioProcs_.end()) return badObject;
    found->second.running = false;
    return noErr;
}

OSStatus DeviceModel::destroyIOProcID(AudioObjectID deviceID, IOProcID proc) {
    std::lock_guard cycle(ioCycle_);
    std::lock_guard lock(mutex_);
    calls_.push_back("destroyIOProcID " + std::to_string(deviceID));
    return ioProcs_.erase(proc) ? noErr : badObject;
}

}  // namespace sonvale::coreaudio
