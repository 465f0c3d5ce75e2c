#include "coreaudio/pulse_audio_system.h"

#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>

#include "coreaudio/pulse_connection.h"
#include "coreaudio/pulse_device_mapping.h"
#include "coreaudio/pulse_module_arguments.h"
#include "coreaudio/pulse_tap.h"
#include "base/constants.h"

namespace sonvale::coreaudio {
namespace {

// The statuses the platform uses for these failures.
constexpr OSStatus notRunning = static_cast<OSStatus>(fourCC("stop"));   // no sound server
constexpr OSStatus badObject = static_cast<OSStatus>(fourCC("!obj"));    // no such object (any more)
constexpr OSStatus badDevice = static_cast<OSStatus>(fourCC("!dev"));    // not a device this can apply to
constexpr OSStatus unknownProperty = static_cast<OSStatus>(fourCC("who?"));
constexpr OSStatus badSize = static_cast<OSStatus>(fourCC("!siz"));
constexpr OSStatus illegalOperation = static_cast<OSStatus>(fourCC("nope"));
constexpr OSStatus paramError = -50;

constexpr std::uint32_t stringReferenceSize = 8;
// Stream objects are not addressable; their ids only need to be distinct and non-zero.
constexpr AudioObjectID streamIDBase = 0x40000000;
constexpr auto deviceChange = std::chrono::milliseconds(1500);  // a module load or unload taking effect
constexpr auto retryWhileDown = std::chrono::milliseconds(500);
// PipeWire acknowledges a new default and may even report the change before its session
// manager has made it visible; the watcher looks again this long after an event that
// seemed to change nothing.
constexpr auto settleAfterEvent = std::chrono::milliseconds(250);
// How long a new default output may take to show (PipeWire applies it through its session
// manager, after the request has been acknowledged).
constexpr auto defaultChange = std::chrono::milliseconds(1500);

struct Device {
    AudioObjectID id = 0;
    PulseDeviceFacts facts;
    std::string uid;
    std::uint32_t transport = 0;
};

struct View {
    std::vector<Device> devices;  // sinks, then sources that are not monitors, in server order
    std::string defaultSink;
    std::string defaultSinkPort;
    AudioObjectID defaultOutput = 0;

    const Device* find(AudioObjectID id) const {
        for (const auto& d : devices) {
            if (d.id == id) return &d;
        }
        return nullptr;
    }
    const Device* sinkNamed(const std::string& name) const {
        for (const auto& d : devices) {
            if (d.facts.isSink && d.facts.name == name) return &d;
        }
        return nullptr;
    }
};

// What the route listeners compare between two looks at the server.
struct Observation {
    bool reachable = false;
    std::string defaultSink;
    std::string defaultSinkPort;
    std::vector<AudioObjectID> devices;
};

class PulseAudioSystem final : public AudioSystem {
public:
    ~PulseAudioSystem() override {
        {
            std::lock_guard lock(watchMutex_);
            stopping_ = true;
        }
        watchWake_.notify_all();
        if (watcher_.joinable()) watcher_.join();
        connection_.setChangeHandler({});
    }

    OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                 std::uint32_t& outSize) override {
        outSize = 0;
        if (taps_.isTap(object)) {
            if (address.mSelector == selector::tapFormat) {
                outSize = sizeof(AudioStreamBasicDescription);
                return noErr;
            }
            if (address.mSelector == selector::tapUID) {
                outSize = stringReferenceSize;
                return noErr;
            }
            return unknownProperty;
        }
        if (taps_.isCaptureAggregate(object)) return unknownProperty;
        if (address.mSelector == selector::deviceUID || address.mSelector == selector::name) {
            const auto current = view();
            if (!current) return notRunning;
            if (!current->find(object)) return badObject;
            outSize = stringReferenceSize;
            return noErr;
        }
        std::vector<std::uint32_t> values;
        const OSStatus status = numberValues(object, address, values);
        if (status == noErr) outSize = static_cast<std::uint32_t>(values.size() * sizeof(std::uint32_t));
        return status;
    }

    OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t& ioSize,
                             void* data) override {
        if (taps_.isTap(object) && address.mSelector == selector::tapFormat) {
            AudioStreamBasicDescription format;
            const OSStatus status = taps_.tapFormat(object, format);
            if (status != noErr) return status;
            if (ioSize < sizeof format) return badSize;
            std::memcpy(data, &format, sizeof format);
            ioSize = sizeof format;
            return noErr;
        }
        if (taps_.isTap(object) || taps_.isCaptureAggregate(object)) return unknownProperty;
        std::vector<std::uint32_t> values;
        const OSStatus status = numberValues(object, address, values);
        if (status != noErr) return status;
        const std::uint32_t bytes =
            std::min<std::uint32_t>(ioSize, static_cast<std::uint32_t>(values.size() * sizeof(std::uint32_t))) / 4 * 4;
        if (bytes > 0) std::memcpy(data, values.data(), bytes);
        ioSize = bytes;
        return noErr;
    }

    OSStatus getStringProperty(AudioObjectID object, const AudioObjectPropertyAddress& address,
                               std::optional<std::string>& out) override {
        out.reset();
        if (taps_.isTap(object)) {
            if (address.mSelector != selector::tapUID) return unknownProperty;
            out = taps_.tapUID(object);
            return noErr;
        }
        if (taps_.isCaptureAggregate(object)) return unknownProperty;
        if (address.mSelector != selector::deviceUID && address.mSelector != selector::name) return unknownProperty;
        const auto current = view();
        if (!current) return notRunning;
        const Device* device = current->find(object);
        if (!device) return badObject;
        out = address.mSelector == selector::deviceUID ? device->uid : device->facts.description;
        return noErr;
    }

    OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t size,
                             const void* data) override {
        if (object != kAudioObjectSystemObject || address.mSelector != selector::defaultOutput) {
            return unknownProperty;
        }
        if (size != sizeof(AudioObjectID) || !data) return badSize;
        AudioObjectID wanted = 0;
        std::memcpy(&wanted, data, sizeof wanted);
        const auto current = view();
        if (!current) return notRunning;
        const Device* device = current->find(wanted);
        if (!device) return badObject;
        if (!device->facts.isSink) return badDevice;
        if (!connection_.setDefaultSink(device->facts.name)) return notRunning;
        // Returns once the server reports the new default, so that a read which follows sees
        // it. A connection that still reports another one after the wait is given up: a new
        // one reads the server's state afresh.
        if (!awaitDefaultSink(device->facts.name, defaultChange / 2)) {
            connection_.reconnect();
            awaitDefaultSink(device->facts.name, defaultChange / 2);
        }
        return noErr;
    }

    OSStatus createAggregateDevice(const nlohmann::json& description, AudioObjectID& outDevice) override {
        outDevice = 0;
        if (!description.is_object()) return paramError;
        if (description.contains("taps")) {
            const auto& taps = description["taps"];
            if (!taps.is_array() || taps.empty() || !taps[0].is_object() || !taps[0].contains("uid") ||
                !taps[0]["uid"].is_string()) {
                return paramError;
            }
            const AudioObjectID id = nextObjectID();
            const OSStatus status = taps_.createCaptureAggregate(id, taps[0]["uid"].get<std::string>());
            if (status == noErr) outDevice = id;
            return status;
        }
        if (!description.contains("uid") || !description["uid"].is_string() || !description.contains("name") ||
            !description["name"].is_string()) {
            return paramError;
        }
        return createForwardingSink(description["uid"].get<std::string>(), description["name"].get<std::string>(),
                                    outDevice);
    }

    OSStatus destroyAggregateDevice(AudioObjectID device) override {
        if (taps_.isCaptureAggregate(device)) return taps_.destroyCaptureAggregate(device);
        const auto current = view();
        if (!current) return notRunning;
        const Device* found = current->find(device);
        if (!found) return badObject;
        // Only the forwarding output device is an aggregate of ours; real devices stay.
        if (!found->facts.isSink || found->facts.name != outputUID) return badDevice;
        if (found->facts.ownerModule == noIndex) return illegalOperation;
        if (!connection_.unloadModule(found->facts.ownerModule)) return notRunning;
        // PulseAudio confirms the unload before it has happened; the device is only
        // destroyed once the server no longer lists it.
        const auto until = std::chrono::steady_clock::now() + deviceChange;
        for (;;) {
            const auto after = view();
            if (after && !after->find(device)) return noErr;
            if (std::chrono::steady_clock::now() >= until) return after ? illegalOperation : notRunning;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    ListenerID addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                   ListenerBlock block) override {
        if (object != kAudioObjectSystemObject || !block ||
            (address.mSelector != selector::defaultOutput && address.mSelector != selector::devices)) {
            return 0;
        }
        startWatching();
        std::lock_guard lock(watchMutex_);
        const ListenerID id = nextListener_++;
        listeners_[id] = {address.mSelector, std::move(block)};
        return id;
    }

    void removePropertyListener(ListenerID listener) override {
        std::lock_guard lock(watchMutex_);
        listeners_.erase(listener);
    }

    OSStatus createProcessTap(const TapDescription& description, AudioObjectID& outTap) override {
        outTap = 0;
        const AudioObjectID id = nextObjectID();
        const OSStatus status = taps_.createProcessTap(description, id);
        if (status == noErr) outTap = id;
        return status;
    }
    OSStatus destroyProcessTap(AudioObjectID tap) override { return taps_.destroyProcessTap(tap); }
    OSStatus createIOProcID(AudioObjectID device, IOBlock block, IOProcID& outID) override {
        return taps_.createIOProcID(device, std::move(block), outID);
    }
    OSStatus deviceStart(AudioObjectID device, IOProcID proc) override { return taps_.deviceStart(device, proc); }
    OSStatus deviceStop(AudioObjectID device, IOProcID proc) override { return taps_.deviceStop(device, proc); }
    OSStatus destroyIOProcID(AudioObjectID device, IOProcID proc) override {
        return taps_.destroyIOProcID(device, proc);
    }

private:
    AudioObjectID nextObjectID() {
        std::lock_guard lock(idMutex_);
        return nextID_++;
    }

    // A fresh look at the server, with each device under the id it has had since it
    // appeared. Ids of devices that are gone are forgotten.
    std::optional<View> view() {
        auto facts = connection_.snapshot();
        if (!facts) return std::nullopt;
        View result;
        result.defaultSink = facts->defaultSink;
        const auto clock = clockSink(facts->sinks);
        std::lock_guard lock(idMutex_);
        std::map<Key, AudioObjectID> seen;
        const auto add = [&](PulseDeviceFacts&& device, bool isClock) {
            Key key{device.isSink, device.index, device.name};
            auto known = deviceIDs_.find(key);
            const AudioObjectID id = known != deviceIDs_.end() ? known->second : nextID_++;
            seen[key] = id;
            Device entry;
            entry.id = id;
            entry.uid = isClock ? std::string(clockUID) : device.name;
            entry.transport = transportOf(device);
            entry.facts = std::move(device);
            result.devices.push_back(std::move(entry));
        };
        for (std::size_t i = 0; i < facts->sinks.size(); ++i) add(std::move(facts->sinks[i]), clock && *clock == i);
        for (auto& source : facts->sources) {
            if (!source.isMonitor) add(std::move(source), false);
        }
        deviceIDs_ = std::move(seen);
        if (const Device* sink = result.sinkNamed(result.defaultSink)) {
            result.defaultOutput = sink->id;
            result.defaultSinkPort = sink->facts.activePort;
        }
        return result;
    }

    bool awaitDefaultSink(const std::string& name, std::chrono::milliseconds limit) {
        const auto until = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const auto current = view();
            if (current && current->defaultSink == name) return true;
            if (std::chrono::steady_clock::now() >= until) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    OSStatus numberValues(AudioObjectID object, const AudioObjectPropertyAddress& address,
                          std::vector<std::uint32_t>& values) {
        if (object == kAudioObjectSystemObject) {
            if (address.mSelector != selector::devices && address.mSelector != selector::defaultOutput) {
                return unknownProperty;
            }
            const auto current = view();
            if (!current) return notRunning;
            if (address.mSelector == selector::devices) {
                for (const auto& device : current->devices) values.push_back(device.id);
            } else if (current->defaultOutput != 0) {
                values.push_back(current->defaultOutput);
            }
            return noErr;
        }
        if (address.mSelector != selector::transportType && address.mSelector != selector::streams) {
            return unknownProperty;
        }
        const auto current = view();
        if (!current) return notRunning;
        const Device* device = current->find(object);
        if (!device) return badObject;
        if (address.mSelector == selector::transportType) {
            values.push_back(device->transport);
        } else {
            // A sink plays (one output stream); a source records (one input stream).
            const bool output = device->facts.isSink;
            if (address.mScope == scope::global || (address.mScope == scope::output) == output) {
                values.push_back(streamIDBase | device->id);
            }
        }
        return noErr;
    }

    OSStatus createForwardingSink(const std::string& uid, const std::string& name, AudioObjectID& outDevice) {
        const auto arguments = nullSinkArguments(uid, name);
        if (!arguments) return paramError;
        const auto before = view();
        if (!before) return notRunning;
        // A second sink of that name would be renamed by the server: refuse instead.
        if (before->sinkNamed(uid)) return illegalOperation;
        const auto module = connection_.loadModule("module-null-sink", *arguments);
        if (!module) return notRunning;
        const auto until = std::chrono::steady_clock::now() + deviceChange;
        do {
            if (const auto after = view()) {
                if (const Device* sink = after->sinkNamed(uid)) {
                    outDevice = sink->id;
                    return noErr;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        } while (std::chrono::steady_clock::now() < until);
        connection_.unloadModule(*module);
        return illegalOperation;
    }

    Observation observe() {
        Observation seen;
        if (const auto current = view()) {
            seen.reachable = true;
            seen.defaultSink = current->defaultSink;
            seen.defaultSinkPort = current->defaultSinkPort;
            for (const auto& device : current->devices) seen.devices.push_back(device.id);
        }
        return seen;
    }

    void startWatching() {
        {
            std::lock_guard lock(watchMutex_);
            if (watcher_.joinable()) return;
        }
        connection_.setChangeHandler([this] {
            std::lock_guard lock(watchMutex_);
            changed_ = true;
            watchWake_.notify_all();
        });
        Observation first = observe();
        std::lock_guard lock(watchMutex_);
        if (watcher_.joinable()) return;
        watcher_ = std::thread([this, first = std::move(first)]() mutable { watch(std::move(first)); });
    }

    // The watcher thread: looks at the server after every event (and, while the server
    // cannot be reached, every half second) and calls the listeners of what changed. An
    // event after which nothing seems to have changed is looked at once more a little
    // later, since the server may report a change before it shows.
    void watch(Observation last) {
        std::optional<std::chrono::steady_clock::time_point> lookAgainAt;
        for (;;) {
            {
                std::unique_lock lock(watchMutex_);
                const auto woken = [&] { return changed_ || stopping_; };
                if (lookAgainAt) {
                    watchWake_.wait_until(lock, *lookAgainAt, woken);
                } else if (last.reachable) {
                    watchWake_.wait(lock, woken);
                } else {
                    watchWake_.wait_for(lock, retryWhileDown, woken);
                }
                if (stopping_) return;
                changed_ = false;
            }
            const bool afterEvent = !lookAgainAt || std::chrono::steady_clock::now() < *lookAgainAt;
            Observation now = observe();
            const bool outputChanged = now.reachable != last.reachable || now.defaultSink != last.defaultSink ||
                                       now.defaultSinkPort != last.defaultSinkPort;
            const bool devicesChanged = now.devices != last.devices;
            last = std::move(now);
            if (outputChanged || devicesChanged || !afterEvent) {
                lookAgainAt.reset();
            } else {
                lookAgainAt = std::chrono::steady_clock::now() + settleAfterEvent;
            }
            std::vector<ListenerBlock> due;
            {
                std::lock_guard lock(watchMutex_);
                for (const auto& [id, listener] : listeners_) {
                    if ((listener.selector == selector::defaultOutput && outputChanged) ||
                        (listener.selector == selector::devices && devicesChanged)) {
                        due.push_back(listener.block);
                    }
                }
            }
            for (const auto& block : due) block();
        }
    }

    using Key = std::tuple<bool, std::uint32_t, std::string>;
    struct Listener {
        std::uint32_t selector = 0;
        ListenerBlock block;
    };

    PulseConnection connection_;
    PulseTapEngine taps_;

    std::mutex idMutex_;
    std::map<Key, AudioObjectID> deviceIDs_;
    AudioObjectID nextID_ = 100;

    std::mutex watchMutex_;
    std::condition_variable watchWake_;
    std::map<ListenerID, Listener> listeners_;
    ListenerID nextListener_ = 1;
    bool changed_ = false;
    bool stopping_ = false;
    std::thread watcher_;
};

}  // namespace

std::shared_ptr<AudioSystem> makePulseAudioSystem() { return std::make_shared<PulseAudioSystem>(); }

}  // namespace sonvale::coreaudio
