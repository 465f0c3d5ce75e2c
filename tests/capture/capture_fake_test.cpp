#include <gtest/gtest.h>

#include <QThread>
#include <ctime>
#include <set>
#include <thread>

#include "base/platform_error.h"
#include "capture/capture.h"
#include "capture_test_util.h"
#include "support/device_model.h"

// The capture over the device model: start failures, teardown, audio and failure reports.
namespace sonvale {
namespace {

using namespace coreaudio;
using namespace std::chrono_literals;
using Op = DeviceModel::Operation;
using Names = std::vector<std::string>;

AudioStreamBasicDescription tapFormat(double rate, std::uint32_t flags = kAudioFormatFlagIsFloat, std::uint32_t bits = 32) {
    return {rate, kAudioFormatLinearPCM, flags, 8, 1, 8, 2, bits, 0};
}

struct FailingConverter : PcmConverter {
    Result convert(const float*, std::size_t, std::int16_t*, std::size_t) override { return {0, true, ""}; }
};

class CaptureWithModel : public ::testing::Test {
protected:
    void SetUp() override { setAudioSystem(model); }
    void TearDown() override { setAudioSystem(nullptr); }
    void deliver(float value, std::uint32_t frames = 441) {
        std::vector<float> samples(frames * 2, value);
        AudioBuffer buffer{2, frames * 8, samples.data()};
        model->deliver(AudioBufferList{1, &buffer});
    }

    std::shared_ptr<DeviceModel> model = std::make_shared<DeviceModel>();
    AudioObjectID speaker = model->addDevice(DeviceModel::speaker());
    test::Pipe pipe;
};

// Each failure throws its text and has undone everything before start() returns.
TEST_F(CaptureWithModel, StartFailuresThrowTheirTextsAndLeaveNothingBehind) {
    const Names tapOnly = {"createProcessTap", "destroyProcessTap"};
    const Names withAggregate = {"createProcessTap", "createAggregateDevice", "destroyAggregateDevice", "destroyProcessTap"};
    const auto fails = [](Op op) { return [op](DeviceModel& m) { m.fail(op, -50); }; };
    const auto format = [](auto... args) { return [=](DeviceModel& m) { m.setTapFormat(tapFormat(args...)); }; };
    const std::tuple<std::function<void(DeviceModel&)>, std::int64_t, std::string, Names> cases[] = {
        {[](DeviceModel& m) { m.removeDevice(100); }, 1, "找不到 Mac 内建扬声器时钟设备", {}},
        {format(48000.0, 0u, 16u), 2, "系统捕获格式不是 Float32", tapOnly},
        {format(48000.0, kAudioFormatFlagIsFloat, 64u), 2, "系统捕获格式不是 Float32", tapOnly},
        {[](DeviceModel& m) { m.setTapUID(std::nullopt); }, 3, "系统未返回捕获标识", tapOnly},
        {format(0.0), 4, "无法建立音频重采样器", withAggregate},
        {fails(Op::createTap), -50, "建立系统音频捕获失败（-50）", {}},
        {fails(Op::readTapFormat), -50, "读取捕获格式失败（-50）", tapOnly},
        {fails(Op::createAggregate), -50, "建立音频设备失败（-50）", tapOnly},
        {fails(Op::createIOProc), -50, "注册音频捕获回调失败（-50）", withAggregate},
        {fails(Op::start), -50, "开始系统音频捕获，请检查系统音频录制权限失败（-50）",
         {"createProcessTap", "createAggregateDevice", "createIOProcID", "deviceStop", "destroyIOProcID",
          "destroyAggregateDevice", "destroyProcessTap"}},
    };
    for (const auto& [arrange, code, text, calls] : cases) {
        SCOPED_TRACE(text);
        setAudioSystem(model = std::make_shared<DeviceModel>());
        model->addDevice(DeviceModel::speaker());
        arrange(*model);
        Capture capture;
        try {
            capture.start(pipe.fds[1]);
            ADD_FAILURE() << "started";
        } catch (const PlatformError& error) {
            EXPECT_EQ(error.localizedDescription(), text);
            EXPECT_EQ(error.code(), code);
            EXPECT_EQ(error.domain(), code > 0 ? "local.sonvale" : "Sonvale");
        }
        EXPECT_EQ(model->calls(), calls);
        EXPECT_EQ(model->liveTapsAndIOProcs(), 0u);
        capture.stop();
        EXPECT_EQ(model->calls(), calls) << "nothing is destroyed twice";
    }
}

TEST_F(CaptureWithModel, ForwardsDeliveredAudioWithGainAsPcmAndTearsDownInOrder) {
    model->setTapFormat(tapFormat(44100));
    Capture capture;
    capture.gain = 0.5f;
    Names lines;
    capture.onLog = [&](const std::string& text) { lines.push_back(text); };
    capture.start(pipe.fds[1]);
    EXPECT_EQ(lines, Names{"捕获 44100 Hz Float32 → 44100 Hz PCM16"});
    EXPECT_EQ(model->aggregateDescriptions().at(0)["private"], 1) << "never listed among the outputs";
    std::vector<std::int16_t> pcm;
    // Silence, both limits and a tone: at the wire's rate each is rounded to its exact 16-bit value.
    for (int cycle = 0; cycle < 100; ++cycle) deliver(std::data({0.0f, 3.0f, -3.0f, 0.8f})[cycle % 4]), std::this_thread::sleep_for(2ms), pipe.readPcm(pcm);
    const auto stats = capture.ring().statistics();
    EXPECT_GT(stats.total, 22050u);  // a list meeting the writer on the ring's lock is lost uncounted
    EXPECT_EQ(stats.dropped, 0u);
    EXPECT_FLOAT_EQ(stats.peak, 0.8f);
    ASSERT_TRUE(test::waitUntil([&] { return pipe.readPcm(pcm), pcm.size() / 2 + 8 >= stats.total; }));
    EXPECT_EQ(std::set(pcm.begin(), pcm.end()), (std::set<std::int16_t>{-32768, 0, 13107, 32767}));
    // With nothing coming, the writer thread sleeps between its ticks instead of spinning.
    const std::clock_t idleFrom = std::clock();
    std::this_thread::sleep_for(300ms);
    EXPECT_LT(double(std::clock() - idleFrom) / CLOCKS_PER_SEC, 0.1);
    capture.stop();
    EXPECT_EQ(model->calls(), (Names{"createProcessTap", "createAggregateDevice", "createIOProcID", "deviceStart",
                                     "deviceStop", "destroyIOProcID", "destroyAggregateDevice", "destroyProcessTap"}));
}

// A reader that has gone or a failed conversion is reported once, on the main thread, never after the capture; a slow one is waited for.
TEST_F(CaptureWithModel, FailuresAreReportedOnceOnTheMainThread) {
    for (const auto& [readerGone, convert, expected] : {std::tuple(true, true, Names{"发送进程已停止接收音频"}),
                                                        {false, false, Names{"音频转换失败"}}, {false, true, Names{}}}) {
        Names failures;
        Capture capture([&](double rate) { return convert ? makePcmConverter(rate) : std::make_unique<FailingConverter>(); });
        capture.onFailure = [&](const std::string& text) {
            failures.push_back(QThread::currentThread() == qApp->thread() ? text : "off the main thread: " + text);
        };
        test::Pipe own;
        capture.start(own.fds[1]);
        if (readerGone) own.close(0);
        for (int cycle = 0; cycle < 20; ++cycle) deliver(0.1f, 4410), test::listen(10);  // 350 KB: more than a pipe holds
        EXPECT_EQ(failures, expected);
    }
    Names late;
    {
        Capture capture;
        capture.onFailure = [&](const std::string& text) { late.push_back(text); };
        capture.start(pipe.fds[1]);
        pipe.close(0);
        deliver(0.1f);
        std::this_thread::sleep_for(100ms);  // the writer fails; the report waits in the main queue
    }
    test::listen(50);
    EXPECT_TRUE(late.empty());
}

}  // namespace
}  // namespace sonvale
