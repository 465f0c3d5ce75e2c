#include "base/log_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace sonvale {
namespace {

constexpr qint64 sizeLimit = 1'000'000;

}  // namespace

void appendToLog(const QString& path, const QList<QByteArray>& lines) {
    if (lines.isEmpty()) return;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) return;
    // One opening for many lines, the size rule still applied line by line.
    qint64 size = file.size();
    for (const QByteArray& line : lines) {
        if (size > sizeLimit) {
            file.resize(0);
            size = 0;
        }
        file.write(line);
        size += line.size();
    }
}

}  // namespace sonvale
