#include "controller/login_item.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include "controller/environment.h"

namespace sonvale {

LoginItem::LoginItem(QString entryPath, QString executable)
    : entryPath_(std::move(entryPath)), executable_(std::move(executable)) {}

LoginItemStatus LoginItem::status() const {
    QFile entry(entryPath_);
    if (!entry.open(QIODevice::ReadOnly)) return LoginItemStatus::notRegistered;
    bool inMainGroup = false;
    while (!entry.atEnd()) {
        const QString line = QString::fromUtf8(entry.readLine()).trimmed();
        if (line.startsWith('[')) {
            inMainGroup = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        if (!inMainGroup) continue;
        const qsizetype equals = line.indexOf('=');
        if (equals < 0) continue;
        if (line.left(equals).trimmed() == QLatin1String("Hidden") &&
            line.mid(equals + 1).trimmed() == QLatin1String("true")) {
            return LoginItemStatus::notRegistered;
        }
    }
    return LoginItemStatus::enabled;
}

std::optional<QString> LoginItem::registerItem() {
    const QString directory = QFileInfo(entryPath_).absolutePath();
    if (!QDir().mkpath(directory)) return QStringLiteral("无法创建目录 %1").arg(directory);

    const QString text = QStringLiteral(
                             "[Desktop Entry]\n"
                             "Type=Application\n"
                             "Name=Sonvale\n"
                             "Exec=%1 --background\n"
                             "Icon=local.sonvale\n"
                             "Terminal=false\n"
                             "X-GNOME-Autostart-enabled=true\n")
                             .arg(execLine(executable_));
    // Written aside and renamed, so a failed write never leaves half an entry behind.
    QSaveFile file(entryPath_);
    if (!file.open(QIODevice::WriteOnly)) return file.errorString();
    file.write(text.toUtf8());
    if (!file.commit()) return file.errorString();
    return std::nullopt;
}

std::optional<QString> LoginItem::unregisterItem() {
    QFile entry(entryPath_);
    if (!entry.exists() || entry.remove()) return std::nullopt;
    return entry.errorString();
}

QString LoginItem::execLine(const QString& executable) {
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    bool needsQuotes = false;
    for (const QChar c : executable) needsQuotes = needsQuotes || reserved.contains(c);
    // Inside the entry format's double quotes, " ` $ and \ take a backslash; the value
    // itself is then an escaped string, which doubles every backslash once more.
    QString argument = executable;
    if (needsQuotes) {
        QString quoted;
        for (const QChar c : executable) {
            if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
            quoted += c;
        }
        argument = '"' + quoted + '"';
    }
    argument.replace('%', QLatin1String("%%"));
    argument.replace('\\', QLatin1String("\\\\"));
    argument.replace('\n', QLatin1String("\\n"));
    argument.replace('\t', QLatin1String("\\t"));
    argument.replace('\r', QLatin1String("\\r"));
    return argument;
}

LoginItem& loginItemFor(std::unique_ptr<LoginItem>& slot, const SonvaleEnvironment& environment) {
    if (!slot) slot = std::make_unique<LoginItem>(environment.autostartPath, environment.executablePath);
    return *slot;
}

}  // namespace sonvale
