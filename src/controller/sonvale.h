#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QSettings>
#include <QString>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "controller/clock.h"
#include "controller/environment.h"
#include "coreaudio/audio_system.h"

class QAction;
class QLabel;
class QMenu;
class QPushButton;
class QSlider;
class QSystemTrayIcon;
class QTimer;
class QWidget;

namespace sonvale {

class Capture;
class WorkerProcess;
class PipeReader;
class LoginItem;
class SleepWatcher;
class SingleInstance;
struct ControllerProbe;

// The forwarding controller: one per process, living on the main thread. It owns the
// capture, the sender worker and its pipes, the forwarding output device, the tray menu
// and the window. Every callback from another thread hops to the main thread before it
// touches anything here, so the class has no lock.
//
// Its operations are spread over the folders by concern: state, settings and log here
// (controller/state.cpp); launch, stop and retry, tick, routing, sleep in controller/;
// worker launch and event lines in sender/; menu, window and commands in ui/.
class Sonvale : public QObject {
    Q_OBJECT

public:
    explicit Sonvale(SonvaleEnvironment environment, QObject* parent = nullptr);
    ~Sonvale() override;

    // Application lifecycle.
    void applicationDidFinishLaunching();
    bool applicationShouldHandleReopen();
    void applicationWillTerminate();
    // True when launch found another running copy and handed over to it.
    bool quitAtLaunch() const { return quitAtLaunch_; }

public slots:
    void toggle();
    void willSleep();
    void didWake();
    void volumeChanged(double value);
    void chooseTarget();
    void toggleLogin();
    void openLog();
    void quit();
    void playTest();
    void showWindow();

public:
    // Settings, status text and log.
    void log(const QString& text);
    void state(const QString& text);
    float gain() const;
    bool enabled() const;
    void setEnabled(bool value);
    QString targetName() const;  // empty when absent or not a text
    void setTargetName(const QString& name);

    void refresh();
    void routeChanged();
    void tick();
    void stopEngine();
    void scheduleRetry(const QString& reason);
    void startWorker();
    void consume(const QByteArray& data);

signals:
    // Emitted when the controller wants the application to end (quit, second copy).
    void terminateRequested();

private:
    friend struct ControllerProbe;

    Instant now() const { return environment_.clock->now(); }
    void buildMenu();
    void destroyOutputDevice();
    bool startForwarding();  // the "ready" steps; false ends the batch of lines

    SonvaleEnvironment environment_;
    mutable QSettings settings_;

    QSystemTrayIcon* item = nullptr;
    std::unique_ptr<QMenu> menu_;
    QAction* stateItem = nullptr;
    QAction* toggleItem = nullptr;
    std::unique_ptr<QWidget> window;
    QLabel* statusLabel = nullptr;
    QLabel* detailLabel = nullptr;
    QPushButton* button = nullptr;
    QSlider* slider = nullptr;
    std::unique_ptr<Capture> capture;
    std::shared_ptr<WorkerProcess> worker;
    int input = -1;      // write end of the worker's standard input (the PCM stream)
    std::unique_ptr<PipeReader> workerOut;  // read end of the worker's standard output
    QByteArray wireData;
    bool discardingLine_ = false;  // the rest of an overlong line is being skipped
    coreaudio::AudioObjectID outputDevice = 0;
    std::string previousUID;
    coreaudio::AudioObjectID lastDevice = 0;
    Instant nextAttempt = distantPast;
    std::int64_t failures = 0;
    bool pausedForSleep = false;
    bool stopping = false;
    Instant lastHeartbeat = distantPast;
    QTimer* tickTimer = nullptr;
    QString message;
    std::uint64_t networkBytes = 0;
    const QString logURL;
    const QString scriptURL;
    QAction* loginItem = nullptr;

    // Platform services.
    std::unique_ptr<LoginItem> loginService_;
    std::unique_ptr<SleepWatcher> sleepWatcher_;
    std::unique_ptr<SingleInstance> singleInstance_;
    coreaudio::ListenerID routeListener_ = 0;
    bool quitAtLaunch_ = false;
    bool launched_ = false;  // launch went past the single-instance check
};

}  // namespace sonvale
