#include "coreaudio/pulse_tap.h"

// Placeholder until the capture path lands: every tap operation fails.
namespace sonvale::coreaudio {

struct PulseTapEngine::Impl {};
namespace {
constexpr OSStatus unsupported = fourCC("unop");
}
PulseTapEngine::PulseTapEngine() : impl_(std::make_unique<Impl>()) {}
PulseTapEngine::~PulseTapEngine() = default;
OSStatus PulseTapEngine::createProcessTap(const TapDescription&, AudioObjectID) { return unsupported; }
OSStatus PulseTapEngine::destroyProcessTap(AudioObjectID) { return unsupported; }
bool PulseTapEngine::isTap(AudioObjectID) const { return false; }
OSStatus PulseTapEngine::tapFormat(AudioObjectID, AudioStreamBasicDescription&) const { return unsupported; }
std::optional<std::string> PulseTapEngine::tapUID(AudioObjectID) const { return std::nullopt; }
OSStatus PulseTapEngine::createCaptureAggregate(AudioObjectID, const std::string&) { return unsupported; }
OSStatus PulseTapEngine::destroyCaptureAggregate(AudioObjectID) { return unsupported; }
bool PulseTapEngine::isCaptureAggregate(AudioObjectID) const { return false; }
OSStatus PulseTapEngine::createIOProcID(AudioObjectID, IOBlock, IOProcID&) { return unsupported; }
OSStatus PulseTapEngine::deviceStart(AudioObjectID, IOProcID) { return unsupported; }
OSStatus PulseTapEngine::deviceStop(AudioObjectID, IOProcID) { return unsupported; }
OSStatus PulseTapEngine::destroyIOProcID(AudioObjectID, IOProcID) { return unsupported; }

}  // namespace sonvale::coreaudio
