#include "coreaudio/pulse_audio_system.h"

#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>

#include "coreaudio/pipewire_sink.h"
#include "coreaudio/pulse_connection.h"
#include "coreaudio/pulse_device_mapping.h"
#include "coreaudio/pulse_module_arguments.h"
#include "coreaudio/pulse_rate_lane.h"
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
// How long a new default output may take to show (PipeWire applies it through its session
// manager, after the request has been acknowledged); the server info is read again this often
// meanwhile.
constexpr auto defaultChange = std::chrono::milliseconds(1500);
constexpr auto defaultRecheck = std::chrono::milliseconds(100);

struct Device {
    AudioObjectID id = 0;
    PulseDeviceFacts facts;
    std::string uid;
    std::string name;
    std::uint32_t transport = 0;
    std::optional<std::uint32_t> dataSource;
};

// The server's view in the audio object model: built once per change of the connection's
// view, then shared by every read until the next change.
struct View {
    std::vector<Device> devices;  // sinks, then sources, in server order
    std::string defaultSink;
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

const PulseDeviceFacts* sinkNamed(const PulseServerFacts& facts, const std::string& name) {
    for (const auto& sink : facts.sinks) {
        if (sink.name == name) return &sink;
    }
    return nullptr;
}

bool hasSink(const PulseServerFacts& facts, const std::string& name, std::uint32_t index = noIndex) {
    const PulseDeviceFacts* sink = sinkNamed(facts, name);
    return sink && (index == noIndex || sink->index == index);
}

// The forwarding output a lane plays into; nullptr for every other device.
const std::string* laneOf(const PulseDeviceFacts& device) {
    const auto found = device.properties.find(std::string(laneOfProperty));
    return device.isSink && found != device.properties.end() ? &found->second : nullptr;
}

// What the route listeners compare between two views.
struct Observation {
    bool reachable = false;
    std::string defaultSink;
    // The device the default's name resolves to: the server may name a new default before
    // the view lists that sink, and the device shows up only with a later change.
    AudioObjectID defaultOutput = 0;
    std::vector<AudioObjectID> devices;
    // What every output plays through: a port change of any output (headphones plugged
    // into the user's output while forwarding plays elsewhere) is a route change too.
    std::vector<std::string> ports;
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
        out = address.mSelector == selector::deviceUID ? device->uid : device->name;
        return noErr;
    }

    OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address, std::uint32_t size,
                             const void* data) override {
        if (address.mSelector == selector::latency) return setOwnSinkLatency(object, size, data);
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
        if (device->facts.name == outputUID) openLane(device->facts);
        if (!connection_.setDefaultSink(device->facts.name)) return notRunning;
        // Returns once the view shows the new default, so that a read which follows sees it.
        const std::string& name = device->facts.name;
        const auto until = std::chrono::steady_clock::now() + defaultChange;
        while (!connection_.await([&](const PulseServerFacts& f) { return f.defaultSink == name; }, defaultRecheck) &&
               std::chrono::steady_clock::now() < until) {
            connection_.refreshServerInfo();
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
        const bool own = ownSink_ && ownSink_->name() == found->facts.name;
        if (own) {
            taps_.useOwnSink(nullptr);
            ownSink_.reset();
        } else if (found->facts.ownerModule == noIndex) {
            return illegalOperation;
        } else {
            closeLane(found->facts.name);
            if (!connection_.unloadModule(found->facts.ownerModule)) return notRunning;
        }
        // PulseAudio confirms the unload before it has happened; the device is only
        // destroyed once the view no longer shows it.
        const std::string name = found->facts.name;
        const std::uint32_t index = found->facts.index;
        if (connection_.await([&](const PulseServerFacts& f) { return !hasSink(f, name, index); }, deviceChange)) {
            return noErr;
        }
        return connection_.facts(false) ? illegalOperation : notRunning;
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
        // A tap connects anew and would wait for a server that does not answer.
        if (!connection_.answering()) return notRunning;
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

    // The view in the object model, with each device under the id it has had since it
    // appeared; ids of devices that are gone are forgotten. Asks the server nothing; with
    // `wait`, waits for a first view as the connection does.
    std::shared_ptr<const View> view(bool wait = true) {
        const auto facts = connection_.facts(wait);
        if (!facts) return nullptr;
        std::lock_guard lock(idMutex_);
        if (facts == viewFacts_) return view_;
        auto result = std::make_shared<View>();
        result->defaultSink = facts->defaultSink;
        const auto clock = clockSink(facts->sinks);
        std::map<Key, AudioObjectID> seen;
        const auto add = [&](const PulseDeviceFacts& device, bool isClock) {
            Key key{device.isSink, device.index, device.name};
            auto known = deviceIDs_.find(key);
            const AudioObjectID id = known != deviceIDs_.end() ? known->second : nextID_++;
            seen[key] = id;
            result->devices.push_back({id, device, isClock ? std::string(clockUID) : device.name, displayNameOf(device),
                                       transportOf(device), dataSourceOf(device)});
        };
        // A lane is part of its forwarding output, not a device of its own.
        for (std::size_t i = 0; i < facts->sinks.size(); ++i) {
            if (!laneOf(facts->sinks[i])) add(facts->sinks[i], clock && *clock == i);
        }
        for (const auto& source : facts->sources) add(source, false);
        deviceIDs_ = std::move(seen);
        std::string defaultName = result->defaultSink;
        if (const PulseDeviceFacts* shown = coreaudio::sinkNamed(*facts, defaultName); shown && laneOf(*shown)) {
            defaultName = *laneOf(*shown);
        }
        if (const Device* sink = result->sinkNamed(defaultName)) result->defaultOutput = sink->id;
        viewFacts_ = facts;
        view_ = std::move(result);
        return view_;
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
        if (address.mSelector != selector::transportType && address.mSelector != selector::streams &&
            address.mSelector != selector::dataSource) {
            return unknownProperty;
        }
        const auto current = view();
        if (!current) return notRunning;
        const Device* device = current->find(object);
        if (!device) return badObject;
        if (address.mSelector == selector::transportType) {
            values.push_back(device->transport);
        } else if (address.mSelector == selector::dataSource) {
            if (!device->dataSource) return unknownProperty;
            values.push_back(*device->dataSource);
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
        if (createOwnSink(uid, *arguments, outDevice)) return noErr;
        const auto module = connection_.loadModule("module-null-sink", *arguments);
        if (!module) return notRunning;
        if (connection_.await([&](const PulseServerFacts& f) { return hasSink(f, uid); }, deviceChange)) {
            if (const auto after = view(false)) {
                if (const Device* sink = after->sinkNamed(uid)) {
                    outDevice = sink->id;
                    return noErr;
                }
            }
        }
        connection_.unloadModule(*module);
        return illegalOperation;
    }

    // On PipeWire the forwarding output is a sink node of Sonvale's own, so that it can tell
    // players the speaker's delay. Once it has failed to show up in the pulse view (a plain
    // PulseAudio beside a PipeWire that does not serve pulse clients), it is not tried again.
    bool createOwnSink(const std::string& uid, const std::string& arguments, AudioObjectID& outDevice) {
        if (ownSinkUnseen_) return false;
        auto sink = PipeWireSink::create(arguments);
        if (!sink) return false;
        if (connection_.await([&](const PulseServerFacts& f) { return hasSink(f, uid); }, deviceChange)) {
            if (const auto after = view(false)) {
                if (const Device* found = after->sinkNamed(uid)) {
                    outDevice = found->id;
                    taps_.useOwnSink(sink.get());
                    ownSink_ = std::move(sink);
                    return true;
                }
            }
        }
        ownSinkUnseen_ = true;
        return false;
    }

    // Opens the forwarding output's 48 kHz lane on PulseAudio (pulse_rate_lane.h), or finds it
    // open, and routes the players by their rate from now on. Made while the capture records
    // the forwarding output, as it does before the output becomes the default: a null sink
    // nobody records takes the rate of a new stream into it, and would turn to 48 kHz. Without
    // a lane, 48 kHz players meet the server's own resampler.
    void openLane(const PulseDeviceFacts& forwarding) {
        if (ownSink_ || forwarding.ownerModule == noIndex) return;
        const auto facts = connection_.facts(false);
        if (!facts || facts->pipeWire) return;
        const std::string lane = laneName(forwarding.name);
        if (!hasSink(*facts, lane)) {
            const auto arguments = laneArguments(forwarding.name, forwarding.description);
            if (!arguments || !connection_.loadModule("module-remap-sink", *arguments)) return;
        }
        LaneRoute route;
        const bool shown = connection_.await(
            [&](const PulseServerFacts& f) {
                const PulseDeviceFacts *output = coreaudio::sinkNamed(f, forwarding.name), *found = coreaudio::sinkNamed(f, lane);
                if (!output || !found) return false;
                route = {output->index, found->index, found->ownerModule};
                return true;
            },
            deviceChange);
        if (!shown) return;
        connection_.setSinkInputRule([route](const std::vector<PulseSinkInput>& inputs, const PulseServerFacts& now) {
            LaneRoute current = route;
            if (const PulseDeviceFacts* sink = coreaudio::sinkNamed(now, now.defaultSink)) current.defaultSink = sink->index;
            return lanePlan(inputs, current);
        });
    }

    // Ends the routing by rate and unloads the lane; its players go where the server moves them.
    void closeLane(const std::string& forwarding) {
        connection_.setSinkInputRule({});
        const auto facts = connection_.facts(false);
        const PulseDeviceFacts* lane = facts ? coreaudio::sinkNamed(*facts, laneName(forwarding)) : nullptr;
        if (lane && lane->ownerModule != noIndex) connection_.unloadModule(lane->ownerModule);
    }

    OSStatus setOwnSinkLatency(AudioObjectID object, std::uint32_t size, const void* data) {
        if (size != sizeof(std::uint32_t) || !data) return badSize;
        std::uint32_t frames = 0;
        std::memcpy(&frames, data, sizeof frames);
        // A null sink has no way to report a delay (PulseAudio keeps latency offsets for
        // card ports, and it has none).
        if (!ownSink_) return illegalOperation;
        const auto current = view(false);
        if (!current) return notRunning;
        const Device* device = current->find(object);
        if (!device) return badObject;
        if (ownSink_->name() != device->facts.name) return illegalOperation;
        constexpr std::uint64_t framesPerSecond = 44100;  // the forwarding output's rate
        const auto delay = std::chrono::nanoseconds(std::uint64_t(frames) * 1'000'000'000 / framesPerSecond);
        return ownSink_->setLatency(delay) ? noErr : notRunning;
    }

    Observation observe(bool wait = false) {
        Observation seen;
        if (const auto current = view(wait)) {
            seen.reachable = true;
            seen.defaultSink = current->defaultSink;
            seen.defaultOutput = current->defaultOutput;
            for (const auto& device : current->devices) {
                seen.devices.push_back(device.id);
                if (device.facts.isSink) seen.ports.push_back(device.facts.activePort);
            }
        }
        return seen;
    }

    // Not under watchMutex_: the change handler takes it on the main loop's thread, which
    // setting the handler and the first look may wait for.
    void startWatching() {
        {
            std::lock_guard lock(watchMutex_);
            if (watching_) return;
            watching_ = true;
        }
        connection_.setChangeHandler([this] {
            std::lock_guard lock(watchMutex_);
            changed_ = true;
            watchWake_.notify_all();
        });
        Observation first = observe(true);
        std::lock_guard lock(watchMutex_);
        watcher_ = std::thread([this, first = std::move(first)]() mutable { watch(std::move(first)); });
    }

    // The watcher thread: after every change of the connection's view, compares it with
    // the last one and calls the listeners of what changed. It asks the server nothing.
    void watch(Observation last) {
        for (;;) {
            {
                std::unique_lock lock(watchMutex_);
                watchWake_.wait(lock, [&] { return changed_ || stopping_; });
                if (stopping_) return;
                changed_ = false;
            }
            Observation now = observe();
            const bool outputChanged = now.reachable != last.reachable || now.defaultSink != last.defaultSink ||
                                       now.defaultOutput != last.defaultOutput || now.ports != last.ports;
            const bool devicesChanged = now.devices != last.devices;
            last = std::move(now);
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
    // The forwarding output, when Sonvale made it on PipeWire. Before the taps, which may be
    // taking its audio, so that it outlives them.
    std::unique_ptr<PipeWireSink> ownSink_;
    PulseTapEngine taps_;
    bool ownSinkUnseen_ = false;

    std::mutex idMutex_;  // guards the ids and the cached view
    std::map<Key, AudioObjectID> deviceIDs_;
    AudioObjectID nextID_ = 100;
    PulseConnection::Facts viewFacts_;  // what view_ was built from
    std::shared_ptr<const View> view_;

    std::mutex watchMutex_;
    std::condition_variable watchWake_;
    std::map<ListenerID, Listener> listeners_;
    ListenerID nextListener_ = 1;
    bool watching_ = false;
    bool changed_ = false;
    bool stopping_ = false;
    std::thread watcher_;
};

}  // namespace

std::shared_ptr<AudioSystem> makePulseAudioSystem() { return std::make_shared<PulseAudioSystem>(); }

}  // namespace sonvale::coreaudio
