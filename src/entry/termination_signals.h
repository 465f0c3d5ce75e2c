#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <memory>

namespace sonvale {

// Turns SIGTERM, SIGINT and SIGHUP (a logout) into a Qt signal on the main thread, so
// that the application can quit through its normal termination sequence. The handler
// only writes one byte into a pipe; everything else happens in the event loop.
// One instance per process.
class TerminationSignals : public QObject {
    Q_OBJECT

public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

signals:
    void received();

private:
    void drain();

    int pipe_[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace sonvale
