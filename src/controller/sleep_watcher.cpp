#include "controller/sleep_watcher.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace sonvale {
namespace {

const QString service = QStringLiteral("org.freedesktop.login1");
const QString path = QStringLiteral("/org/freedesktop/login1");
const QString managerInterface = QStringLiteral("org.freedesktop.login1.Manager");

}  // namespace

SleepWatcher::SleepWatcher(QDBusConnection bus, std::function<void()> willSleep, std::function<void()> didWake,
                           QObject* parent)
    : QObject(parent), bus_(std::move(bus)), willSleep_(std::move(willSleep)), didWake_(std::move(didWake)) {}

SleepWatcher::~SleepWatcher() {
    if (bus_.isConnected()) {
        bus_.disconnect(service, path, managerInterface, "PrepareForSleep", this, SLOT(prepareForSleep(bool)));
    }
}

bool SleepWatcher::start() {
    if (!bus_.isConnected()) return false;
    bus_.connect(service, path, managerInterface, "PrepareForSleep", this, SLOT(prepareForSleep(bool)));
    takeInhibitor();
    return true;
}

void SleepWatcher::prepareForSleep(bool sleeping) {
    asleep_ = sleeping;
    if (sleeping) {
        if (willSleep_) willSleep_();
        releaseInhibitor();
        return;
    }
    takeInhibitor();
    if (didWake_) didWake_();
}

// Asked without blocking: the main thread never waits on logind. A reply that arrives
// while the machine is going to sleep is dropped at once, or it would hold up the sleep.
void SleepWatcher::takeInhibitor() {
    if (inhibitor_.isValid() || requestPending_) return;
    if (!(bus_.connectionCapabilities() & QDBusConnection::UnixFileDescriptorPassing)) return;
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, managerInterface, "Inhibit");
    call << QStringLiteral("sleep") << QStringLiteral("Sonvale") << QStringLiteral("睡眠前释放音频连接")
         << QStringLiteral("delay");
    requestPending_ = true;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* finished) {
        finished->deleteLater();
        requestPending_ = false;
        QDBusPendingReply<QDBusUnixFileDescriptor> reply = *finished;
        if (reply.isError() || asleep_) return;
        inhibitor_ = reply.value();
    });
}

void SleepWatcher::releaseInhibitor() { inhibitor_ = QDBusUnixFileDescriptor(); }

}  // namespace sonvale
