#include "controller/environment.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

namespace sonvale {
namespace {

QString xdgDirectory(const char* variable, const QString& fallbackBelowHome) {
    const QString value = qEnvironmentVariable(variable);
    if (!value.isEmpty() && QDir::isAbsolutePath(value)) return value;
    return QDir::homePath() + "/" + fallbackBelowHome;
}

}  // namespace

QString resourceDirectory() {
    const QString configured = qEnvironmentVariable("SONVALE_RESOURCES");
    if (!configured.isEmpty()) return QDir::cleanPath(configured);
    // The maintenance modes run without an application object, which is what Qt asks
    // for the executable's path; the kernel knows it too.
    const QString executableDir = QCoreApplication::instance()
                                      ? QCoreApplication::applicationDirPath()
                                      : QFileInfo(QFile::symLinkTarget("/proc/self/exe")).absolutePath();
    return QDir::cleanPath(executableDir + "/../share/sonvale");
}

SonvaleEnvironment SonvaleEnvironment::fromProcess(const QStringList& arguments) {
    SonvaleEnvironment environment;
    environment.resourceDir = resourceDirectory();
    environment.logPath = xdgDirectory("XDG_STATE_HOME", ".local/state") + "/Sonvale/Sonvale.log";
    const QString config = xdgDirectory("XDG_CONFIG_HOME", ".config");
    environment.settingsPath = config + "/local.sonvale.conf";
    environment.autostartPath = config + "/autostart/local.sonvale.desktop";
    environment.runtimeDir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    environment.executablePath = QCoreApplication::applicationFilePath();
    environment.arguments = arguments;
    return environment;
}

}  // namespace sonvale
