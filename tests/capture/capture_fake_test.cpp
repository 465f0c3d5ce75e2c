#include <gtest/gtest.h>

#include <QCoreApplication>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

#include "capture/capture.h"
#include "coreaudio/device_model.h"
#include "coreaudio/platform_error.h"

namespace sonvale {
namespace {

using namespace coreaudio;
using namespace std::chrono_literals;
using Op = DeviceModel::Operation;

template <typename Predicate>
bool waitFor(Predicate done, std::chrono::milliseconds limit = 5s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

void settle(std::chrono::milliseconds span) {
    waitFor([] { return false; }, span);
}

AudioStreamBasicDescription tapFormat(double rate, bool isFloat = true, std::uint32_t bits = 32) {
    AudioStreamBasicDescription format;
    format.mSampleRate = rate;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mFormatFlags = isFloat ? kAudioFormatFlagIsFloat : 0;
    format.mBitsPerChannel = bits;
    format.mChannelsPerFrame = 2;
    return format;
}

class CaptureWithFakeSystem : public ::testing::Test {
protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        model = std::make_shared<DeviceModel>();
        model->addDevice({0, std::string("BuiltInSpeakerDevice"), std::string("扬声器"), transport::builtIn});
        setAudioSystem(model);
        ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    }
    void TearDown() override {
        setAudioSystem(std::make_shared<DeviceModel>());
        for (int& fd : fds) {
            if (fd >= 0) ::close(fd);
            fd = -1;
        }
    }

    // One IO cycle of 480 interleaved stereo frames with every sample set to `value`.
    void deliver(float value, std::uint32_t frames = 480) {
        std::vector<float> samples(frames * 2, value);
        AudioBuffer buffer{2, frames * 8, samples.data()};
        model->deliver(AudioBufferList{1, &buffer});
    }

    std::size_t readAll(std::vector<std::int16_t>* into = nullptr) {
        std::size_t total = 0;
        std::int16_t chunk[16384];
        for (ssize_t n; (n = ::read(fds[0], chunk, sizeof chunk)) > 0;) {
            total += std::size_t(n);
            if (into) into->insert(into->end(), chunk, chunk + n / 2);
        }
        return total;
    }

    std::vector<std::string> callNames() {
        std::vector<std::string> names;
        for (const auto& call : model->calls()) names.push_back(call.substr(0, call.find(' ')));
        return names;
    }

    std::shared_ptr<DeviceModel> model;
    int fds[2] = {-1, -1};
};

TEST_F(CaptureWithFakeSystem, StartFailuresThrowTheirTextsAndLeaveNothingBehind) {
    const std::vector<std::string> tapOnly = {"createProcessTap", "destroyProcessTap"};
    const std::vector<std::string> withAggregate = {"createProcessTap", "createAggregateDevice",
                                                    "destroyAggregateDevice", "destroyProcessTap"};
    struct Case {
        const char* name;
        std::function<void(DeviceModel&)> arrange;
        std::int64_t code;
        std::string text;
        std::vector<std::string> calls;
        bool makesConverter = true;
    };
    const std::vector<Case> cases = {
        {"no built-in speaker", [](DeviceModel& m) { m.removeDevice(m.allDevices().front().id); }, 1,
         "找不到 Mac 内建扬声器时钟设备", {}},
        {"16-bit integer tap", [](DeviceModel& m) { m.setTapFormat(tapFormat(48000, false, 16)); }, 2,
         "系统捕获格式不是 Float32", tapOnly},
        {"32-bit integer tap", [](DeviceModel& m) { m.setTapFormat(tapFormat(48000, false, 32)); }, 2,
         "系统捕获格式不是 Float32", tapOnly},
        {"64-bit float tap", [](DeviceModel& m) { m.setTapFormat(tapFormat(48000, true, 64)); }, 2,
         "系统捕获格式不是 Float32", tapOnly},
        {"empty tap UID", [](DeviceModel& m) { m.setTapUID(std::string()); }, 3, "系统未返回捕获标识", tapOnly},
        {"unreadable tap UID", [](DeviceModel& m) { m.setTapUID(std::nullopt); }, 3, "系统未返回捕获标识", tapOnly},
        {"no converter", [](DeviceModel&) {}, 4, "无法建立音频重采样器", withAggregate, false},
        {"zero tap rate", [](DeviceModel& m) { m.setTapFormat(tapFormat(0)); }, 4, "无法建立音频重采样器",
         withAggregate},
        {"tap creation", [](DeviceModel& m) { m.fail(Op::createTap, -50); }, -50, "建立系统音频捕获失败（-50）", {}},
        {"tap format", [](DeviceModel& m) { m.fail(Op::readTapFormat, -50); }, -50, "读取捕获格式失败（-50）",
         tapOnly},
        {"aggregate", [](DeviceModel& m) { m.fail(Op::createAggregate, -50); }, -50, "建立音频设备失败（-50）",
         tapOnly},
        {"IO proc", [](DeviceModel& m) { m.fail(Op::createIOProc, -50); }, -50, "注册音频捕获回调失败（-50）",
         withAggregate},
        {"IO start",
         [](DeviceModel& m) { m.fail(Op::start, -50); },
         -50,
         "开始系统音频捕获，请检查系统音频录制权限失败（-50）",
         {"createProcessTap", "createAggregateDevice", "createIOProcID", "deviceStop", "destroyIOProcID",
          "destroyAggregateDevice", "destroyProcessTap"}},
    };
    for (const auto& c : cases) {
        TearDown();
        SetUp();
        c.arrange(*model);
        int formats = 0;
        {
            Capture capture(c.makesConverter ? PcmConverterFactory(makePcmConverter)
                                             : PcmConverterFactory([](double) { return nullptr; }));
            capture.onFormat = [&](const std::string&) { ++formats; };
            try {
                capture.start(fds[1]);
                ADD_FAILURE() << c.name << ": start succeeded";
            } catch (const PlatformError& error) {
                EXPECT_EQ(error.localizedDescription(), c.text) << c.name;
                EXPECT_EQ(error.code(), c.code) << c.name;
                if (c.code > 0) {
                    EXPECT_EQ(error.domain(), "local.sonvale") << c.name;
                }
            }
            // Everything is undone before start() returns, not later.
            EXPECT_EQ(callNames(), c.calls) << c.name;
            EXPECT_EQ(model->liveTaps(), 0u) << c.name;
            EXPECT_EQ(model->liveIOProcs(), 0u) << c.name;
            capture.stop();
        }
        EXPECT_EQ(callNames(), c.calls) << c.name << ": stop() after a failed start destroyed something twice";
        EXPECT_EQ(formats, c.name == std::string("IO proc") || c.name == std::string("IO start") ? 1 : 0) << c.name;
        EXPECT_EQ(readAll(), 0u) << c.name;
    }
}

TEST_F(CaptureWithFakeSystem, BuildsAPrivateAggregateCarryingAPrivateMutingTap) {
    Capture capture;
    capture.start(fds[1]);
    const auto tapID = std::stoul(model->calls().front().substr(17));
    const auto tap = model->tap(AudioObjectID(tapID));
    ASSERT_TRUE(tap);
    EXPECT_EQ(tap->description.name, "Sonvale 系统音频");
    EXPECT_TRUE(tap->description.isPrivate);
    EXPECT_EQ(tap->description.muteBehavior, 2);
    EXPECT_TRUE(tap->description.excludedProcesses.empty());

    const auto description = model->aggregateDescriptions().front();
    EXPECT_EQ(description["name"], "Sonvale Capture");
    EXPECT_EQ(description["private"], 1);
    EXPECT_EQ(description["taps"][0]["uid"], "DeviceModel.tap");
    const std::string uid = description["uid"];
    ASSERT_EQ(uid.size(), std::string("local.sonvale.capture.").size() + 36) << uid;
    EXPECT_EQ(uid.rfind("local.sonvale.capture.", 0), 0u);
    for (char c : uid.substr(22)) EXPECT_TRUE(c == '-' || std::isdigit(c) || (c >= 'A' && c <= 'F')) << uid;

    capture.stop();
    EXPECT_EQ(callNames(),
              (std::vector<std::string>{"createProcessTap", "createAggregateDevice", "createIOProcID", "deviceStart",
                                        "deviceStop", "destroyIOProcID", "destroyAggregateDevice",
                                        "destroyProcessTap"}));
    capture.stop();
    EXPECT_EQ(model->calls().size(), 8u);
}

TEST_F(CaptureWithFakeSystem, FormatLineNamesTheTapRateTruncated) {
    const std::pair<double, const char*> cases[] = {
        {48000, "捕获 48000 Hz Float32 → 44100 Hz PCM16"},
        {44100, "捕获 44100 Hz Float32 → 44100 Hz PCM16"},
        {22050.9, "捕获 22050 Hz Float32 → 44100 Hz PCM16"},
    };
    for (const auto& [rate, line] : cases) {
        model->setTapFormat(tapFormat(rate));
        Capture capture;
        std::vector<std::string> lines;
        capture.onFormat = [&](const std::string& text) { lines.push_back(text); };
        capture.start(fds[1]);
        EXPECT_EQ(lines, std::vector<std::string>{line});
    }
}

TEST_F(CaptureWithFakeSystem, NeverStartedCaptureStopsWithoutCallingThePlatform) {
    {
        Capture capture;
        capture.stop();
        capture.stop();
    }
    EXPECT_TRUE(model->calls().empty());
}

TEST_F(CaptureWithFakeSystem, ForwardsDeliveredAudioWithGainAsPcm) {
    model->setTapFormat(tapFormat(44100));
    Capture capture;
    capture.gain = 0.5f;
    capture.start(fds[1]);
    std::vector<std::int16_t> pcm;
    for (int cycle = 0; cycle < 100; ++cycle) {
        deliver(0.8f, 441);
        std::this_thread::sleep_for(2ms);
        readAll(&pcm);
    }
    // Every accepted frame comes out (a list that meets the writer holding the ring's lock
    // is lost uncounted, by design, so `total` may stay below what was delivered).
    const auto stats = capture.ring().statistics();
    EXPECT_LE(stats.total, 44100u);
    EXPECT_GT(stats.total, 22050u);
    EXPECT_EQ(stats.dropped, 0u);
    EXPECT_FLOAT_EQ(stats.peak, 0.8f);
    ASSERT_TRUE(waitFor([&] {
        readAll(&pcm);
        return pcm.size() / 2 + 8 >= stats.total;
    }));
    // Past the resampler's start-up every sample is 0.8 x 0.5 in 16 bits.
    EXPECT_NEAR(pcm[pcm.size() / 2] / 32768.0, 0.4, 0.001);
}

TEST_F(CaptureWithFakeSystem, ClosedReaderIsReportedOnceOnTheMainThread) {
    Capture capture;
    std::vector<std::string> failures;
    std::thread::id thread;
    capture.onFailure = [&](const std::string& text) {
        failures.push_back(text);
        thread = std::this_thread::get_id();
    };
    capture.start(fds[1]);
    ::close(fds[0]);
    fds[0] = -1;
    for (int cycle = 0; cycle < 30; ++cycle) {
        deliver(0.1f);
        settle(10ms);
    }
    EXPECT_EQ(failures, std::vector<std::string>{"发送进程已停止接收音频"});
    EXPECT_EQ(thread, std::this_thread::get_id());
}

TEST_F(CaptureWithFakeSystem, FailureQueuedBeforeDestructionIsNeverDelivered) {
    int failures = 0;
    {
        Capture capture;
        capture.onFailure = [&](const std::string&) { ++failures; };
        capture.start(fds[1]);
        ::close(fds[0]);
        fds[0] = -1;
        deliver(0.1f);
        std::this_thread::sleep_for(100ms);  // the writer fails; the report waits in the main queue
    }
    settle(50ms);
    EXPECT_EQ(failures, 0);
}

// A converter whose conversions wait for the test, so that a tick can be held in progress.
struct GatedConverter : PcmConverter {
    Result convert(const float* input, std::size_t frames, std::int16_t*, std::size_t) override {
        std::unique_lock lock(mutex);
        seen.push_back(input[0]);
        changed.notify_all();
        changed.wait(lock, [&] { return open || failWith; });
        if (failWith) return {0, true, *failWith};
        return {frames, false, {}};
    }
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<float> seen;
    bool open = false;
    std::optional<std::string> failWith;
};

TEST_F(CaptureWithFakeSystem, NewGainAppliesFromTheNextTickNotToTheOneInProgress) {
    auto gated = new GatedConverter;
    Capture capture([gated](double) { return std::unique_ptr<PcmConverter>(gated); });
    capture.start(fds[1]);
    deliver(0.5f);
    {
        std::unique_lock lock(gated->mutex);
        ASSERT_TRUE(gated->changed.wait_for(lock, 5s, [&] { return gated->seen.size() == 1; }));
    }
    capture.setGain(0.5f);
    deliver(0.5f);
    {
        std::lock_guard lock(gated->mutex);
        gated->open = true;
    }
    gated->changed.notify_all();
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard lock(gated->mutex);
        return gated->seen.size() == 2;
    }));
    std::lock_guard lock(gated->mutex);
    EXPECT_EQ(gated->seen, (std::vector<float>{0.5f, 0.25f}));
}

TEST_F(CaptureWithFakeSystem, ConversionFailureReportsTheConverterTextOrTheGeneralOne) {
    for (const char* text : {"", "重采样出错"}) {
        auto gated = new GatedConverter;
        gated->failWith = std::string(text);
        Capture capture([gated](double) { return std::unique_ptr<PcmConverter>(gated); });
        std::vector<std::string> failures;
        capture.onFailure = [&](const std::string& message) { failures.push_back(message); };
        capture.start(fds[1]);
        for (int cycle = 0; cycle < 10; ++cycle) {
            deliver(0.1f);
            settle(10ms);
        }
        EXPECT_EQ(failures, std::vector<std::string>{*text ? text : "音频转换失败"});
        std::lock_guard lock(gated->mutex);
        EXPECT_EQ(gated->seen.size(), 1u);
    }
}

// The controller closes its end right after stop(); the descriptor number may then be
// reused at once by another pipe, which must never receive a byte.
TEST_F(CaptureWithFakeSystem, StopReleasesTheWriterWithoutWaitingForTheReader) {
    model->setTapFormat(tapFormat(44100));
    Capture capture;
    capture.start(fds[1]);
    // Nobody reads: the pipe fills and the writer waits inside a write.
    for (int cycle = 0; cycle < 100; ++cycle) deliver(0.3f, 4096);
    settle(100ms);
    const auto before = capture.ring().statistics();
    EXPECT_GT(before.dropped, 0u);
    EXPECT_LE(before.total, 409600u);

    capture.stop();
    ::close(fds[1]);
    int reused[2];
    ASSERT_EQ(::pipe2(reused, O_CLOEXEC | O_NONBLOCK), 0);
    for (int cycle = 0; cycle < 10; ++cycle) deliver(0.3f);
    settle(50ms);
    char byte;
    EXPECT_EQ(::read(reused[0], &byte, 1), -1);
    ::close(reused[0]);
    ::close(reused[1]);

    // The worker's end sees end-of-stream once the buffered audio is read.
    fds[1] = -1;
    std::size_t drained = 0;
    ASSERT_TRUE(waitFor([&] {
        char chunk[65536];
        const ssize_t n = ::read(fds[0], chunk, sizeof chunk);
        if (n > 0) drained += std::size_t(n);
        return n == 0;
    }));
    EXPECT_GT(drained, 0u);
    EXPECT_EQ(drained % 4, 0u);
}

}  // namespace
}  // namespace sonvale
