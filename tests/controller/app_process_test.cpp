#include <QProcess>
#include <gtest/gtest.h>

#include <csignal>

#include "controller/controller_fixture.h"
#include "support/sound_server.h"

namespace sonvale::test {
namespace {

using namespace topology;
const QString launchLine = QStringLiteral("启动 Sonvale；不使用菜单脚本；旧菜单工具应保持停用");

// The real executable on a private sound server, the stand-in worker as its sender.
class AppProcessTest : public ::testing::TestWithParam<SoundServerKind> {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.running()) << server.error();
        installStandInWorker(dir.filePath("share/sonvale"), ready);
        QDir().mkpath(dir.filePath("runtime"));
        QFile::setPermissions(dir.filePath("runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        environment = QProcessEnvironment::systemEnvironment();
        environment.insert("SONVALE_RESOURCES", dir.filePath("share/sonvale"));
        environment.insert("XDG_RUNTIME_DIR", dir.filePath("runtime"));
        environment.insert("XDG_CONFIG_HOME", dir.filePath("config"));
        environment.insert("XDG_STATE_HOME", dir.filePath("state"));
        environment.insert("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent");
    }

    void TearDown() override {
        for (auto& process : processes) {
            process->kill();
            process->waitForFinished(5000);
        }
    }

    QProcess& launch(const QStringList& arguments = {"--background"}) {
        auto& process = processes.emplace_back(std::make_unique<QProcess>());
        process->setProcessEnvironment(environment);
        process->setProcessChannelMode(QProcess::ForwardedChannels);
        process->start(QStringLiteral(SONVALE_EXECUTABLE), arguments);
        process->waitForStarted(5000);
        return *process;
    }

    QStringList log() const { return logMessages(dir.filePath("state/Sonvale/Sonvale.log")); }
    bool forwarding() const { return server.defaultSink() == outputUID; }
    void enableForwarding() { storeSettings(dir.filePath("config/local.sonvale.conf"), true); }
    // As another program would: unloading its module, or on PipeWire destroying the node the app made itself.
    bool removeForwardingOutput() const {
        const auto sink = server.sink(std::string(outputUID));
        if (sink && sink->ownerModule != UINT32_MAX) return server.unloadModule(sink->ownerModule);
        return runCommand({"pw-cli", "destroy", std::string(outputUID)}, std::chrono::seconds(5),
                          {{"PIPEWIRE_REMOTE", server.directory() + "/runtime/pipewire-0"}}).exitStatus == 0;
    }

    SoundServer server{GetParam()};
    QTemporaryDir dir;
    QProcessEnvironment environment;
    std::vector<std::unique_ptr<QProcess>> processes;
};

TEST_P(AppProcessTest, ForwardsHoldsOnTheHeadsetResumesOnTheSpeakerAndGivesItBackOnEachSignal) {
    enableForwarding();
    // Workers that ignore SIGTERM and the end of their input, and yet none outlives the app.
    environment.insert("SONVALE_TEST_THEN", "wedged");
    const std::string worker = dir.filePath("share/sonvale/sender.py").toStdString();
    // SIGKILL skips the termination sequence: the guardian gives the output the user had (a monitor's) back then.
    for (int number : {SIGTERM, SIGINT, SIGHUP, SIGKILL}) {
        SCOPED_TRACE(strsignal(number));
        QFile::remove(dir.filePath("state/Sonvale/Sonvale.log"));
        if (number == SIGKILL) { ASSERT_TRUE(server.setDefaultSink(hdmiSink)); }
        QProcess& app = launch();
        ASSERT_TRUE(waitUntil([this] { return forwarding(); }, 20000)) << log().join('\n').toStdString();
        if (number == SIGTERM) {
            EXPECT_EQ(log().mid(0, 4), (QStringList{QStringLiteral("无法连接系统总线，不处理睡眠和唤醒"), launchLine,
                                                    QStringLiteral("默认输出：内置音频 扬声器 [BuiltInSpeakerDevice]"),
                                                    QStringLiteral("正在独立连接 卧室…")}));
            ASSERT_TRUE(server.setDefaultSink(usbSink));
            EXPECT_TRUE(waitUntil([this] { return log().last().startsWith(QStringLiteral("保留当前输出：")); }));
            EXPECT_EQ(server.defaultSink(), usbSink) << "the user's choice stays";
            ASSERT_TRUE(server.setDefaultSink(speakerSink));
            ASSERT_TRUE(waitUntil([this] { return forwarding(); }, 10000)) << "forwarding resumes on the speaker";
            // Removed by someone else: the server's fallback is not the user's choice.
            ASSERT_TRUE(removeForwardingOutput());
            EXPECT_TRUE(waitUntil([this] { return log().contains(QStringLiteral("转发输出已被移除；2 秒后重试")); }));
            ASSERT_TRUE(waitUntil([this] { return forwarding(); }, 10000)) << log().join('\n').toStdString();
        }
        if (number == SIGKILL) {  // nothing of the app's is held by the guardian: no lock, no server connection
            const QString guardian = QString::fromStdString(runCommand({"pgrep", "-P", std::to_string(app.processId()), "-f", " --guardian"}).out).trimmed();
            EXPECT_EQ(QDir("/proc/" + guardian + "/fd").entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot), (QStringList{"0", "1", "2"}));
        }
        ::kill(pid_t(app.processId()), number);
        ASSERT_TRUE(app.waitForFinished(10000));
        if (number != SIGKILL) { EXPECT_EQ(app.exitCode(), 0); }
        EXPECT_TRUE(waitUntil([&] { return runCommand({"pgrep", "-f", worker}).exitStatus == 1; }, 5000));
        EXPECT_TRUE(waitUntil([this] { return !server.sink(std::string(outputUID)); }));
        EXPECT_EQ(server.defaultSink(), number == SIGKILL ? hdmiSink : speakerSink);
    }
}

TEST_P(AppProcessTest, ALeftoverIsReplacedAndForwardingOutlivesAStoppedServerAndARestart) {
    ASSERT_TRUE(server.loadModule("module-null-sink", "sink_name=" + std::string(outputUID) +
                                                          " sink_properties=device.description=Leftover"));
    ASSERT_TRUE(server.setDefaultSink(std::string(outputUID)));
    const QString pcm = dir.filePath("pcm");
    environment.insert("SONVALE_TEST_SINK", pcm);
    enableForwarding();
    launch();
    ASSERT_TRUE(waitUntil([&] {
        const auto output = server.sink(std::string(outputUID));  // absent while the leftover is replaced
        return forwarding() && output && output->description != "Leftover";
    }, 20000)) << log().join('\n').toStdString();

    server.signal(SIGSTOP);
    // The main thread answers the second copy while the server is stopped.
    QProcess& second = launch();
    EXPECT_TRUE(second.waitForFinished(5000));
    EXPECT_EQ(log().count(launchLine), 1) << "the second copy hands over and leaves everything alone";
    waitUntil([] { return false; }, 5000);
    server.signal(SIGCONT);
    EXPECT_TRUE(waitUntil([this] { return forwarding(); }, 20000));

    server.stop();
    ASSERT_TRUE(server.start());
    ASSERT_TRUE(waitUntil([this] { return forwarding(); }, 30000)) << log().join('\n').toStdString();
    // 44100 Hz 16-bit stereo reaches the new worker once a fresh null sink delivers (≤ 2 s).
    waitUntil([] { return false; }, 3000);
    const qint64 before = QFileInfo(pcm).size();
    waitUntil([] { return false; }, 2000);
    EXPECT_NEAR(double(QFileInfo(pcm).size() - before), 2 * 176400.0, 0.1 * 2 * 176400.0);

    // Without the speaker, a worker that ends leaves another real output, never the silent one.
    ASSERT_TRUE(server.unloadModule(server.sink(speakerSink)->ownerModule));
    const QString ended = QStringLiteral("HomePod 连接已结束，已恢复本机声音；2 秒后重试");
    runCommand({"pkill", "-KILL", "-f", dir.filePath("share/sonvale/sender.py").toStdString()});
    ASSERT_TRUE(waitUntil([&] { return log().contains(ended); }, 10000)) << log().join('\n').toStdString();
    const QStringList lines = log();
    EXPECT_EQ(lines[lines.lastIndexOf(ended) - 1], QStringLiteral("已恢复本机输出：Built-in Audio Digital Stereo (HDMI)")) << lines.join('\n').toStdString();

    // Every real output goes (a monitor asleep) while forwarding and the run ends: no refusal, the attempts wait,
    // and the monitor has the sound within 2 s of waking.
    ASSERT_TRUE(waitUntil([this] { return forwarding(); }, 10000));
    for (const auto& sink : server.sinks())
        if (sink.name.starts_with("alsa_") || sink.name.starts_with("bluez_")) { ASSERT_TRUE(server.unloadModule(sink.ownerModule)); }
    runCommand({"pkill", "-KILL", "-f", dir.filePath("share/sonvale/sender.py").toStdString()});
    ASSERT_TRUE(waitUntil([&] { return log().contains(QStringLiteral("找不到 Mac 内建扬声器时钟设备；4 秒后重试")) && forwarding(); }, 10000));
    ASSERT_TRUE(server.loadModule("module-null-sink", "sink_name=" + hdmiSink + " sink_properties='device.api=alsa device.bus=pci device.string=hdmi:0'"));
    EXPECT_TRUE(waitUntil([&] { return server.defaultSink() == hdmiSink; }, 2000)) << server.defaultSink();
    EXPECT_TRUE(waitUntil([this] { return forwarding(); }, 10000)) << log().join('\n').toStdString();
}

// A laptop (PipeWire): its card's sink with a speaker and a headphone jack (tests/support/pipewire_card.cpp) in
// place of the speaker's null sink.
class LaptopCardTest : public AppProcessTest {};

TEST_P(LaptopCardTest, HeadphonesPluggedInWhileForwardingHoldItWithTheSoundOnThemAndPulledOutResumeIt) {
    // The exported card carries what PipeWire 0.3's pipewire-pulse and WirePlumber 0.4 need (Debian 12). On
    // PipeWire 1.x (Debian 13) its sink does not stay an output there, so the card proves nothing.
    if (runCommand({"pipewire", "--version"}).out.find("libpipewire 0.3.") == std::string::npos) {
        GTEST_SKIP() << "the laptop card is modelled on PipeWire 0.3";
    }
    const std::string laptopSink = "alsa_output.pci-0000_00_1f.3.analog-stereo";
    QProcess card;
    card.setProcessChannelMode(QProcess::ForwardedChannels);
    QProcessEnvironment cardEnvironment = environment;
    cardEnvironment.insert("PIPEWIRE_RUNTIME_DIR", QString::fromStdString(server.directory() + "/runtime"));
    // Not the app's suppressions: ThreadSanitizer ends a process that unloads a library one of them names, and
    // libpipewire loads and unloads libdbus.
    cardEnvironment.insert("TSAN_OPTIONS", "die_after_fork=0");
    card.setProcessEnvironment(cardEnvironment);
    card.start(QStringLiteral(PIPEWIRE_CARD));
    ASSERT_TRUE(server.unloadModule(server.sink(speakerSink)->ownerModule));
    ASSERT_TRUE(waitUntil([&] {  // once the server knows the card's ports
        const auto sink = server.sink(laptopSink);
        return sink && sink->details.find("analog-output-speaker: ") != std::string::npos && server.setDefaultSink(laptopSink);
    }, 5000));
    enableForwarding();
    QProcess& app = launch();
    ASSERT_TRUE(waitUntil([this] { return forwarding(); }, 20000)) << log().join('\n').toStdString();
    // The clock is the card's sink whichever port plays; the headphones are the user's choice.
    EXPECT_TRUE(log().contains(QStringLiteral("默认输出：内置音频 模拟立体声 · 扬声器 [BuiltInSpeakerDevice]")));
    card.write("headphones\n");
    EXPECT_TRUE(waitUntil([this] { return log().contains(QStringLiteral("保留当前输出：内置音频 模拟立体声 · 耳机")); }, 10000))
        << log().join('\n').toStdString();
    EXPECT_TRUE(log().contains(QStringLiteral("默认输出：内置音频 模拟立体声 · 耳机 [BuiltInSpeakerDevice]")));
    EXPECT_TRUE(waitUntil([&] { return server.defaultSink() == laptopSink; }, 2000)) << server.defaultSink();
    card.write("speaker\n");
    EXPECT_TRUE(waitUntil([this] { return forwarding(); }, 10000)) << log().join('\n').toStdString();
    ::kill(pid_t(app.processId()), SIGTERM);
    ASSERT_TRUE(app.waitForFinished(10000));
    EXPECT_TRUE(waitUntil([&] { return server.defaultSink() == laptopSink; }, 2000)) << server.defaultSink();
    card.closeWriteChannel();
    EXPECT_TRUE(card.waitForFinished(5000) && card.exitCode() == 0) << "the card ends with its input, leaking nothing";
}

INSTANTIATE_TEST_SUITE_P(Servers, LaptopCardTest, ::testing::Values(SoundServerKind::pipewire),
                         [](const auto& param) { return std::string(soundServerName(param.param)); });

SONVALE_ON_BOTH_SERVERS(AppProcessTest);

}  // namespace
}  // namespace sonvale::test
