#include "coreaudio/device_model.h"

#include <algorithm>
#include <cstring>

namespace sonvale::coreaudio {

DeviceModel::DeviceModel() {
    nextTapFormat_.mSampleRate = 48000;
    nextTapFormat_.mFormatID = kAudioFormatLinearPCM;
    nextTapFormat_.mFormatFlags = kAudioFormatFlagIsFloat;
    nextTapFormat_.mBitsPerChannel = 32;
    nextTapFormat_.mChannelsPerFrame = 2;
    nextTapFormat_.mBytesPerFrame = 8;
    nextTapFormat_.mBytesPerPacket = 8;
    nextTapFormat_.mFramesPerPacket = 1;
}

AudioObjectID DeviceModel::addDevice(Device added) {
    std::lock_guard lock(mutex_);
    if (added.id == 0) added.id = nextID_++;
    nextID_ = std::max(nextID_, added.id + 1);
    devices_.push_back(added);
    return added.id;
}

void DeviceModel::removeDevice(AudioObjectID id) {
    bool wasDefault = false;
    {
        std::lock_guard lock(mutex_);
        std::erase_if(devices_, [id](const Device& d) { return d.id == id; });
        if (defaultOutput_ == id) {
            defaultOutput_ = 0;
            wasDefault = true;
        }
    }
    notify(kAudioObjectSystemObject, selector::devices);
    if (wasDefault) notify(kAudioObjectSystemObject, selector::defaultOutput);
}

void DeviceModel::setDefaultOutput(AudioObjectID id) {
    {
        std::lock_guard lock(mutex_);
        defaultOutput_ = id;
    }
    notify(kAudioObjectSystemObject, selector::defaultOutput);
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

std::vector<DeviceModel::Device> DeviceModel::allDevices() const {
    std::lock_guard lock(mutex_);
    return devices_;
}

void DeviceModel::fail(Operation operation, OSStatus status, AudioObjectID object, std::uint32_t selectorCode) {
    std::lock_guard lock(mutex_);
    failures_[{operation, object, selectorCode}] = status;
}

void DeviceModel::clearFailures() {
    std::lock_guard lock(mutex_);
    failures_.clear();
}

void DeviceModel::overrideSize(AudioObjectID object, std::uint32_t selectorCode, std::uint32_t bytes) {
    std::lock_guard lock(mutex_);
    sizeOverrides_[{object, selectorCode}] = bytes;
}

void DeviceModel::setTapFormat(const AudioStreamBasicDescription& format) {
    std::lock_guard lock(mutex_);
    nextTapFormat_ = format;
}

void DeviceModel::setTapUID(std::optional<std::string> tapUid) {
    std::lock_guard lock(mutex_);
    nextTapUID_ = std::move(tapUid);
}

std::optional<DeviceModel::Tap> DeviceModel::tap(AudioObjectID id) const {
    std::lock_guard lock(mutex_);
    auto found = taps_.find(id);
    if (found == taps_.end()) return std::nullopt;
    return found->second;
}

void DeviceModel::deliver(const AudioBufferList& list, AudioObjectID deviceID) {
    // Held for the whole cycle: stopping a device waits for a cycle in progress, as on
    // the platform.
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

std::optional<OSStatus> DeviceModel::injected(Operation operation, AudioObjectID object,
                                              std::uint32_t selectorCode) const {
    for (const auto& key : {std::tuple{operation, object, selectorCode}, std::tuple{operation, object, 0u},
                            std::tuple{operation, AudioObjectID{0}, selectorCode},
                            std::tuple{operation, AudioObjectID{0}, 0u}}) {
        auto found = failures_.find(key);
        if (found != failures_.end()) return found->second;
    }
    return std::nullopt;
}

void DeviceModel::record(std::string call) { calls_.push_back(std::move(call)); }

void DeviceModel::notify(AudioObjectID object, std::uint32_t selectorCode) {
    std::vector<ListenerBlock> blocks;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [id, listener] : listeners_) {
            if (listener.object == object && listener.selector == selectorCode) blocks.push_back(listener.block);
        }
    }
    for (const auto& block : blocks) block();
}

// Numeric property values; known is false for a property the object does not have.
std::vector<std::uint32_t> DeviceModel::valuesLocked(AudioObjectID object, const AudioObjectPropertyAddress& where,
                                                     bool& known) const {
    known = true;
    if (object == kAudioObjectSystemObject) {
        if (where.mSelector == selector::devices) {
            std::vector<std::uint32_t> ids;
            for (const auto& d : devices_) {
                if (d.listed) ids.push_back(d.id);
            }
            return ids;
        }
        if (where.mSelector == selector::defaultOutput) {
            return defaultOutput_ == 0 ? std::vector<std::uint32_t>{} : std::vector<std::uint32_t>{defaultOutput_};
        }
    }
    for (const auto& d : devices_) {
        if (d.id != object) continue;
        if (where.mSelector == selector::transportType) {
            if (d.transport == 0) break;
            return {d.transport};
        }
        if (where.mSelector == selector::streams) {
            const std::uint32_t count = where.mScope == scope::input ? d.inputStreams : d.outputStreams;
            std::vector<std::uint32_t> ids;
            for (std::uint32_t i = 0; i < count; ++i) ids.push_back(d.id * 16 + i + 1);
            return ids;
        }
    }
    known = false;
    return {};
}

OSStatus DeviceModel::getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& where,
                                          std::uint32_t& outSize) {
    std::lock_guard lock(mutex_);
    if (auto status = injected(Operation::size, object, where.mSelector)) return *status;
    if (auto found = sizeOverrides_.find({object, where.mSelector}); found != sizeOverrides_.end()) {
        outSize = found->second;
        return noErr;
    }
    if (taps_.count(object) && where.mSelector == selector::tapFormat) {
        outSize = sizeof(AudioStreamBasicDescription);
        return noErr;
    }
    bool known = false;
    const auto values = valuesLocked(object, where, known);
    if (!known) return fourCC("who?");
    outSize = static_cast<std::uint32_t>(values.size() * 4);
    return noErr;
}

OSStatus DeviceModel::getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& where,
                                      std::uint32_t& ioSize, void* data) {
    std::lock_guard lock(mutex_);
    if (auto status = injected(Operation::read, object, where.mSelector)) return *status;
    if (auto found = taps_.find(object); found != taps_.end() && where.mSelector == selector::tapFormat) {
        if (auto status = injected(Operation::readTapFormat, object, 0)) return *status;
        ioSize = std::min<std::uint32_t>(ioSize, sizeof(AudioStreamBasicDescription));
        std::memcpy(data, &found->second.format, ioSize);
        return noErr;
    }
    bool known = false;
    const auto values = valuesLocked(object, where, known);
    if (!known) return fourCC("who?");
    const auto bytes = std::min<std::uint32_t>(ioSize, static_cast<std::uint32_t>(values.size() * 4));
    std::memcpy(data, values.data(), bytes);
    ioSize = bytes;
    return noErr;
}

OSStatus DeviceModel::getStringProperty(AudioObjectID object, const AudioObjectPropertyAddress& where,
                                        std::optional<std::string>& out) {
    std::lock_guard lock(mutex_);
    if (auto status = injected(Operation::read, object, where.mSelector)) return *status;
    if (auto found = taps_.find(object); found != taps_.end() && where.mSelector == selector::tapUID) {
        out = found->second.uid;
        return noErr;
    }
    for (const auto& d : devices_) {
        if (d.id != object) continue;
        if (where.mSelector == selector::deviceUID) {
            out = d.uid;
            return noErr;
        }
        if (where.mSelector == selector::name) {
            out = d.name;
            return noErr;
        }
    }
    return fourCC("who?");
}

OSStatus DeviceModel::setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& where,
                                      std::uint32_t size, const void* data) {
    AudioObjectID chosen = 0;
    {
        std::lock_guard lock(mutex_);
        if (auto status = injected(Operation::write, object, where.mSelector)) return *status;
        if (object != kAudioObjectSystemObject || where.mSelector != selector::defaultOutput || size != 4) {
            return fourCC("who?");
        }
        std::memcpy(&chosen, data, 4);
        const bool exists = std::any_of(devices_.begin(), devices_.end(),
                                        [chosen](const Device& d) { return d.id == chosen && d.outputStreams > 0; });
        if (!exists) return fourCC("!dev");
        record("setDefaultOutput " + std::to_string(chosen));
        defaultOutput_ = chosen;
    }
    notify(kAudioObjectSystemObject, selector::defaultOutput);
    return noErr;
}

OSStatus DeviceModel::createAggregateDevice(const nlohmann::json& description, AudioObjectID& outDevice) {
    {
        std::lock_guard lock(mutex_);
        aggregateDescriptions_.push_back(description);
        if (auto status = injected(Operation::createAggregate, 0, 0)) return *status;
        Device aggregate;
        aggregate.id = nextID_++;
        aggregate.uid = description.value("uid", std::string());
        aggregate.name = description.value("name", std::string());
        aggregate.transport = transport::aggregate;
        aggregate.listed = description.value("private", 0) == 0;
        devices_.push_back(aggregate);
        outDevice = aggregate.id;
        record("createAggregateDevice " + std::to_string(aggregate.id));
    }
    notify(kAudioObjectSystemObject, selector::devices);
    return noErr;
}

OSStatus DeviceModel::destroyAggregateDevice(AudioObjectID deviceID) {
    {
        std::lock_guard lock(mutex_);
        record("destroyAggregateDevice " + std::to_string(deviceID));
        if (auto status = injected(Operation::destroyAggregate, deviceID, 0)) return *status;
        const auto before = devices_.size();
        std::erase_if(devices_, [deviceID](const Device& d) { return d.id == deviceID; });
        if (devices_.size() == before) return fourCC("!obj");
        if (defaultOutput_ == deviceID) defaultOutput_ = 0;
    }
    notify(kAudioObjectSystemObject, selector::devices);
    return noErr;
}

ListenerID DeviceModel::addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& where,
                                            ListenerBlock block) {
    std::lock_guard lock(mutex_);
    const ListenerID id = nextListener_++;
    listeners_[id] = Listener{object, where.mSelector, std::move(block)};
    return id;
}

void DeviceModel::removePropertyListener(ListenerID listener) {
    std::lock_guard lock(mutex_);
    listeners_.erase(listener);
}

OSStatus DeviceModel::createProcessTap(const TapDescription& description, AudioObjectID& outTap) {
    std::lock_guard lock(mutex_);
    if (auto status = injected(Operation::createTap, 0, 0)) return *status;
    const AudioObjectID id = nextID_++;
    taps_[id] = Tap{description, nextTapFormat_, nextTapUID_};
    outTap = id;
    record("createProcessTap " + std::to_string(id));
    return noErr;
}

OSStatus DeviceModel::destroyProcessTap(AudioObjectID tapID) {
    std::lock_guard lock(mutex_);
    record("destroyProcessTap " + std::to_string(tapID));
    return taps_.erase(tapID) ? noErr : fourCC("!obj");
}

OSStatus DeviceModel::createIOProcID(AudioObjectID deviceID, IOBlock block, IOProcID& outID) {
    std::lock_guard lock(mutex_);
    if (auto status = injected(Operation::createIOProc, deviceID, 0)) return *status;
    const IOProcID id = nextIOProc_++;
    ioProcs_[id] = IOProc{deviceID, std::move(block), false};
    outID = id;
    record("createIOProcID " + std::to_string(deviceID));
    return noErr;
}

OSStatus DeviceModel::deviceStart(AudioObjectID deviceID, IOProcID proc) {
    std::lock_guard lock(mutex_);
    if (auto status = injected(Operation::start, deviceID, 0)) return *status;
    auto found = ioProcs_.find(proc);
    if (found == ioProcs_.end()) return fourCC("!obj");
    found->second.running = true;
    record("deviceStart " + std::to_string(deviceID));
    return noErr;
}

OSStatus DeviceModel::deviceStop(AudioObjectID deviceID, IOProcID proc) {
    std::lock_guard cycle(ioCycle_);
    std::lock_guard lock(mutex_);
    record("deviceStop " + std::to_string(deviceID));
    auto found = ioProcs_.find(proc);
    if (found == ioProcs_.end()) return fourCC("!obj");
    found->second.running = false;
    return noErr;
}

OSStatus DeviceModel::destroyIOProcID(AudioObjectID deviceID, IOProcID proc) {
    std::lock_guard cycle(ioCycle_);
    std::lock_guard lock(mutex_);
    record("destroyIOProcID " + std::to_string(deviceID));
    return ioProcs_.erase(proc) ? noErr : fourCC("!obj");
}

}  // namespace sonvale::coreaudio
