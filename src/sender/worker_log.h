#pragma once

#include <QByteArray>
#include <QString>

#include "base/unique_fd.h"

namespace sonvale {

// The sender log: what a worker writes to its standard error, copied a line at a time. A
// line longer than 4 KiB keeps its first 4 KiB and says how much was cut (a speaker can
// put a huge text into the worker's report), and the file follows the size rule of the
// application log. Main thread only.
class WorkerLog {
public:
    static constexpr qsizetype lineLimit = 4096;

    explicit WorkerLog(QString path) : path_(std::move(path)) {}
    // Bytes as they come: complete lines are written, the rest waits for its line feed.
    void add(QByteArrayView bytes);
    // The end of the stream: an unfinished line is written as it is.
    void finish();

private:
    QByteArray takeLine();

    QString path_;
    QByteArray line_;        // the unfinished line, at most lineLimit bytes of it
    qsizetype dropped_ = 0;  // bytes of it beyond the limit
};

// Copies what the writers of this pipe write into the sender log at `path`, from the main
// loop, until they all close it.
void followWorkerLog(UniqueFd readEnd, const QString& path);
// Copies what the followed pipes hold now: at the end, when the loop no longer runs and the
// workers are gone.
void drainWorkerLogs();

}  // namespace sonvale
