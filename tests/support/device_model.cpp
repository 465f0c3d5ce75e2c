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

void DeviceModel::deliver(const AudioBufferList& list) {
    std::lock_guard cycle(ioCycle_);
    std::vector<IOBlock> blocks;
    {
        Lock lock(mutex_);
        for (const auto& [id, proc] : ioProcs_) {
            if (proc.second) blocks.push_back(proc.first);
        }
    }
    for (const auto& block : blocks) block(list);
}

std::optional<OSStatus> DeviceModel::injected(Operation operation, std::uint32_t code) const {
    for (const auto& key : {std::pair{operation, code}, std::pair{operation, 0u}}) {
        if (auto found = failures_.find(key); found != failures_.end()) return found->second;
    }
    return std::nullopt;
}

const DeviceModel::Device* DeviceModel::find(AudioObjectID id) const {
    const auto found = std::find_if(devices_.begin(), devices_.end(), [id](const Device& d) { return d.id == id; });
    return found == devices_.end() ? nullptr : &*found;
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
    if (auto status = injected(Operation::size, where.mSelector)) return *status;
    std::uint32_t bytes = 1 << 20;
    const OSStatus status = getPropertyData(object, where, bytes, nullptr);
    if (status == noErr) size = bytes;
    return status;
}

// Numbers, or with data == null only their size. Every device has one output stream.
OSStatus DeviceModel::getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& where,
                                      std::uint32_t& ioSize, void* data) {
    Lock lock(mutex_);
    std::vector<std::uint32_t> values;
    if (auto tap = taps_.find(object); tap != taps_.end() && where.mSelector == selector::tapFormat) {
        if (auto status = injected(Operation::readTapFormat)) return *status;
        values.resize(sizeof(AudioStreamBasicDescription) / 4);
        std::memcpy(values.data(), &tap->second.first, sizeof(AudioStreamBasicDescription));
    } else if (object == kAudioObjectSystemObject && where.mSelector == selector::devices) {
        for (const auto& d : devices_) {
            if (d.listed) values.push_back(d.id);
        }
    } else if (object == kAudioObjectSystemObject && where.mSelector == selector::defaultOutput) {
        if (defaultOutput_) values.push_back(defaultOutput_);
    } else {
        const Device* d = find(object);
        if (!d || (where.mSelector != selector::streams && (where.mSelector != selector::transportType || !d->transport))) {
            return unknownProperty;
        }
        if (where.mSelector == selector::transportType) values.push_back(d->transport);
        if (where.mSelector == selector::streams && where.mScope != scope::input) values.push_back(d->id);
    }
    ioSize = std::min<std::uint32_t>(ioSize, std::uint32_t(values.size() * 4));
    if (data) std::memcpy(data, values.data(), ioSize);
    return noErr;
}

OSStatus DeviceModel::getStringProperty(AudioObjectID object, const AudioObjectPropertyAddress& where,
                                        std::optional<std::string>& out) {
    Lock lock(mutex_);
    if (auto tap = taps_.find(object); tap != taps_.end() && where.mSelector == selector::tapUID) {
        return out = tap->second.second, noErr;
    }
    const Device* d = find(object);
    if (!d || (where.mSelector != selector::deviceUID && where.mSelector != selector::name)) return unknownProperty;
    return out = where.mSelector == selector::deviceUID ? d->uid : d->name, noErr;
}

OSStatus DeviceModel::setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& where, std::uint32_t size,
                                      const void* data) {
    {
        Lock lock(mutex_);
        AudioObjectID chosen = 0;
        if (object != kAudioObjectSystemObject || where.mSelector != selector::defaultOutput || size != 4) {
            return unknownProperty;
        }
        std::memcpy(&chosen, data, 4);
        if (!find(chosen)) return static_cast<OSStatus>(fourCC("!dev"));
        defaultOutput_ = chosen;
        calls_.push_back("setDefaultOutput");
    }
    notify(selector::defaultOutput);
    return noErr;
}

OSStatus DeviceModel::createAggregateDevice(const nlohmann::json& description, AudioObjectID& outDevice) {
    {
        Lock lock(mutex_);
        descriptions_.push_back(description);
        if (auto status = injected(Operation::createAggregate)) return *status;
        outDevice = nextID_++;
        devices_.push_back({outDevice, description.value("uid", ""), description.value("name", ""), transport::aggregate,
                            description.value("private", 0) == 0});
        calls_.push_back("createAggregateDevice");
    }
    notify(selector::devices);
    return noErr;
}

OSStatus DeviceModel::destroyAggregateDevice(AudioObjectID device) {
    {
        Lock lock(mutex_);
        calls_.push_back("destroyAggregateDevice");
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

OSStatus DeviceModel::createProcessTap(const TapDescription&, AudioObjectID& outTap) {
    Lock lock(mutex_);
    if (auto status = injected(Operation::createTap)) return *status;
    taps_[outTap = nextID_++] = {tapFormat_, tapUID_};
    return calls_.push_back("createProcessTap"), noErr;
}

OSStatus DeviceModel::destroyProcessTap(AudioObjectID tap) {
    Lock lock(mutex_);
    calls_.push_back("destroyProcessTap");
    return taps_.erase(tap) ? noErr : badObject;
}

OSStatus DeviceModel::createIOProcID(AudioObjectID, IOBlock block, IOProcID& outID) {
    Lock lock(mutex_);
    if (auto status = injected(Operation::createIOProc)) return *status;
    ioProcs_[outID = nextIOProc_++] = {std::move(block), false};
    return calls_.push_back("createIOProcID"), noErr;
}

OSStatus DeviceModel::deviceStart(AudioObjectID, IOProcID proc) {
    Lock lock(mutex_);
    if (auto status = injected(Operation::start)) return *status;
    if (!ioProcs_.count(proc)) return badObject;
    ioProcs_[proc].second = true;
    return calls_.push_back("deviceStart"), noErr;
}

// Stopping and destroying wait for an IO cycle in progress, as on the platform.
OSStatus DeviceModel::deviceStop(AudioObjectID, IOProcID proc) {
    std::scoped_lock lock(ioCycle_, mutex_);
    calls_.push_back("deviceStop");
    if (!ioProcs_.count(proc)) return badObject;
    ioProcs_[proc].second = false;
    return noErr;
}

OSStatus DeviceModel::destroyIOProcID(AudioObjectID, IOProcID proc) {
    std::scoped_lock lock(ioCycle_, mutex_);
    calls_.push_back("destroyIOProcID");
    return ioProcs_.erase(proc) ? noErr : badObject;
}

}  // namespace sonvale::coreaudio
