#pragma once

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "controller/sonvale.h"
#include "coreaudio/devices.h"
#include "support/device_model.h"
#include "support/wait.h"

namespace sonvale::test {

inline const QString connected = QStringLiteral("已连接 卧室，正在转发系统音频");
inline const QString ready = QStringLiteral("{\"state\":\"ready\"}\\n");

// Log lines without their timestamps.
inline QStringList logMessages(const QString& path) {
    QFile file(path);
    QStringList result;
    file.open(QIODevice::ReadOnly);
    for (const QString& line : QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts)) result << line.section(' ', 1);
    return result;
}

inline QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool replaceFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// A resource directory whose sender.py is the stand-in worker; what it does is set by
// $SONVALE_TEST_LINES and $SONVALE_TEST_THEN, which reach it through the app.
inline void installStandInWorker(const QString& resourceDir, const QString& lines, const char* then = "read") {
    QDir().mkpath(resourceDir + "/vendor/pyatv");
    QFile::remove(resourceDir + "/sender.py");
    QFile::copy(QStringLiteral(SONVALE_TESTS_DIR "/controller/stand_in_worker.py"), resourceDir + "/sender.py");
    QFile(resourceDir + "/vendor/pyatv/__init__.py").open(QIODevice::WriteOnly);
    setenv("SONVALE_TEST_LINES", lines.toUtf8().constData(), 1);
    setenv("SONVALE_TEST_THEN", then, 1);
}

inline void storeSettings(const QString& path, bool enabled) {
    QSettings settings(path, QSettings::IniFormat);
    settings.setValue("enabled", enabled);
    settings.setValue("targetName", QStringLiteral("卧室"));
}

// A clock that only moves when a test moves it.
class ManualClock : public Clock {
public:
    Instant now() const override { return current; }
    void advance(double seconds) { current += Seconds(seconds); }
    Instant current = Instant(Seconds(1000.0));
};

// A controller over the in-memory device model (the speaker as the default output, a USB
// headset), every path in a temporary directory and a clock the test moves. Tear-down
// ends the run and checks that no worker is left unreaped.
class ControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        speaker = model->addDevice(coreaudio::DeviceModel::speaker());
        headphones = model->addDevice(coreaudio::DeviceModel::headphones());
        model->setDefaultOutput(speaker);
        coreaudio::setAudioSystem(model);
        environment.resourceDir = dir.filePath("share/sonvale");
        environment.logPath = dir.filePath("state/Sonvale/Sonvale.log");
        environment.settingsPath = dir.filePath("config/local.sonvale.conf");
        environment.autostartPath = dir.filePath("config/autostart/local.sonvale.desktop");
        environment.runtimeDir = dir.filePath("runtime");
        environment.clock = clock;
        installStandInWorker(environment.resourceDir, ready);
    }

    void TearDown() override {
        if (controller) {
            controller->stopEngine();
            EXPECT_TRUE(waitUntil([] { return WorkerProcess::unreapedCount() == 0; }, 8000));
            controller.reset();
        }
        coreaudio::setAudioSystem(nullptr);
    }

    Sonvale& make(bool enabled = true) {
        storeSettings(environment.settingsPath, enabled);
        controller = std::make_unique<Sonvale>(environment);
        return *controller;
    }

    // Ticks until forwarding runs through the forwarding output.
    bool tickUntilConnected() {
        controller->tick();
        return waitUntil([this] { return controller->message() == connected; }) &&
               coreaudio::uid(coreaudio::current()) == outputUID;
    }

    QStringList log() const { return logMessages(environment.logPath); }

    QTemporaryDir dir;
    std::shared_ptr<coreaudio::DeviceModel> model = std::make_shared<coreaudio::DeviceModel>();
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    SonvaleEnvironment environment;
    std::unique_ptr<Sonvale> controller;
    coreaudio::AudioObjectID speaker = 0;
    coreaudio::AudioObjectID headphones = 0;
};

}  // namespace sonvale::test
