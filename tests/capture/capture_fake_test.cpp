#include <gtest/gtest.h>

#include <condition_variable>
#include <regex>
#include <thread>

#include "capture/capture.h"
#include "capture_test_util.h"
#include "coreaudio/device_model.h"
#include "coreaudio/platform_error.h"

namespace sonvale {
namespace {

using namespace coreaudio;
using namespace std::chrono_literals;
using test::settle;
using test::waitFor;
using Op = DeviceModel::Operation;
using Names = std::vector<std::string>;

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
        resetModel();
        ::fcntl(pipe.fds[0], F_SETFL, O_NONBLOCK);
    }
    void TearDown() override { setAudioSystem(std::make_shared<DeviceModel>()); }
    void resetModel() {
        model = std::make_shared<DeviceModel>();
        model->addDevice({0, std::string("BuiltInSpeakerDevice"), std::string("扬声器"), transport::builtIn});
        setAudioSystem(model);
    }

    // One IO cycle of interleaved stereo frames with every sample set to `value`.
    void deliver(float value, std::uint32_t frames = 480) {
        std::vector<float> samples(frames * 2, value);
        AudioBuffer buffer{2, frames * 8, samples.data()};
        model->deliver(AudioBufferList{1, &buffer});
    }
    Names callNames() {
        Names names;
        for (const auto& call : model->calls()) names.push_back(call.substr(0, call.find(' ')));
        return names;
    }

    std::shared_ptr<DeviceModel> model;
    test::Pipe pipe;
};

TEST_F(CaptureWithFakeSystem, StartFailuresThrowTheirTextsAndLeaveNothingBehind) {
    const Names tapOnly = {"createProcessTap", "destroyProcessTap"};
    const Names withAggregate = {"createProcessTap", "createAggregateDevice", "destroyAggregateDevice",
                                 "destroyProcessTap"};
    auto failing = [](Op op) { return [op](DeviceModel& m) { m.fail(op, -50); }; };
    auto format = [](double rate, bool isFloat, std::uint32_t bits) {
        return [=](DeviceModel& m) { m.setTapFormat(tapFormat(rate, isFloat, bits)); };
    };
    struct Case {
        const char* name;
        std::function<void(DeviceModel&)> arrange;
        std::int64_t code;
        std::string text;
        Names calls;
        bool makesConverter = true, reportsFormat = false;
    };
    const std::vector<Case> cases = {
        {"no built-in speaker", [](DeviceModel& m) { m.removeDevice(m.allDevices().front().id); }, 1,
         "找不到 Mac 内建扬声器时钟设备", {}},
        {"16-bit integer tap", format(48000, false, 16), 2, "系统捕获格式不是 Float32", tapOnly},
        {"32-bit integer tap", format(48000, false, 32), 2, "系统捕获格式不是 Float32", tapOnly},
        {"64-bit float tap", format(48000, true, 64), 2, "系统捕获格式不是 Float32", tapOnly},
        {"empty tap UID", [](DeviceModel& m) { m.setTapUID(std::string()); }, 3, "系统未返回捕获标识", tapOnly},
        {"unreadable tap UID", [](DeviceModel& m) { m.setTapUID(std::nullopt); }, 3, "系统未返回捕获标识", tapOnly},
        {"no converter", [](DeviceModel&) {}, 4, "无法建立音频重采样器", withAggregate, false},
        {"zero tap rate", format(0, true, 32), 4, "无法建立音频重采样器", withAggregate},
        {"tap creation", failing(Op::createTap), -50, "建立系统音频捕获失败（-50）", {}},
        {"tap format", failing(Op::readTapFormat), -50, "读取捕获格式失败（-50）", tapOnly},
        {"aggregate", failing(Op::createAggregate), -50, "建立音频设备失败（-50）", tapOnly},
        {"IO proc", failing(Op::createIOProc), -50, "注册音频捕获回调失败（-50）", withAggregate, true, true},
        {"IO start", failing(Op::start), -50, "开始系统音频捕获，请检查系统音频录制权限失败（-50）",
         {"createProcessTap", "createAggregateDevice", "createIOProcID", "deviceStop", "destroyIOProcID",
          "destroyAggregateDevice", "destroyProcessTap"},
         true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        resetModel();
        c.arrange(*model);
        int formats = 0;
        {
            Capture capture(c.makesConverter ? PcmConverterFactory(makePcmConverter)
                                             : PcmConverterFactory([](double) { return nullptr; }));
            capture.onFormat = [&](const std::string&) { ++formats; };
            try {
                capture.start(pipe.fds[1]);
                ADD_FAILURE() << "start succeeded";
            } catch (const PlatformError& error) {
                EXPECT_EQ(error.localizedDescription(), c.text);
                EXPECT_EQ(error.code(), c.code);
                if (c.code > 0) {
                    EXPECT_EQ(error.domain(), "local.sonvale");
                }
            }
            // Everything is undone before start() returns, not later, and stop() destroys nothing twice.
            EXPECT_EQ(callNames(), c.calls);
            EXPECT_EQ(model->liveTaps() + model->liveIOProcs(), 0u);
            capture.stop();
        }
        EXPECT_EQ(callNames(), c.calls);
        EXPECT_EQ(formats, c.reportsFormat ? 1 : 0);
        EXPECT_TRUE(pipe.readAvailable().empty());
    }
}

TEST_F(CaptureWithFakeSystem, BuildsAPrivateAggregateCarryingAPrivateMutingTapAndTearsItDownInOrder) {
    {
        Capture never;
        never.stop();
        never.stop();
    }
    EXPECT_TRUE(model->calls().empty());

    model->setTapFormat(tapFormat(22050.9));
    Capture capture;
    Names lines;
    capture.onFormat = [&](const std::string& text) { lines.push_back(text); };
    capture.start(pipe.fds[1]);
    EXPECT_EQ(lines, Names{"捕获 22050 Hz Float32 → 44100 Hz PCM16"});
    const auto tap = model->tap(AudioObjectID(std::stoul(model->calls().front().substr(17))));
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
    EXPECT_TRUE(std::regex_match(uid, std::regex("local\\.sonvale\\.capture\\.[-0-9A-F]{36}"))) << uid;

    capture.stop();
    capture.stop();
    EXPECT_EQ(callNames(), (Names{"createProcessTap", "createAggregateDevice", "createIOProcID", "deviceStart",
                                  "deviceStop", "destroyIOProcID", "destroyAggregateDevice", "destroyProcessTap"}));
}

TEST_F(CaptureWithFakeSystem, ForwardsDeliveredAudioWithGainAsPcm) {
    model->setTapFormat(tapFormat(44100));
    Capture capture;
    capture.gain = 0.5f;
    capture.start(pipe.fds[1]);
    std::vector<std::int16_t> pcm;
    for (int cycle = 0; cycle < 100; ++cycle) {
        deliver(0.8f, 441);
        std::this_thread::sleep_for(2ms);
        pipe.readPcm(pcm);
    }
    // A list that meets the writer holding the ring's lock is lost uncounted, so `total`
    // may stay below what was delivered; every frame it counts comes out.
    const auto stats = capture.ring().statistics();
    EXPECT_LE(stats.total, 44100u);
    EXPECT_GT(stats.total, 22050u);
    EXPECT_EQ(stats.dropped, 0u);
    EXPECT_FLOAT_EQ(stats.peak, 0.8f);
    ASSERT_TRUE(waitFor([&] {
        pipe.readPcm(pcm);
        return pcm.size() / 2 + 8 >= stats.total;
    }));
    EXPECT_NEAR(pcm[pcm.size() / 2] / 32768.0, 0.4, 0.001);  // past the resampler's start-up
}

// A closed reader is reported once, on the main thread, and never after the capture is gone.
TEST_F(CaptureWithFakeSystem, ClosedReaderIsReportedOnceOnTheMainThread) {
    Names failures;
    std::thread::id thread;
    {
        Capture capture;
        capture.onFailure = [&](const std::string& text) {
            failures.push_back(text);
            thread = std::this_thread::get_id();
        };
        capture.start(pipe.fds[1]);
        pipe.close(0);
        for (int cycle = 0; cycle < 30; ++cycle) {
            deliver(0.1f);
            settle(10ms);
        }
        EXPECT_EQ(failures, Names{"发送进程已停止接收音频"});
        EXPECT_EQ(thread, std::this_thread::get_id());
    }
    test::Pipe second;
    {
        Capture capture;
        capture.onFailure = [&](const std::string& text) { failures.push_back(text); };
        capture.start(second.fds[1]);
        second.close(0);
        deliver(0.1f);
        std::this_thread::sleep_for(100ms);  // the writer fails; the report waits in the main queue
    }
    settle(50ms);
    EXPECT_EQ(failures.size(), 1u);
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
    std::size_t seenCount() {
        std::lock_guard lock(mutex);
        return seen.size();
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
    capture.start(pipe.fds[1]);
    deliver(0.5f);
    ASSERT_TRUE(waitFor([&] { return gated->seenCount() == 1; }));
    capture.setGain(0.5f);
    deliver(0.5f);
    {
        std::lock_guard lock(gated->mutex);
        gated->open = true;
    }
    gated->changed.notify_all();
    ASSERT_TRUE(waitFor([&] { return gated->seenCount() == 2; }));
    std::lock_guard lock(gated->mutex);
    EXPECT_EQ(gated->seen, (std::vector<float>{0.5f, 0.25f}));
}

TEST_F(CaptureWithFakeSystem, ConversionFailureReportsTheConverterTextOrTheGeneralOne) {
    for (const char* text : {"", "重采样出错"}) {
        auto gated = new GatedConverter;
        gated->failWith = std::string(text);
        Capture capture([gated](double) { return std::unique_ptr<PcmConverter>(gated); });
        Names failures;
        capture.onFailure = [&](const std::string& message) { failures.push_back(message); };
        capture.start(pipe.fds[1]);
        for (int cycle = 0; cycle < 10; ++cycle) {
            deliver(0.1f);
            settle(10ms);
        }
        EXPECT_EQ(failures, Names{*text ? text : "音频转换失败"});
        EXPECT_EQ(gated->seenCount(), 1u);
    }
}

// The controller closes its end right after stop(); the descriptor number may then be
// reused at once by another pipe, which must never receive a byte.
TEST_F(CaptureWithFakeSystem, StopReleasesTheWriterWithoutWaitingForTheReader) {
    model->setTapFormat(tapFormat(44100));
    Capture capture;
    capture.start(pipe.fds[1]);
    for (int cycle = 0; cycle < 100; ++cycle) deliver(0.3f, 4096);  // nobody reads: the writer waits
    settle(100ms);
    EXPECT_GT(capture.ring().statistics().dropped, 0u);

    capture.stop();
    pipe.close(1);
    test::Pipe reused;
    for (int cycle = 0; cycle < 10; ++cycle) deliver(0.3f);
    settle(50ms);
    EXPECT_TRUE(reused.readAvailable().empty());

    // The worker's end sees end-of-stream once the buffered audio is read.
    std::size_t drained = 0;
    ASSERT_TRUE(waitFor([&] {
        char chunk[65536];
        const ssize_t n = ::read(pipe.fds[0], chunk, sizeof chunk);
        if (n > 0) drained += std::size_t(n);
        return n == 0;
    }));
    EXPECT_GT(drained, 0u);
    EXPECT_EQ(drained % 4, 0u);
}

}  // namespace
}  // namespace sonvale
