#include "capture/capture.h"

#include <chrono>
#include <cmath>

#include <QUuid>

#include "capture/pcm_writer.h"
#include "capture/serial_queue.h"
#include "coreaudio/devices.h"
#include "base/platform_error.h"
#include "base/constants.h"
#include "base/main_thread.h"

namespace sonvale {

using namespace coreaudio;

namespace {

constexpr std::int64_t framesPerPop = 4096;
// The audio thread rings the writer once a sender packet's worth (352 frames) is waiting,
// so the writer wakes about once per recorded fragment; the timer only catches a trickle
// and keeps the silence check going.
constexpr std::int64_t wakeFrames = 352;
constexpr auto tickPeriod = std::chrono::milliseconds(50);
// Dropped frames are logged at most this often, with the count since the last line.
constexpr auto dropReportPeriod = std::chrono::seconds(1);
// A monitor delivers a block at least every few hundred milliseconds while its output runs,
// silence included; a fresh null sink may take up to 2 s for its first. Longer without any
// audio means the stream or the server connection is gone.
constexpr auto silenceLimit = std::chrono::seconds(8);

[[noreturn]] void throwCaptureError(Capture::ErrorCode code, const char* text) {
    throw PlatformError(std::string(sonvaleID), code, text);
}

}  // namespace

Capture::Capture() : Capture(makePcmConverter) {}

Capture::Capture(PcmConverterFactory makeConverter)
    : ring_(std::make_shared<FloatRing>()),
      makeConverter_(std::move(makeConverter)),
      alive_(std::make_shared<int>(0)),
      writerQueue_(std::make_unique<SerialQueue>("Sonvale.pcm")) {}

Capture::~Capture() {
    stop();
    // The writer thread is joined first: a tick still running reads alive_ when it reports a
    // failure. Whatever it posted finds the token expired once it runs on the main thread.
    writerQueue_.reset();
    alive_.reset();
}

void Capture::start(int pipeFd) {
    if (!device(clockUID)) throwCaptureError(noClockDevice, "找不到 Mac 内建扬声器时钟设备");
    try {
        build(pipeFd);
    } catch (...) {
        stop();
        throw;
    }
}

void Capture::build(int pipeFd) {
    AudioSystem& system = audioSystem();

    TapDescription description;
    description.name = "Sonvale 系统音频";
    check(system.createProcessTap(description, tap_), "建立系统音频捕获");

    AudioStreamBasicDescription format{};
    std::uint32_t size = sizeof format;
    check(system.getPropertyData(tap_, address(selector::tapFormat), size, &format), "读取捕获格式");
    if (format.mBitsPerChannel != 32 || !(format.mFormatFlags & kAudioFormatFlagIsFloat)) {
        throwCaptureError(notFloat32, "系统捕获格式不是 Float32");
    }

    const std::string tapUID = textProperty(tap_, selector::tapUID);
    if (tapUID.empty()) throwCaptureError(noTapUID, "系统未返回捕获标识");

    const std::string aggregateUID = std::string(sonvaleID) + ".capture." +
                                     QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString();
    aggregate_ = makeAggregate("Sonvale Capture", aggregateUID, true, tapUID);

    const double rate = format.mSampleRate;
    auto converter = makeConverter_ ? makeConverter_(rate) : nullptr;
    if (!converter) throwCaptureError(noResampler, "无法建立音频重采样器");
    inputRate_ = rate;

    if (onLog) {
        onLog("捕获 " + std::to_string(static_cast<long long>(std::trunc(rate))) +
                 " Hz Float32 → 44100 Hz PCM16");
    }

    IOProcID proc = 0;
    SerialQueue* const writerQueue = writerQueue_.get();
    check(system.createIOProcID(
              aggregate_,
              [ring = ring_, writerQueue](const AudioBufferList& input) {
                  ring->push(input);
                  if (ring->available() >= wakeFrames) writerQueue->fire();
              },
              proc),
          "注册音频捕获回调");
    io_ = proc;
    check(system.deviceStart(aggregate_, proc), "开始系统音频捕获，请检查系统音频录制权限");

    writer_ = std::make_unique<PcmWriter>(std::move(converter), rate, pipeFd);
    writerQueue_->startTimer(tickPeriod, [this] { drain(); });
}

void Capture::stop() {
    writerQueue_->cancelTimer();
    // A tick waiting for room in a full pipe gives up its write instead of holding the
    // writer thread until the worker reads again.
    if (writer_) writer_->interrupt();

    AudioSystem& system = audioSystem();
    if (aggregate_ != 0 && io_) {
        system.deviceStop(aggregate_, *io_);
        system.destroyIOProcID(aggregate_, *io_);
    }
    io_.reset();
    if (aggregate_ != 0) {
        system.destroyAggregateDevice(aggregate_);
        aggregate_ = 0;
    }
    if (tap_ != 0) {
        system.destroyProcessTap(tap_);
        tap_ = 0;
    }
    writerQueue_->async([this] {
        stopped_ = true;
        // Closed here, behind any tick still running, so no write can reach a closed
        // descriptor; the worker sees the end of its input now rather than at destruction.
        if (writer_) writer_->close();
    });
}

void Capture::setGain(float value) {
    writerQueue_->async([this, value] { gain.store(value, std::memory_order_relaxed); });
}

void Capture::drain() {
    if (stopped_) return;
    const auto now = std::chrono::steady_clock::now();
    reportDrops(now);
    bool any = false;
    for (std::vector<float> samples = ring_->pop(framesPerPop); !samples.empty() && !stopped_;
         samples = ring_->pop(framesPerPop)) {
        any = true;
        writeOut(samples);
    }
    if (any || !lastAudio_) lastAudio_ = now;
    if (!stopped_ && now - *lastAudio_ > silenceLimit) fail("系统音频采集已中断");
}

void Capture::reportDrops(std::chrono::steady_clock::time_point now) {
    const std::uint64_t dropped = ring_->statistics().dropped;
    if (dropped == reportedDrops_ || (lastDropReport_ && now - *lastDropReport_ < dropReportPeriod)) return;
    const std::string line = "音频丢帧：" + std::to_string(dropped - reportedDrops_) + " 帧（累计 " +
                             std::to_string(dropped) + " 帧）";
    reportedDrops_ = dropped;
    lastDropReport_ = now;
    postToMainThread([this, alive = std::weak_ptr<int>(alive_), line] {
        if (!alive.expired() && onLog) onLog(line);
    });
}

void Capture::writeOut(std::vector<float>& samples) {
    if (!inputRate_ || !writer_) return;
    const PcmWriter::Result result = writer_->write(samples, gain.load(std::memory_order_relaxed));
    switch (result.outcome) {
    case PcmWriter::Outcome::conversionFailed:
        fail(result.error.empty() ? "音频转换失败" : result.error);
        break;
    case PcmWriter::Outcome::writeFailed:
        fail("发送进程已停止接收音频");
        break;
    case PcmWriter::Outcome::nothing:
    case PcmWriter::Outcome::written:
    case PcmWriter::Outcome::interrupted:
        break;
    }
}

void Capture::fail(const std::string& message) {
    stopped_ = true;
    postToMainThread([this, alive = std::weak_ptr<int>(alive_), message] {
        if (alive.expired() || !onFailure) return;
        onFailure(message);
    });
}

}  // namespace sonvale
