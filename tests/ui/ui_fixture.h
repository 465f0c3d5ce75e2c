#pragma once

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>

#include "controller/sonvale.h"
#include "coreaudio/device_model.h"
#include "support/controller_probe.h"

namespace sonvale {

// A controller whose every path lies in a temporary directory, over the in-memory audio
// system, with a clock that moves only when the test moves it.
class UiTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        coreaudio::setAudioSystem(model);
        environment.resourceDir = dir.filePath("share/sonvale");
        environment.logPath = dir.filePath("state/Sonvale/Sonvale.log");
        environment.settingsPath = dir.filePath("config/local.sonvale.conf");
        environment.autostartPath = dir.filePath("config/autostart/local.sonvale.desktop");
        environment.runtimeDir = dir.filePath("runtime");
        environment.executablePath = QStringLiteral("/opt/sonvale/bin/sonvale");
        environment.clock = clock;
        makeController();
    }

    void TearDown() override {
        controller.reset();
        coreaudio::setAudioSystem(nullptr);
    }

    void makeController() {
        inspector.reset();
        controller.reset();
        controller = std::make_unique<Sonvale>(environment);
        inspector = std::make_unique<ControllerProbe>(*controller);
    }

    QString logText() const {
        QFile file(environment.logPath);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    QTemporaryDir dir;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    std::shared_ptr<coreaudio::DeviceModel> model = std::make_shared<coreaudio::DeviceModel>();
    SonvaleEnvironment environment;
    std::unique_ptr<Sonvale> controller;
    std::unique_ptr<ControllerProbe> inspector;
};

}  // namespace sonvale
