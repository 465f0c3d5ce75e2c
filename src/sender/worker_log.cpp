#include "sender/worker_log.h"

#include <QCoreApplication>

#include <algorithm>
#include <list>
#include <memory>

#include "base/log_file.h"
#include "sender/pipe_reader.h"

namespace sonvale {
namespace {

struct Follower {
    Follower(UniqueFd readEnd, const QString& path) : reader(std::move(readEnd)), log(path) {}
    PipeReader reader;
    WorkerLog log;
};

// Never destroyed: a worker may write until the application's last moment.
std::list<std::unique_ptr<Follower>>& followers() {
    static auto* list = new std::list<std::unique_ptr<Follower>>;
    return *list;
}

// The length of `bytes` without a multi-byte character cut at its end.
qsizetype wholeCharacters(const QByteArray& bytes) {
    qsizetype start = bytes.size();
    while (start > 0 && (uchar(bytes[start - 1]) & 0xC0) == 0x80) --start;
    if (start == 0) return bytes.size();
    const uchar lead = uchar(bytes[start - 1]);
    const qsizetype length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    return start - 1 + length > bytes.size() ? start - 1 : bytes.size();
}

}  // namespace

void WorkerLog::add(QByteArrayView bytes) {
    QList<QByteArray> lines;
    while (!bytes.isEmpty()) {
        const qsizetype end = bytes.indexOf('\n');
        const QByteArrayView piece = end < 0 ? bytes : bytes.first(end);
        const qsizetype room = std::max<qsizetype>(0, lineLimit - line_.size());
        line_ += piece.first(std::min(room, piece.size()));
        dropped_ += std::max<qsizetype>(0, piece.size() - room);
        if (end < 0) break;
        lines << takeLine();
        bytes = bytes.sliced(end + 1);
    }
    appendToLog(path_, lines);
}

void WorkerLog::finish() {
    if (!line_.isEmpty() || dropped_ > 0) appendToLog(path_, {takeLine()});
}

QByteArray WorkerLog::takeLine() {
    QByteArray line = std::exchange(line_, {});
    if (const qsizetype dropped = std::exchange(dropped_, 0)) {
        const qsizetype kept = wholeCharacters(line);
        const qsizetype cut = dropped + line.size() - kept;
        line.truncate(kept);
        line += QStringLiteral("…（此行过长，已截去 %1 字节）").arg(cut).toUtf8();
    }
    return line + '\n';
}

void followWorkerLog(UniqueFd readEnd, const QString& path) {
    auto& list = followers();
    Follower* follower = list.emplace_back(std::make_unique<Follower>(std::move(readEnd), path)).get();
    follower->reader.setHandler([follower](const QByteArray& bytes) {
        if (!bytes.isEmpty()) {
            follower->log.add(bytes);
            return;
        }
        follower->log.finish();
        // Not from inside the reader's own notifier.
        QMetaObject::invokeMethod(QCoreApplication::instance(), [follower] {
            followers().remove_if([follower](const auto& entry) { return entry.get() == follower; });
        }, Qt::QueuedConnection);
    });
}

void drainWorkerLogs() {
    for (const auto& follower : followers()) {
        if (follower->reader.atEnd()) continue;
        follower->log.add(follower->reader.readAvailable());
        if (follower->reader.atEnd()) follower->log.finish();
    }
}

}  // namespace sonvale
