#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>

#include "controller/environment.h"
#include "controller/event_log.h"
#include "controller/forwarding_output.h"
#include "controller/forwarding_run.h"
#include "controller/guardian.h"
#include "controller/settings.h"
#include "controller/speaker_discovery.h"
#include "controller/supervision.h"
#include "coreaudio/audio_system.h"
#include "ui/status_view.h"

class QTimer;

namespace sonvale {

class LoginItem;
class SleepWatcher;
class SingleInstance;

// The forwarding controller: one per process, living on the main thread. It decides;
// its collaborators keep the state of one concern each: the stored settings, the log,
// the supervision (retry times, failures, heartbeats, sleep), the current forwarding run
// (worker, pipes, capture) and the forwarding output device. The view shows what it is
// given and reports the user's intents. Every callback from another thread hops to the
// main thread before it touches anything here, so the class has no lock.
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
    void log(const QString& text) { log_.write(text); }
    // A status change: the text becomes the status, goes to the log and is shown.
    void state(const QString& text);
    void refresh();
    void routeChanged();
    void tick();
    void stopEngine();
    void scheduleRetry(const QString& reason);
    void startWorker();
    void consume(const QByteArray& data);

    // What the controller knows, for the view and for anyone watching it.
    const QString& message() const { return message_; }
    const Settings& settings() const { return settings_; }
    const Supervision& supervision() const { return supervision_; }
    const ForwardingRun* run() const { return run_.get(); }
    const ForwardingOutput& output() const { return output_; }
    StatusView& view() { return *view_; }

signals:
    // Emitted when the controller wants the application to end (quit, second copy).
    void terminateRequested();

private:
    bool startForwarding();  // the "ready" steps; false ends the batch of lines
    // Shows the headline for the run's speakers and remembers it for their later changes.
    void showHeadline(Headline headline, const QStringList& names, bool onlyWhenChanged = false);
    // Stops the capture and gives the user's output back; the worker, if any, goes on.
    void handOutputBack();
    // While nothing is forwarded, Sonvale's output does not stay the default once a real
    // output is there to take it back.
    void releaseOutput();
    // What the machine lacks for a run now (no output at all, no clock device), as the status says it.
    std::optional<QString> missingOutput() const;
    bool isCurrent(const std::weak_ptr<WorkerProcess>& process) const;
    // The status while forwarding holds because the default output is one it leaves alone.
    static QString heldText(const QString& outputName);
    StatusPresentation presentation() const;
    LoginItem& loginItem();
    SpeakerDiscovery& speakerDiscovery();

    SonvaleEnvironment environment_;
    EventLog log_;
    Settings settings_;  // after the log, which hears what was wrong with the stored file
    Supervision supervision_;
    ForwardingOutput output_;
    std::unique_ptr<ForwardingRun> run_;
    StatusView* view_ = nullptr;
    QTimer* tickTimer_ = nullptr;
    QString message_;
    std::uint64_t networkBytes_ = 0;  // the last count the worker reported
    coreaudio::AudioObjectID lastDevice_ = 0;
    QString lastDeviceName_;
    bool waitingForOutput_ = false;  // the last attempt found no output of the machine
    bool stopping_ = false;
    bool routeSettled_ = false;  // a default that moved away while forwarding is judged now

    // Platform services.
    std::unique_ptr<LoginItem> loginItem_;
    std::unique_ptr<SpeakerDiscovery> speakerDiscovery_;  // made when the name is first asked for
    std::unique_ptr<SleepWatcher> sleepWatcher_;
    std::unique_ptr<SingleInstance> singleInstance_;
    Guardian guardian_;
    coreaudio::ListenerID routeListener_ = 0;
    bool quitAtLaunch_ = false;
    bool launched_ = false;  // launch went past the single-instance check
};

}  // namespace sonvale
