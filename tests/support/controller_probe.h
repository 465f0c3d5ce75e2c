#pragma once

#include "controller/sonvale.h"

namespace sonvale {

// Gives tests access to the controller's private state, by reference.
struct ControllerProbe {
    explicit ControllerProbe(Sonvale& controller) : s(controller) {}

    QSystemTrayIcon*& item() { return s.item; }
    QMenu* menu() { return s.menu_.get(); }
    QAction*& stateItem() { return s.stateItem; }
    QAction*& toggleItem() { return s.toggleItem; }
    QAction*& loginItem() { return s.loginItem; }
    QWidget* window() { return s.window.get(); }
    QLabel*& statusLabel() { return s.statusLabel; }
    QLabel*& detailLabel() { return s.detailLabel; }
    QPushButton*& button() { return s.button; }
    QSlider*& slider() { return s.slider; }
    std::unique_ptr<Capture>& capture() { return s.capture; }
    std::shared_ptr<WorkerProcess>& worker() { return s.worker; }
    int& input() { return s.input; }
    auto& workerOut() { return s.workerOut; }
    QByteArray& wireData() { return s.wireData; }
    bool& discardingLine() { return s.discardingLine_; }
    coreaudio::AudioObjectID& outputDevice() { return s.outputDevice; }
    std::string& previousUID() { return s.previousUID; }
    coreaudio::AudioObjectID& lastDevice() { return s.lastDevice; }
    Instant& nextAttempt() { return s.nextAttempt; }
    std::int64_t& failures() { return s.failures; }
    bool& pausedForSleep() { return s.pausedForSleep; }
    bool& stopping() { return s.stopping; }
    Instant& lastHeartbeat() { return s.lastHeartbeat; }
    QTimer*& tickTimer() { return s.tickTimer; }
    QString& message() { return s.message; }
    std::uint64_t& networkBytes() { return s.networkBytes; }
    const QString& logURL() { return s.logURL; }
    const QString& scriptURL() { return s.scriptURL; }
    SonvaleEnvironment& environment() { return s.environment_; }
    void buildMenu() { s.buildMenu(); }

    Sonvale& s;
};

// A clock that only moves when a test moves it.
class ManualClock : public Clock {
public:
    Instant now() const override { return current; }
    void advance(double seconds) { current += Seconds(seconds); }
    Instant current = Instant(Seconds(1000.0));
};

}  // namespace sonvale
