#include "base/main_thread.h"

#include <QCoreApplication>
#include <deque>
#include <mutex>

namespace sonvale {
namespace {

std::mutex pendingMutex;
std::deque<std::function<void()>> pending;

// One queued event per posted task, so each event runs the oldest one.
void runOldest() {
    std::function<void()> task;
    {
        std::lock_guard lock(pendingMutex);
        if (pending.empty()) return;
        task = std::move(pending.front());
        pending.pop_front();
    }
    task();
}

}  // namespace

void postToMainThread(std::function<void()> task) {
    QCoreApplication* application = QCoreApplication::instance();
    if (!application) return;
    {
        std::lock_guard lock(pendingMutex);
        pending.push_back(std::move(task));
    }
    QMetaObject::invokeMethod(application, &runOldest, Qt::QueuedConnection);
}

}  // namespace sonvale
