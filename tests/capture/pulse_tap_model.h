#pragma once

#include "coreaudio/device_model.h"
#include "coreaudio/pulse_tap.h"

namespace sonvale::test {

// The in-memory device list (for the built-in speaker the capture start looks for) with
// real process taps, capture aggregates and IO procs from the PulseAudio tap engine, so
// the capture path runs against a real sound server.
class PulseTapModel : public coreaudio::DeviceModel {
public:
    using AudioObjectID = coreaudio::AudioObjectID;
    using OSStatus = coreaudio::OSStatus;

    PulseTapModel() {
        addDevice({0, std::string("BuiltInSpeakerDevice"), std::string("内置音频 扬声器"), coreaudio::transport::builtIn});
    }

    OSStatus getPropertyData(AudioObjectID object, const coreaudio::AudioObjectPropertyAddress& address,
                             std::uint32_t& ioSize, void* data) override {
        if (!engine.isTap(object) || address.mSelector != coreaudio::selector::tapFormat) {
            return DeviceModel::getPropertyData(object, address, ioSize, data);
        }
        coreaudio::AudioStreamBasicDescription format;
        const OSStatus status = engine.tapFormat(object, format);
        if (status == coreaudio::noErr && ioSize >= sizeof format) {
            *static_cast<coreaudio::AudioStreamBasicDescription*>(data) = format;
            ioSize = sizeof format;
        }
        return status;
    }
    OSStatus getStringProperty(AudioObjectID object, const coreaudio::AudioObjectPropertyAddress& address,
                               std::optional<std::string>& out) override {
        if (!engine.isTap(object)) return DeviceModel::getStringProperty(object, address, out);
        out = engine.tapUID(object);
        return coreaudio::noErr;
    }
    OSStatus createAggregateDevice(const nlohmann::json& description, AudioObjectID& outDevice) override {
        if (!description.contains("taps")) return DeviceModel::createAggregateDevice(description, outDevice);
        const AudioObjectID id = nextID++;
        const OSStatus status = engine.createCaptureAggregate(id, description["taps"][0]["uid"]);
        if (status == coreaudio::noErr) outDevice = id;
        return status;
    }
    OSStatus destroyAggregateDevice(AudioObjectID device) override {
        if (!engine.isCaptureAggregate(device)) return DeviceModel::destroyAggregateDevice(device);
        return engine.destroyCaptureAggregate(device);
    }
    OSStatus createProcessTap(const coreaudio::TapDescription& description, AudioObjectID& outTap) override {
        const AudioObjectID id = nextID++;
        const OSStatus status = engine.createProcessTap(description, id);
        if (status == coreaudio::noErr) outTap = id;
        return status;
    }
    OSStatus destroyProcessTap(AudioObjectID tap) override { return engine.destroyProcessTap(tap); }
    OSStatus createIOProcID(AudioObjectID device, coreaudio::IOBlock block, coreaudio::IOProcID& outID) override {
        return engine.createIOProcID(device, std::move(block), outID);
    }
    OSStatus deviceStart(AudioObjectID device, coreaudio::IOProcID proc) override {
        return engine.deviceStart(device, proc);
    }
    OSStatus deviceStop(AudioObjectID device, coreaudio::IOProcID proc) override {
        return engine.deviceStop(device, proc);
    }
    OSStatus destroyIOProcID(AudioObjectID device, coreaudio::IOProcID proc) override {
        return engine.destroyIOProcID(device, proc);
    }

    coreaudio::PulseTapEngine engine;

private:
    AudioObjectID nextID = 5000;
};

}  // namespace sonvale::test
