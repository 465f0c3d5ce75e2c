#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "controller/sonvale.h"
#include "coreaudio/device_model.h"
#include "coreaudio/devices.h"
#include "entry/constants.h"
#include "sender/worker_process.h"
#include "support/controller_probe.h"

namespace sonvale::test {

inline const QString speakerName = QStringLiteral("内置音频 扬声器");
inline const QString headsetName = QStringLiteral("Logitech USB Headset");

// Runs the event loop until the predicate holds or the time is up.
inline bool waitUntil(const std::function<bool()>& predicate, int timeoutMs = 5000) {
    QDeadlineTimer deadline(timeoutMs);
    while (!predicate()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

inline QStringList lines(const QString& text) { return text.split('\n', Qt::SkipEmptyParts); }

// Log lines without their timestamps.
inline QStringList logMessages(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    QStringList result;
    for (const QString& line : lines(QString::fromUtf8(file.readAll()))) result << line.section(' ', 1);
    return result;
}

// A resource directory holding the scripted worker as sender.py.
inline void installScriptedSender(const QString& resourceDir) {
    QDir().mkpath(resourceDir + "/vendor/pyatv");
    QFile::remove(resourceDir + "/sender.py");
    QFile::copy(QStringLiteral(SONVALE_TESTS_DIR "/launch/scripted_sender.py"), resourceDir + "/sender.py");
    QFile(resourceDir + "/vendor/pyatv/__init__.py").open(QIODevice::WriteOnly);
}

// A controller whose every path lies in a temporary directory, with a clock that moves
// only when the test moves it. The audio system is chosen by the test.
class ControllerFixture {
public:
    ControllerFixture() {
        environment.resourceDir = dir.filePath("share/sonvale");
        environment.logPath = dir.filePath("state/Sonvale/Sonvale.log");
        environment.settingsPath = dir.filePath("config/local.sonvale.conf");
        environment.autostartPath = dir.filePath("config/autostart/local.sonvale.desktop");
        environment.runtimeDir = dir.filePath("runtime");
        QDir().mkpath(environment.runtimeDir);
        environment.executablePath = QStringLiteral("/opt/sonvale/bin/sonvale");
        environment.arguments = {QStringLiteral("sonvale"), QStringLiteral("--background")};
        environment.clock = clock;
        installScriptedSender(environment.resourceDir);
    }

    ~ControllerFixture() { stop(); }

    // Stops the engine, removes the forwarding device and lets the ended worker be reaped
    // before the next test.
    void stop() {
        if (!controller) return;
        controller->stopEngine();
        if (inspector->outputDevice() != 0) coreaudio::destroyAggregate(inspector->outputDevice());
        waitUntil([] { return WorkerProcess::unreapedCount() == 0; }, 5000);
        inspector.reset();
        controller.reset();
    }

    Sonvale& make() {
        controller = std::make_unique<Sonvale>(environment);
        inspector = std::make_unique<ControllerProbe>(*controller);
        return *controller;
    }

    void enableForwarding(const QString& name = QStringLiteral("卧室")) {
        controller->setTargetName(name);
        controller->setEnabled(true);
    }

    // Ticks at the current manual time and waits for the worker's "ready" to be handled.
    bool tickUntilForwarding() {
        controller->tick();
        if (!inspector->worker()) return false;
        return waitUntil([this] { return inspector->capture() != nullptr; }, 10000);
    }

    QStringList log() const { return logMessages(environment.logPath); }

    QTemporaryDir dir;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    SonvaleEnvironment environment;
    std::unique_ptr<Sonvale> controller;
    std::unique_ptr<ControllerProbe> inspector;
};

}  // namespace sonvale::test
