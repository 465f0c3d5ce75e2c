#include "controller/event_log.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace sonvale {
namespace {

constexpr qint64 sizeLimit = 1'000'000;

}  // namespace

void EventLog::write(const QString& text) const {
    const QString stamp = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    const QByteArray line = (stamp + " " + text + "\n").toUtf8();
    QDir().mkpath(QFileInfo(path_).absolutePath());

    const QFileInfo info(path_);
    QFile file(path_);
    if (info.exists() && info.size() > sizeLimit) {
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) file.write(line);
        return;
    }
    if (file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        file.write(line);
        return;
    }
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) file.write(line);
}

}  // namespace sonvale
