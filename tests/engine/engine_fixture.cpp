#include "engine/engine_fixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTextStream>

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "capture/capture.h"
#include "coreaudio/devices.h"
#include "sender/worker_process.h"

namespace sonvale::test {

using namespace coreaudio;

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
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

std::vector<pid_t> childProcesses() {
    std::vector<pid_t> children;
    const pid_t self = ::getpid();
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        // pid (comm) state ppid ...: comm may hold spaces, so parse after the last ')'.
        std::istringstream rest(line.substr(line.rfind(')') + 2));
        char state = 0;
        pid_t parent = 0;
        rest >> state >> parent;
        if (parent == self) children.push_back(std::stoi(name));
    }
    return children;
}

std::set<std::string> openPipes() {
    std::set<std::string> pipes;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const auto target = std::filesystem::read_symlink(entry.path(), error).string();
        if (!error && target.starts_with("pipe:")) pipes.insert(entry.path().filename().string() + " " + target);
    }
    return pipes;
}

void EngineTest::SetUp() {
    std::signal(SIGPIPE, SIG_IGN);
    for (const char* option : {"SONVALE_TEST_SINK", "SONVALE_TEST_EXIT_AFTER", "SONVALE_TEST_MESSAGE",
                               "SONVALE_TEST_EXIT", "SONVALE_TEST_FLOOD_BYTES", "SONVALE_TEST_RECORD",
                               "SONVALE_TEST_MARKER"}) {
        ::unsetenv(option);
    }
    ASSERT_TRUE(dir.isValid());
    QDir().mkpath(dir.filePath("resources/vendor"));
    QDir().mkpath(dir.filePath("state/Sonvale"));

    model = std::make_shared<DeviceModel>();
    speaker = model->addDevice({0, std::string("BuiltInSpeakerDevice"), std::string("内置音频 扬声器"),
                                transport::builtIn});
    headphones = model->addDevice({0, std::string("alsa_output.usb-headset"), std::string("USB 耳机"),
                                   transport::usb});
    model->setDefaultOutput(speaker);
    setAudioSystem(model);

    clock = std::make_shared<ManualClock>();
    SonvaleEnvironment environment;
    environment.resourceDir = dir.filePath("resources");
    environment.logPath = dir.filePath("state/Sonvale/Sonvale.log");
    environment.settingsPath = dir.filePath("config/local.sonvale.conf");
    environment.runtimeDir = dir.filePath("runtime");
    environment.clock = clock;
    pipesBefore = openPipes();
    childrenBefore = childProcesses();
    controller = std::make_unique<Sonvale>(environment);
    inspect = std::make_unique<ControllerProbe>(*controller);
    useWorker("silent");
    configure();
}

void EngineTest::TearDown() {
    if (controller) {
        stopAndReap();
        EXPECT_EQ(WorkerProcess::unreapedCount(), 0u);
        EXPECT_TRUE(noWorkerProcesses()) << "a worker process was left behind";
        EXPECT_EQ(inspect->input(), -1);
        EXPECT_FALSE(inspect->workerOut());
        inspect.reset();
        controller.reset();
    }
    setAudioSystem(std::make_shared<DeviceModel>());
    EXPECT_EQ(openPipes(), pipesBefore) << "a pipe was left open";
    EXPECT_EQ(model->liveTaps(), 0u);
    EXPECT_EQ(model->liveIOProcs(), 0u);
}

void EngineTest::useWorker(const std::string& scenario) {
    const QString workers = QStringLiteral(SONVALE_TESTS_DIR "/engine/workers");
    QFile script(dir.filePath("resources/sender.py"));
    ASSERT_TRUE(script.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QTextStream(&script) << "import runpy, sys\n"
                         << "sys.path.insert(0, '" << workers << "')\n"
                         << "runpy.run_path('" << workers << "/" << QString::fromStdString(scenario)
                         << ".py', run_name='__main__')\n";
}

void EngineTest::configure(const QString& name, bool on) {
    controller->setTargetName(name);
    controller->setEnabled(on);
}

QStringList EngineTest::logMessages() const {
    QFile file(dir.filePath("state/Sonvale/Sonvale.log"));
    QStringList messages;
    if (!file.open(QIODevice::ReadOnly)) return messages;
    for (const QString& line : QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts)) {
        messages << line.section(' ', 1);
    }
    return messages;
}

bool EngineTest::waitForMessage(const QString& text, std::chrono::milliseconds limit) {
    return waitFor([&] { return inspect->message() == text; }, limit);
}

bool EngineTest::waitForNoWorker(std::chrono::milliseconds limit) {
    return waitFor([&] { return !inspect->worker(); }, limit);
}

bool EngineTest::noWorkerProcesses() const { return childProcesses() == childrenBefore; }

void EngineTest::stopAndReap(std::chrono::milliseconds limit) {
    controller->stopEngine();
    EXPECT_TRUE(waitFor([&] { return WorkerProcess::unreapedCount() == 0 && noWorkerProcesses(); }, limit))
        << "worker processes still unreaped: " << WorkerProcess::unreapedCount();
}

void EngineTest::deliverTone(std::uint32_t frames) {
    std::vector<float> samples(std::size_t(frames) * 2);
    for (std::uint32_t i = 0; i < frames; ++i) {
        const float value = 0.5f * std::sin(2.0f * float(M_PI) * 1000.0f * float(i) / 48000.0f);
        samples[2 * i] = samples[2 * i + 1] = value;
    }
    AudioBuffer buffer{2, frames * 8, samples.data()};
    model->deliver(AudioBufferList{1, &buffer});
}

}  // namespace sonvale::test
