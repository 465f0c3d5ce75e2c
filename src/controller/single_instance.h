#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>
#include <memory>

namespace sonvale {

// One running copy per user session. The first copy holds a lock file in the runtime
// directory and listens on a local socket beside it; a later copy finds the lock taken
// and asks the first, through the socket, to show its window. A lock left by a killed
// process is taken over.
class SingleInstance : public QObject {
    Q_OBJECT

public:
    // Lock and socket are <runtimeDir>/<key>.lock and <runtimeDir>/<key>.sock.
    SingleInstance(const QString& runtimeDir, const QString& key, QObject* parent = nullptr);
    ~SingleInstance() override;

    // True when this process is now the running copy and listens for requests. Only a
    // lock held by another live process makes this false; when the lock cannot be made
    // at all (no writable runtime directory) this copy runs rather than refusing to.
    bool claim();
    // Asks the running copy to show its window; waits at most about a second.
    bool askRunningCopyToShow();

signals:
    void showRequested();

private:
    void readRequests(class QLocalSocket* connection);

    QString lockPath_;
    QString socketPath_;
    QLockFile lock_;
    std::unique_ptr<QLocalServer> server_;
};

}  // namespace sonvale
