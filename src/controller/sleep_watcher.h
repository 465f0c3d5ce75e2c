#pragma once

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <functional>

namespace sonvale {

// Sleep and wake from systemd-logind: its PrepareForSleep(true/false) signal on the
// system bus, and a "sleep" delay inhibitor so that the machine waits until will-sleep
// has run. The inhibitor is released right after will-sleep and taken again at wake.
// Both callbacks run on the main thread.
class SleepWatcher : public QObject {
    Q_OBJECT

public:
    SleepWatcher(QDBusConnection bus, std::function<void()> willSleep, std::function<void()> didWake,
                 QObject* parent = nullptr);
    ~SleepWatcher() override;

    // Subscribes and takes the inhibitor. False when the bus is not connected: nothing
    // will be reported then.
    bool start();

private slots:
    void prepareForSleep(bool sleeping);

private:
    void takeInhibitor();
    void releaseInhibitor();

    QDBusConnection bus_;
    std::function<void()> willSleep_;
    std::function<void()> didWake_;
    QDBusUnixFileDescriptor inhibitor_;
    bool asleep_ = false;
    bool requestPending_ = false;
};

}  // namespace sonvale
