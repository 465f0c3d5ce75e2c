#include "support/device_model.h"

#include <algorithm>
#include <cstring>

#include "base/constants.h"

namespace sonvale::coreaudio {
namespace {

constexpr auto unknownProperty = static_cast<OSStatus>(fourCC("who?"));
constexpr auto badObject = static_cast<OSStatus>(fourCC("!obj"));

}  // namespace

DeviceModel::Device DeviceModel::speaker() { return {0, std::string(clockUID), "内置音频 扬声器", transport::builtIn}; }

DeviceModel::Device DeviceModel::headphones() {
    return {0, "alsa_output.usb-Logitech_USB_Headset-00.analog-stereo", "Logitech USB Headset Analog Stereo", transport::usb};
}

AudioObjectID DeviceModel::addDevice(Device added) {
    {
        std::lock_guard lock(mutex_);
        if (added.id == 0) added.id = nextID_;
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
        wasDefault = std::exchange(defaultOutput_, defaultOutput_ == id ? 0 : defaultOutput_) == id;
    }
    notify(selector::devices);
    if (wasDefault) notify(selector::defaultOutput);
}

void DeviceModel::setDefaultOutput(AudioObjectID id) {
    locked([&] { defaultOutput_ = id; });
    notify(selector::defaultOutput);
}

AudioObjectID DeviceModel::defaultOutput() const { return locked([&] { return defaultOutput_; }); }

std::optional<DeviceModel::Device> DeviceModel::find(AudioObjectID id) const {
    std::lock_guard lock(mutex_);
    const auto found = std::find_if(devices_.begin(), devices_.end(), [id](const Device& d) { return d.id == id; });
    return found == devices_.end() ? std::nullopt : std::optional(*found);
}

void DeviceModel::fail(Operation operation, OSStatus status, AudioObjectID object, std::uint32_t code) {
    locked([&] { failures_[{operation, object, code}] = status; });
}
void DeviceModel::clearFailures() { locked([&] { failures_.clear(); }); }
void DeviceModel::setTapFormat(const AudioStreamBasicDescription& format) { locked([&] { nextTapFormat_ = format; }); }
void DeviceModel::setTapUID(std::optional<std::string> uid) { locked([&] { nextTapUID_ = std::move(uid); }); }
std::vector<std::string> DeviceModel::calls() const { return locked([&] { return calls_; }); }
std::vector<nlohmann::json> DeviceModel::aggregateDescriptions() const { return locked([&] { return descriptions_; }); }
std::size_t DeviceModel::liveIOProcs() const { return locked([&] { return ioProcs_.size(); }); }
std::size_t DeviceModel::liveTaps() const { return locked([&] { return taps_.size(); }); }

void DeviceModel::deliver(const AudioBufferList& list, AudioObjectID device) {
    std::lock_guard cycle(ioCycle_);
    std::vector<IOBlock> blocks;
    locked([&] {
        for (const auto& [id, proc] : ioProcs_) {
            if (proc.running && (device == 0 || proc.device == device)) blocks.push_back(proc.block);
        }
    });
    for (const auto& block : blocks) block(list);
}

std::optional<OSStatus> DeviceModel::injected(Operation operation, AudioObjectID object, std::uint32_t code) const {
    for (const auto& key : {std::tuple{operation, object, code}, std::tuple{operation, object, 0u},
                            std::tuple{operation, AudioObjectID{0}, code}, std::tuple{operation, AudioObjectID{0}, 0u}}) {
        if (auto found = failures_.find(key); found != failures_.end()) return found->second;
    }
    return std::nullopt;
}

void DeviceModel::notify(std::uint32_t code) {
    std::vector<ListenerBlock> blocks;
    locked([&] {
        for (const auto& [id, listener] : listeners_) {
            if (listener.first == code) blocks.push_back(listener.second);
        }
    });
    for (const auto& block : blocks) block();
}

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
        return defaultOutput_ ? std::vector{defaultOutput_} : std::vector<std::uint32_t>{};
    }
    for (const auto& d : devices_) {
        if (d.id != object) continue;
        if (where.mSelector == selector::transportType && d.transport != 0) return std::vector{d.transport};
        const bool input = where.mScope == scope::input;
        if (where.mSelector == selector::streams) return std::vector<std::uint32_t>((d.outputStreams == 0) == input ? 1 : 0, d.id);
    }
    return std::nullopt;
}

OSStatus DeviceModel::getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& where, std::uint32_t& size) {
    std::uint32_t bytes = sizeof(AudioStreamBasicDescription);
    std::lock_guard lock(mutex_);
    if (auto status = injected(Operation::size, object, where.mSelector)) return *status;
    OSStatus status = taps_.count(object) ? noErr : getPropertyData(object, where, bytes = 1 << 20, nullptr);
    if (status == noErr) size = bytes;
    return status;
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
    ioSize = std::min<std::uint32_t>(ioSize, std::uint32_t(found->size() * 4));
    if (data) std::memcpy(data, found->data(), ioSize);
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
        if (d.id != object || (where.mSelector != selector::deviceUID && where.mSelector != selector::name)) continue;
        out = where.mSelector == selector::deviceUID ? d.uid : d.name;
        return noErr;
    }
    return unknownProperty;
}

OSStatus DeviceModel::setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& where, std::uint32_t size,
                                      const void* data) {
    {
        std::lock_guard lock(mutex_);
        if (auto status = injected(Operation::write, object, where.mSelector)) return *status;
        if (object != kAudioObjectSystemObject || where.mSelector != selector::defaultOutput || size != 4) {
            return unknownProperty;
        }
        AudioObjectID chosen = 0;
        std::memcpy(&chosen, data, 4);
        if (std::none_of(devices_.begin(), devices_.end(), [&](const Device& d) { return d.id == chosen && d.outputStreams; })) {
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
        descriptions_.push_back(description);
        if (auto status = injected(Operation::createAggregate, 0)) return *status;
        outDevice = nextID_++;
        devices_.push_back({outDevice, description.value("uid", ""), description.value("name", ""), transport::aggregate, 1,
                            description.value("private", 0) == 0});
        calls_.push_back("createAggregateDevice " + std::to_string(outDevice));
    }
    notify(selector::devices);
    return noErr;
}

OSStatus DeviceModel::destroyAggregateDevice(AudioObjectID device) {
    {
        std::lock_guard lock(mutex_);
        calls_.push_back("destroyAggregateDevice " + std::to_string(device));
        if (auto status = injected(Operation::destroyAggregate, device)) return *status;
        if (std::erase_if(devices_, [device](const Device& d) { return d.id == device; }) == 0) return badObject;
        if (defaultOutput_ == device) defaultOutput_ = 0;
    }
    notify(selector::devices);
    return noErr;
}

ListenerID DeviceModel::addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& where, ListenerBlock block) {
    std::lock_guard lock(mutex_);
    if (object != kAudioObjectSystemObject) return 0;
    listeners_[nextListener_] = {where.mSelector, std::move(block)};
    return nextListener_++;
}

void DeviceModel::removePropertyListener(ListenerID listener) { locked([&] { listeners_.erase(listener); }); }

OSStatus DeviceModel::createProcessTap(const TapDescription&, AudioObjectID& outTap) {
    std::lock_guard lock(mutex_);
    if (auto status = injected(Operation::createTap, 0)) return *status;
    outTap = nextID_++;
    taps_[outTap] = {nextTapFormat_, nextTapUID_};
    calls_.push_back("createProcessTap " + std::to_string(outTap));
    return noErr;
}

OSStatus DeviceModel::destroyProcessTap(AudioObjectID tap) {
    std::lock_guard lock(mutex_);
    calls_.push_back("destroyProcessTap " + std::to_string(tap));
    return taps_.erase(tap) ? noErr : badObject;
}

OSStatus DeviceModel::createIOProcID(AudioObjectID device, IOBlock block, IOProcID& outID) {
    std::lock_guard lock(mutex_);
    if (auto status = injected(Operation::createIOProc, device)) return *status;
    outID = nextIOProc_++;
    ioProcs_[outID] = {device, std::move(block), false};
    calls_.push_back("createIOProcID " + std::to_string(device));
    return noErr;
}

OSStatus DeviceModel::deviceStart(AudioObjectID device, IOProcID proc) {
    std::lock_guard lock(mutex_);
    if (auto status = injected(Operation::start, device)) return *status;
    if (!ioProcs_.count(proc)) return badObject;
    ioProcs_[proc].running = true;
    calls_.push_back("deviceStart " + std::to_string(device));
    return noErr;
}

// Both wait for an IO cycle in progress, as on the platform.
OSStatus DeviceModel::deviceStop(AudioObjectID device, IOProcID proc) {
    std::scoped_lock lock(ioCycle_, mutex_);
    calls_.push_back("deviceStop " + std::to_string(device));
    if (!ioProcs_.count(proc)) return badObject;
    ioProcs_[proc].running = false;
    return noErr;
}

OSStatus DeviceModel::destroyIOProcID(AudioObjectID device, IOProcID proc) {
    std::scoped_lock lock(ioCycle_, mutex_);
    calls_.push_back("destroyIOProcID " + std::to_string(device));
    return ioProcs_.erase(proc) ? noErr : badObject;
}

}  // namespace sonvale::coreaudio
