#include "coreaudio/pulse_tap.h"

#include <map>
#include <mutex>

#include "coreaudio/pulse_tap_recorder.h"

namespace sonvale::coreaudio {

namespace {

constexpr OSStatus statusOf(const char (&code)[5]) { return static_cast<OSStatus>(fourCC(code)); }
const OSStatus badObject = statusOf("!obj");
const OSStatus illegalOperation = statusOf("nope");

}  // namespace

// Calls come from the device half of the backend, on the controller's thread; the mutex
// only keeps the bookkeeping consistent should another thread ask about an object.
struct PulseTapEngine::Impl {
    struct Tap {
        std::string uid;
        std::unique_ptr<PulseTapRecorder> recorder;
        std::optional<IOProcID> running;  // the IO proc the recorder feeds
    };
    struct Proc {
        AudioObjectID aggregate = 0;
        IOBlock block;
    };

    Tap* tapOfAggregate(AudioObjectID aggregate) {
        auto bound = aggregates.find(aggregate);
        if (bound == aggregates.end()) return nullptr;
        auto tap = taps.find(bound->second);
        return tap == taps.end() ? nullptr : &tap->second;
    }

    void stopProc(IOProcID proc) {
        for (auto& [id, tap] : taps) {
            if (tap.running == proc) {
                tap.recorder->stop();
                tap.running.reset();
            }
        }
    }

    mutable std::mutex mutex;
    std::map<AudioObjectID, Tap> taps;
    std::map<AudioObjectID, AudioObjectID> aggregates;  // capture aggregate -> its tap
    std::map<IOProcID, Proc> procs;
    IOProcID nextProc = 1;
    PipeWireSink* ownSink = nullptr;
};

PulseTapEngine::PulseTapEngine() : impl_(std::make_unique<Impl>()) {}
PulseTapEngine::~PulseTapEngine() = default;

void PulseTapEngine::useOwnSink(PipeWireSink* sink) {
    std::lock_guard lock(impl_->mutex);
    impl_->ownSink = sink;
    for (auto& [id, tap] : impl_->taps) tap.recorder->useOwnSink(sink);
}

OSStatus PulseTapEngine::createProcessTap(const TapDescription& description, AudioObjectID id) {
    OSStatus status = noErr;
    PipeWireSink* ownSink = nullptr;
    {
        std::lock_guard lock(impl_->mutex);
        ownSink = impl_->ownSink;
    }
    auto recorder = PulseTapRecorder::connect(description.name, ownSink, status);
    if (!recorder) return status;
    std::lock_guard lock(impl_->mutex);
    if (impl_->taps.count(id)) return illegalOperation;
    impl_->taps[id] = Impl::Tap{"local.sonvale.tap." + std::to_string(id), std::move(recorder), std::nullopt};
    return noErr;
}

OSStatus PulseTapEngine::destroyProcessTap(AudioObjectID tap) {
    std::unique_ptr<PulseTapRecorder> recorder;
    {
        std::lock_guard lock(impl_->mutex);
        auto found = impl_->taps.find(tap);
        if (found == impl_->taps.end()) return badObject;
        recorder = std::move(found->second.recorder);
        impl_->taps.erase(found);
    }
    return noErr;
}

bool PulseTapEngine::isTap(AudioObjectID id) const {
    std::lock_guard lock(impl_->mutex);
    return impl_->taps.count(id) != 0;
}

OSStatus PulseTapEngine::tapFormat(AudioObjectID tap, AudioStreamBasicDescription& out) const {
    std::lock_guard lock(impl_->mutex);
    auto found = impl_->taps.find(tap);
    if (found == impl_->taps.end()) return badObject;
    out = AudioStreamBasicDescription{};
    out.mSampleRate = found->second.recorder->sampleRate();
    out.mFormatID = kAudioFormatLinearPCM;
    out.mFormatFlags = kAudioFormatFlagIsFloat | (1u << 3);  // float, packed
    out.mBytesPerPacket = 8;
    out.mFramesPerPacket = 1;
    out.mBytesPerFrame = 8;
    out.mChannelsPerFrame = 2;
    out.mBitsPerChannel = 32;
    return noErr;
}

std::optional<std::string> PulseTapEngine::tapUID(AudioObjectID tap) const {
    std::lock_guard lock(impl_->mutex);
    auto found = impl_->taps.find(tap);
    if (found == impl_->taps.end()) return std::nullopt;
    return found->second.uid;
}

OSStatus PulseTapEngine::createCaptureAggregate(AudioObjectID id, const std::string& tapUID) {
    std::lock_guard lock(impl_->mutex);
    for (const auto& [tapID, tap] : impl_->taps) {
        if (tap.uid == tapUID) {
            impl_->aggregates[id] = tapID;
            return noErr;
        }
    }
    return badObject;
}

OSStatus PulseTapEngine::destroyCaptureAggregate(AudioObjectID id) {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->aggregates.count(id)) return badObject;
    for (auto proc = impl_->procs.begin(); proc != impl_->procs.end();) {
        if (proc->second.aggregate == id) {
            impl_->stopProc(proc->first);
            proc = impl_->procs.erase(proc);
        } else {
            ++proc;
        }
    }
    impl_->aggregates.erase(id);
    return noErr;
}

bool PulseTapEngine::isCaptureAggregate(AudioObjectID id) const {
    std::lock_guard lock(impl_->mutex);
    return impl_->aggregates.count(id) != 0;
}

OSStatus PulseTapEngine::createIOProcID(AudioObjectID aggregate, IOBlock block, IOProcID& outID) {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->aggregates.count(aggregate) || !block) return badObject;
    outID = impl_->nextProc++;
    impl_->procs[outID] = Impl::Proc{aggregate, std::move(block)};
    return noErr;
}

OSStatus PulseTapEngine::deviceStart(AudioObjectID aggregate, IOProcID proc) {
    std::lock_guard lock(impl_->mutex);
    auto found = impl_->procs.find(proc);
    Impl::Tap* tap = impl_->tapOfAggregate(aggregate);
    if (found == impl_->procs.end() || found->second.aggregate != aggregate || !tap) return badObject;
    if (tap->running == proc) return noErr;
    // One record stream per tap, so one IO proc at a time.
    if (tap->running) return illegalOperation;
    const OSStatus status = tap->recorder->start(found->second.block);
    if (status == noErr) tap->running = proc;
    return status;
}

OSStatus PulseTapEngine::deviceStop(AudioObjectID aggregate, IOProcID proc) {
    std::lock_guard lock(impl_->mutex);
    auto found = impl_->procs.find(proc);
    if (found == impl_->procs.end() || found->second.aggregate != aggregate) return badObject;
    impl_->stopProc(proc);
    return noErr;
}

OSStatus PulseTapEngine::destroyIOProcID(AudioObjectID aggregate, IOProcID proc) {
    std::lock_guard lock(impl_->mutex);
    auto found = impl_->procs.find(proc);
    if (found == impl_->procs.end() || found->second.aggregate != aggregate) return badObject;
    impl_->stopProc(proc);
    impl_->procs.erase(found);
    return noErr;
}

}  // namespace sonvale::coreaudio
