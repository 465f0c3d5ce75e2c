#include <QCoreApplication>
#include <QMenu>
#include <QWidget>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QStandardPaths>

#include "capture/capture.h"
#include "controller/single_instance.h"
#include "controller/sleep_watcher.h"
#include "controller/sonvale.h"
#include "coreaudio/devices.h"
#include "base/constants.h"
#include "sender/worker_process.h"
#include "ui/login_item.h"

namespace sonvale {
namespace {

constexpr qint64 logSizeLimit = 1'000'000;

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

Sonvale::Sonvale(SonvaleEnvironment environment, QObject* parent)
    : QObject(parent),
      environment_(std::move(environment)),
      settings_(environment_.settingsPath, QSettings::IniFormat),
      previousUID(clockUID),
      message(QStringLiteral("已准备好，点击开始启用独立音频发送")),
      logURL(environment_.logPath),
      scriptURL(environment_.resourceDir + "/sender.py") {}

Sonvale::~Sonvale() = default;

void Sonvale::log(const QString& text) {
    const QString stamp = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    const QByteArray line = (stamp + " " + text + "\n").toUtf8();
    QDir().mkpath(QFileInfo(logURL).absolutePath());

    const QFileInfo info(logURL);
    QFile file(logURL);
    // Past the limit the line replaces the whole file, which starts again from one line.
    if (info.exists() && info.size() > logSizeLimit) {
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) file.write(line);
        return;
    }
    if (file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        file.write(line);
        return;
    }
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) file.write(line);
}

void Sonvale::state(const QString& text) {
    message = text;
    log(text);
    refresh();
}

float Sonvale::gain() const {
    settings_.sync();
    const QVariant stored = settings_.value("gain");
    if (!stored.isValid()) return 1.0f;
    bool ok = false;
    const float value = stored.toFloat(&ok);
    return ok ? value : 1.0f;
}

bool Sonvale::enabled() const {
    settings_.sync();
    const QVariant stored = settings_.value("enabled");
    if (!stored.isValid()) return false;
    // Booleans as the INI file spells them; any other text or number follows QVariant's
    // own conversion (non-zero numbers are true).
    const QString text = stored.toString().trimmed().toLower();
    if (text == "true" || text == "yes") return true;
    if (text == "false" || text == "no" || text.isEmpty()) return false;
    bool ok = false;
    const double number = text.toDouble(&ok);
    return ok && number != 0.0;
}

void Sonvale::setEnabled(bool value) {
    settings_.setValue("enabled", value);
    settings_.sync();
}

QString Sonvale::targetName() const {
    settings_.sync();
    const QVariant stored = settings_.value("targetName");
    if (!stored.isValid() || stored.userType() != QMetaType::QString) return {};
    return stored.toString();
}

void Sonvale::setTargetName(const QString& name) {
    settings_.setValue("targetName", name);
    settings_.sync();
}

void Sonvale::destroyOutputDevice() {
    if (outputDevice == 0) return;
    coreaudio::destroyAggregate(outputDevice);
    outputDevice = 0;
}

}  // namespace sonvale
