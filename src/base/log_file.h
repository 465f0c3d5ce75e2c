#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace sonvale {

// Appends lines, each ending in a line feed, to a log file that starts again once it is past
// 1,000,000 bytes: a line written while the file is larger than that replaces the whole
// file, so the file holds at most 1,000,000 bytes plus one line. The directory is made when
// missing. A failure loses the lines without a word.
void appendToLog(const QString& path, const QList<QByteArray>& lines);

}  // namespace sonvale
