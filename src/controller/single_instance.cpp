#include "controller/single_instance.h"

#include <QDir>
#include <QLocalSocket>

namespace sonvale {
namespace {

constexpr int connectTimeoutMs = 1000;
const QByteArray showRequest = "show\n";

}  // namespace

SingleInstance::SingleInstance(const QString& runtimeDir, const QString& key, QObject* parent)
    : QObject(parent),
      lockPath_((runtimeDir.isEmpty() ? QDir::tempPath() : runtimeDir) + "/" + key + ".lock"),
      socketPath_((runtimeDir.isEmpty() ? QDir::tempPath() : runtimeDir) + "/" + key + ".sock"),
      lock_(lockPath_) {
    // The lock is an flock held for the life of the process, so age never makes a live
    // holder stale; only a dead holder's lock is taken over.
    lock_.setStaleLockTime(0);
}

SingleInstance::~SingleInstance() {
    if (server_) server_->close();
}

bool SingleInstance::claim() {
    if (!lock_.tryLock(0)) {
        if (lock_.error() == QLockFile::LockFailedError) return false;
        return true;
    }
    // A socket file left by a killed copy would make listen() fail.
    QLocalServer::removeServer(socketPath_);
    server_ = std::make_unique<QLocalServer>();
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server_.get(), &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* connection = server_->nextPendingConnection()) {
            connect(connection, &QLocalSocket::disconnected, connection, &QObject::deleteLater);
            connect(connection, &QLocalSocket::readyRead, this, [this, connection] { readRequests(connection); });
            readRequests(connection);
        }
    });
    server_->listen(socketPath_);
    return true;
}

void SingleInstance::readRequests(QLocalSocket* connection) {
    while (connection->canReadLine()) {
        if (connection->readLine() == showRequest) emit showRequested();
    }
    // A peer that sends a line longer than any request is not ours.
    if (connection->bytesAvailable() > 64) connection->abort();
}

bool SingleInstance::askRunningCopyToShow() {
    QLocalSocket socket;
    socket.connectToServer(socketPath_);
    if (!socket.waitForConnected(connectTimeoutMs)) return false;
    socket.write(showRequest);
    const bool written = socket.waitForBytesWritten(connectTimeoutMs);
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState) socket.waitForDisconnected(connectTimeoutMs);
    return written;
}

}  // namespace sonvale
