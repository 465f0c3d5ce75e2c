#include "support/device_model.h"

#include <algorithm>
#include <cstring>

#include "base/constants.h"

namespace sonvale::coreaudio {
namespace {

constexpr auto unknownProperty = static_cast<OSStatus>(fourCC("who?"));
constexpr auto badObject = static_cast<OSStatus>(fourCC("!obj"));
using Lock = std::lock_guard<std::recursive_mutex>;

}  // namespace

DeviceModel::Device DeviceModel::speaker() { return {0, std::string(clockUID), "内置音频 扬声器", transport::builtIn}; }
DeviceModel::Device DeviceModel::headphones() {
    return {0, "alsa_output.usb-Logitech_USB_Headset-00.analog-stereo", "Logitech USB Headset Analog Stereo", transport::usb};
}

void DeviceModel::fail(Operation operation, OSStatus status, AudioObjectID object, std::uint32_t selectorCode) {
    Lock lock(mutex_);
    failures_[{operation, object, selectorCode}] = status;
}
void DeviceModel::clearFailures() { Lock{mutex_}, failures_.clear(); }

AudioObjectID DeviceModel::addDevice(Device added) {
    {
        Lock lock(mutex_);
        added.id = added.id ? added.id : nextID_;
        nextID_ = std::max(nextID_, added.id + 1);
        devices_.push_back(added);
    }
    notify(selector::devices);
    return added.id;
}

void DeviceModel::removeDevice(AudioObjectID id) {
    bool wasDefault;
    {
        Lock lock(mutex_);
        std::erase_if(devices_, [id](const Device& d) { return d.id == id; });
        if ((wasDefault = defaultOutput_ == id)) defaultOutput_ = 0;
    }
    notify(selector::devices);
    if (wasDefault) notify(selector::defaultOutput);
}

void DeviceModel::setDefaultOutput(AudioObjectID id) {
    Lock{mutex_}, defaultOutput_ = id;
    notify(selector::defaultOutput);
}
AudioObjectID DeviceModel::defaultOutput() const { return Lock{mutex_}, defaultOutput_; }
std::optional<DeviceModel::Device> DeviceModel::find(AudioObjectID id) const {
    Lock lock(mutex_);
    for (const auto& d : devices_) {
        if (d.id == id) return d;
    }
    return std::nullopt;
}
void DeviceModel::setTapFormat(const AudioStreamBasicDescription& format) { Lock{mutex_}, tapFormat_ = format; }
void DeviceModel::setTapUID(std::optional<std::string> uid) { Lock{mutex_}, tapUID_ = std::move(uid); }
std::vector<std::string> DeviceModel::calls() const { return Lock{mutex_}, calls_; }
std::vector<nlohmann::json> DeviceModel::aggregateDescriptions() const { return Lock{mutex_}, descriptions_; }
std::size_t DeviceModel::liveIOProcs() const { return Lock{mutex_}, ioProcs_.size(); }
std::size_t DeviceModel::liveTaps() const { return Lock{mutex_}, taps_.size(); }

void DeviceModel::deliver(const AudioBufferList& list, AudioObjectID device) {
    std::lock_guard cycle(ioCycle_);
    std::vector<IOBlock> blocks;
    {
        Lock lock(mutex_);
        for (const auto& [id, proc] : ioProcs_) {
            if (std::get<2>(proc) && (device == 0 || std::get<0>(proc) == device)) blocks.push_back(std::get<1>(proc));
        }
    }
    for (const auto& block : blocks) block(list);
}

std::optional<OSStatus> DeviceModel::injected(Operation operation, AudioObjectID object, std::uint32_t code) const {
    for (const auto& key : {std::tuple{operation, object, code}, std::tuple{operation, object, 0u},
                            std::tuple{operation, AudioObjectID{0}, code}, std::tuple{operation, AudioObjectID{0}, 0u}}) {
        if (auto found = failures_.find(key); found != failures_.end()) return found->second;
    }
    return std::nullopt;
}

OSStatus DeviceModel::record(std::string call, AudioObjectID object, OSStatus status) {
    if (status == noErr) calls_.push_back(call + " " + std::to_string(object));
    return status;
}

void DeviceModel::notify(std::uint32_t code) {
    std::vector<ListenerBlock> blocks;
    {
        Lock lock(mutex_);
        for (const auto& [id, listener] : listeners_) {
            if (listener.first == code) blocks.push_back(listener.second);
        }
    }
    for (const auto& block : blocks) block();
}

OSStatus DeviceModel::getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& where,
                                          std::uint32_t& size) {
    Lock lock(mutex_);
    if (auto status = injected(Operation::size, object, where.mSelector)) return *status;
    std::uint32_t bytes = 1 << 20;
    const OSStatus status = getPropertyData(object, where, bytes, nullptr);
    if (status == noErr) size = bytes;
    return status;
}

// Numbers, or with data == null only their size.
OSStatus DeviceModel::getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& where,
                                      std::uint32_t& ioSize, void* data) {
    Lock lock(mutex_);
    if (auto status = injected(Operation::read, object, where.mSelector)) return *status;
    std::vector<std::uint32_t> values;
    if (auto tap = taps_.find(object); tap != taps_.end() && where.mSelector == selector::tapFormat) {
        if (auto status = injected(Operation::readTapFormat, object)) return *status;
        values.resize(sizeof(AudioStreamBasicDescription) / 4);
        std::memcpy(values.data(), &tap->second.first, sizeof(AudioStreamBasicDescription));
    } else if (object == kAudioObjectSystemObject && where.mSelector == selector::devices) {
        for (const auto& d : devices_) {
            if (d.listed) values.push_back(d.id);
        }
    } else if (object == kAudioObjectSystemObject && where.mSelector == selector::defaultOutput) {
        if (defaultOutput_) values.push_back(defaultOutput_);
    } else {
        const auto d = find(object);
        if (!d || (where.mSelector != selector::streams && (where.mSelector != selector::transportType || !d->transport))) {
            return unknownProperty;
        }
        const bool wanted = where.mSelector == selector::transportType || (d->outputStreams == 0) == (where.mScope == scope::input);
        if (wanted) values.push_back(where.mSelector == selector::transportType ? d->transport : d->id);
    }
    ioSize = std::min<std::uint32_t>(ioSize, std::uint32_t(values.size() * 4));
    if (data) std::memcpy(data, values.data(), ioSize);
    return noErr;
}

OSStatus DeviceModel::getStringProperty(AudioObjectID object, const AudioObjectPropertyAddress& where,
                                        std::optional<std::string>& out) {
    Lock lock(mutex_);
    if (auto status = injected(Operation::read, object, where.mSelector)) return *status;
    if (auto tap = taps_.find(object); tap != taps_.end() && where.mSelector == selector::tapUID) {
        return out = tap->second.second, noErr;
    }
    const auto d = find(object);
    if (!d || (where.mSelector != selector::deviceUID && where.mSelector != selector::name)) return unknownProperty;
    return out = where.mSelector == selector::deviceUID ? d->uid : d->name, noErr;
}

OSStatus DeviceModel::setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& where, std::uint32_t size,
                                      const void* data) {
    AudioObjectID chosen = 0;
    {
        Lock lock(mutex_);
        if (auto status = injected(Operation::write, object, where.mSelector)) return *status;
        if (object != kAudioObjectSystemObject || where.mSelector != selector::defaultOutput || size != 4) {
            return unknownProperty;
        }
        std::memcpy(&chosen, data, 4);
        const auto d = find(chosen);
        if (!d || d->outputStreams == 0) return static_cast<OSStatus>(fourCC("!dev"));
        defaultOutput_ = record("setDefaultOutput", chosen) == noErr ? chosen : 0;
    }
    notify(selector::defaultOutput);
    return noErr;
}

OSStatus DeviceModel::createAggregateDevice(const nlohmann::json& description, AudioObjectID& outDevice) {
    {
        Lock lock(mutex_);
        descriptions_.push_back(description);
        if (auto status = injected(Operation::createAggregate, 0)) return *status;
        outDevice = nextID_++;
        devices_.push_back({outDevice, description.value("uid", ""), description.value("name", ""), transport::aggregate,
                            1, description.value("private", 0) == 0});
        record("createAggregateDevice", outDevice);
    }
    notify(selector::devices);
    return noErr;
}

OSStatus DeviceModel::destroyAggregateDevice(AudioObjectID device) {
    {
        Lock lock(mutex_);
        calls_.push_back("destroyAggregateDevice " + std::to_string(device));
        if (auto status = injected(Operation::destroyAggregate, device)) return *status;
        if (std::erase_if(devices_, [device](const Device& d) { return d.id == device; }) == 0) return badObject;
        if (defaultOutput_ == device) defaultOutput_ = 0;
    }
    notify(selector::devices);
    return noErr;
}

ListenerID DeviceModel::addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& where,
                                            ListenerBlock block) {
    Lock lock(mutex_);
    if (object != kAudioObjectSystemObject) return 0;
    listeners_[nextListener_] = {where.mSelector, std::move(block)};
    return nextListener_++;
}
void DeviceModel::removePropertyListener(ListenerID listener) { Lock{mutex_}, listeners_.erase(listener); }

OSStatus DeviceModel::createProcessTap(const TapDescription&, AudioObjectID& outTap) {
    Lock lock(mutex_);
    if (auto status = injected(Operation::createTap, 0)) return *status;
    taps_[outTap = nextID_++] = {tapFormat_, tapUID_};
    return record("createProcessTap", outTap);
}

OSStatus DeviceModel::destroyProcessTap(AudioObjectID tap) {
    Lock lock(mutex_);
    calls_.push_back("destroyProcessTap " + std::to_string(tap));
    return taps_.erase(tap) ? noErr : badObject;
}

OSStatus DeviceModel::createIOProcID(AudioObjectID device, IOBlock block, IOProcID& outID) {
    Lock lock(mutex_);
    if (auto status = injected(Operation::createIOProc, device)) return *status;
    ioProcs_[outID = nextIOProc_++] = {device, std::move(block), false};
    return record("createIOProcID", device);
}

OSStatus DeviceModel::deviceStart(AudioObjectID device, IOProcID proc) {
    Lock lock(mutex_);
    if (auto status = injected(Operation::start, device)) return *status;
    if (!ioProcs_.count(proc)) return badObject;
    std::get<2>(ioProcs_[proc]) = true;
    return record("deviceStart", device);
}

// Stopping and destroying wait for an IO cycle in progress, as on the platform.
OSStatus DeviceModel::deviceStop(AudioObjectID device, IOProcID proc) {
    std::scoped_lock lock(ioCycle_, mutex_);
    calls_.push_back("deviceStop " + std::to_string(device));
    if (!ioProcs_.count(proc)) return badObject;
    std::get<2>(ioProcs_[proc]) = false;
    return noErr;
}

OSStatus DeviceModel::destroyIOProcID(AudioObjectID device, IOProcID proc) {
    std::scoped_lock lock(ioCycle_, mutex_);
    calls_.push_back("destroyIOProcID " + std::to_string(device));
    return ioProcs_.erase(proc) ? noErr : badObject;
}

}  // namespace sonvale::coreaudio
