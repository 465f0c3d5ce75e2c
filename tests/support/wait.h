#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <functional>

namespace sonvale::test {

// Runs the event loop until the predicate holds or the time is up (queued reports arrive meanwhile).
inline bool waitUntil(const std::function<bool()>& predicate, int timeoutMs = 5000) {
    QDeadlineTimer deadline(timeoutMs);
    while (!predicate()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

}  // namespace sonvale::test
