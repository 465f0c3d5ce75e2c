#include "controller/event_log.h"

#include <QDateTime>

#include "base/log_file.h"

namespace sonvale {

void EventLog::write(const QString& text) const {
    const QString stamp = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    appendToLog(path_, {(stamp + " " + text + "\n").toUtf8()});
}

}  // namespace sonvale
