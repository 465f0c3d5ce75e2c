#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>

#include "sender/worker_launch.h"
#include "sender/worker_log.h"

class QProcess;

namespace sonvale {

// One speaker as the worker's listing mode prints it: {"name":…,"airplay2":…,"id":…}.
struct ListedSpeaker {
    QString name;
    bool airplay2 = false;  // the speaker takes only AirPlay 2
};

// Reads one listing line; nothing for a line that is not such an object or has no
// non-empty text "name". A missing or non-boolean "airplay2" counts as false.
std::optional<ListedSpeaker> parseListedSpeaker(const QByteArray& line);

// Runs "sender.py --list-speakers --seconds S" in a child process and reports each speaker
// it prints, so browsing the network never holds up the thread that asked. Main thread only.
class SpeakerListing : public QObject {
    Q_OBJECT

public:
    explicit SpeakerListing(QObject* parent = nullptr);
    ~SpeakerListing() override;  // a listing still running is killed

    // Starts a listing unless one is running; the command's name is not used. A worker that
    // cannot be started reports finished() at once.
    void start(const WorkerCommand& command, int seconds);
    bool running() const;

signals:
    void found(const sonvale::ListedSpeaker& speaker);
    void finished();

private:
    void readLines();

    QProcess* process_ = nullptr;
    std::unique_ptr<WorkerLog> errors_;  // the listing's standard error
};

}  // namespace sonvale
