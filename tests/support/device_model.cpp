#include "support/device_model.h"

#include <algorithm>
#include <cstring>


namespace sonvale::coreaudio {
namespace {

constexpr auto unknownProperty = static_cast<OSStatus>(fourCC("who?"));
constexpr auto badObject = static_cast<OSStatus>(fourCC("!obj"));

}  // namespace


// Listeners run under the (recursive) lock: a change and its notification stay together.
AudioObjectID DeviceModel::addDevice(Device added) {
    Lock lock(mutex_);
    added.id = added.id ? added.id : nextID_;
    nextID_ = std::max(nextID_, added.id + 1);
    devices_.push_back(added);
    notify(selector::devices);
    return added.id;
}

void DeviceModel::removeDevice(AudioObjectID id) {
    Lock lock(mutex_);
    std::erase_if(devices_, [id](const Device& d) { return d.id == id; });
    notify(selector::devices);
    if (defaultOutput_ == id) setDefaultOutput(0);
}

void DeviceModel::setDefaultOutput(AudioObjectID id) {
    Lock lock(mutex_);
    defaultOutput_ = id;
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
    auto found = failures_.find({operation, code});
    if (found == failures_.end()) found = failures_.find({operation, 0u});
    return found == failures_.end() ? std::nullopt : std::optional(found->second);
}

const DeviceModel::Device* DeviceModel::find(AudioObjectID id) const {
    const auto found = std::find_if(devices_.begin(), devices_.end(), [id](const Device& d) { return d.id == id; });
    return found == devices_.end() ? nullptr : &*found;
}

void DeviceModel::notify(std::uint32_t code) {
    const auto listeners = listeners_;  // a listener may remove itself
    for (const auto& [id, listener] : listeners) {
        if (listener.first == code) listener.second();
    }
}

OSStatus DeviceModel::getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& where,
                                          std::uint32_t& size) {
    Lock lock(mutex_);
    if (auto status = injected(Operation::size, where.mSelector)) return *status;
    size = 1 << 20;
    return getPropertyData(object, where, size, nullptr);
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
        const bool readable = d && (where.mSelector == selector::streams ||
                                    (where.mSelector == selector::transportType && d->transport) ||
                                    (where.mSelector == selector::dataSource && d->dataSource));
        if (!readable) return unknownProperty;
        if (where.mSelector == selector::transportType) values.push_back(d->transport);
        if (where.mSelector == selector::dataSource) values.push_back(*d->dataSource);
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
    Lock lock(mutex_);
    AudioObjectID chosen = 0;
    if (object != kAudioObjectSystemObject || where.mSelector != selector::defaultOutput || size != 4) return unknownProperty;
    std::memcpy(&chosen, data, 4);
    if (!find(chosen)) return static_cast<OSStatus>(fourCC("!dev"));
    calls_.push_back("setDefaultOutput");
    return setDefaultOutput(chosen), noErr;
}

OSStatus DeviceModel::createAggregateDevice(const nlohmann::json& description, AudioObjectID& outDevice) {
    Lock lock(mutex_);
    descriptions_.push_back(description);
    if (auto status = injected(Operation::createAggregate)) return *status;
    calls_.push_back("createAggregateDevice");
    outDevice = addDevice({0, description.value("uid", ""), description.value("name", ""), transport::aggregate,
                           description.value("private", 0) == 0});
    return noErr;
}

OSStatus DeviceModel::destroyAggregateDevice(AudioObjectID device) {
    Lock lock(mutex_);
    calls_.push_back("destroyAggregateDevice");
    return find(device) ? (removeDevice(device), noErr) : badObject;
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
