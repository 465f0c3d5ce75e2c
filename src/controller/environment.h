#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>

#include "controller/clock.h"

namespace sonvale {

// Asks the user for the speaker's name, starting from the current one. nullopt: cancelled.
using NamePrompt = std::function<std::optional<QString>(const QString& current)>;

// Where the controller finds and keeps things, fixed when it is made. fromProcess() gives
// the real locations; tests point every path into a temporary directory.
struct SonvaleEnvironment {
    QString resourceDir;     // sender.py, vendor/, AppIcon.icns, system-test.wav
    QString logPath;         // $XDG_STATE_HOME/Sonvale/Sonvale.log
    QString settingsPath;    // $XDG_CONFIG_HOME/local.sonvale.conf
    QString autostartPath;   // $XDG_CONFIG_HOME/autostart/local.sonvale.desktop
    QString runtimeDir;      // $XDG_RUNTIME_DIR: single-instance lock and socket
    QString executablePath;  // the Exec line of the autostart entry
    QString pythonPath = QStringLiteral("/usr/bin/python3");
    QStringList arguments;   // the command line, for "--background"
    std::shared_ptr<Clock> clock = std::make_shared<SteadyClock>();
    NamePrompt namePrompt;   // empty: the modal name dialog

    static SonvaleEnvironment fromProcess(const QStringList& arguments);
};

// $SONVALE_RESOURCES when set, else <directory of the executable>/../share/sonvale.
QString resourceDirectory();

}  // namespace sonvale
