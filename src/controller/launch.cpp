#include <QDBusConnection>
#include <QPointer>
#include <QTimer>
#include <csignal>

#include "base/constants.h"
#include "base/main_thread.h"
#include "controller/login_item.h"
#include "controller/single_instance.h"
#include "controller/sleep_watcher.h"
#include "controller/sonvale.h"
#include "coreaudio/devices.h"
#include "sender/worker_log.h"

namespace sonvale {
namespace {

constexpr int tickIntervalMs = 500;
// At quit a worker gets this long to end its speaker session before it is killed; its
// SIGKILL timer would not outlive the application.
constexpr std::chrono::milliseconds workerGraceAtQuit{2000};
constexpr Seconds firstAttemptDelay{3.0};

}  // namespace

void Sonvale::applicationDidFinishLaunching() {
    // Writing into a worker that has gone must fail with EPIPE, not end this process.
    std::signal(SIGPIPE, SIG_IGN);

    singleInstance_ = std::make_unique<SingleInstance>(environment_.runtimeDir, QString::fromUtf8(sonvaleID));
    if (!singleInstance_->claim()) {
        // Another copy runs and owns the system output and the forwarding output device:
        // hand over to it and leave everything alone.
        singleInstance_->askRunningCopyToShow();
        quitAtLaunch_ = true;
        emit terminateRequested();
        return;
    }
    launched_ = true;
    connect(singleInstance_.get(), &SingleInstance::showRequested, this, [this] { applicationShouldHandleReopen(); });

    coreaudio::cleanupLeftoverOutput();
    if (!guardian_.start(environment_.executablePath)) log("无法启动守护进程，Sonvale 意外退出时不能自动恢复本机声音");

    view_->buildMenu(message_, loginItem().status() == LoginItemStatus::enabled);

    // The listener reports on a backend thread; the controller is only touched on the
    // main thread, and only while it still exists.
    const QPointer<Sonvale> self(this);
    routeListener_ = coreaudio::audioSystem().addPropertyListener(
        coreaudio::kAudioObjectSystemObject, coreaudio::address(coreaudio::selector::defaultOutput), [self] {
            postToMainThread([self] {
                if (self) self->routeChanged();
            });
        });

    sleepWatcher_ = std::make_unique<SleepWatcher>(
        QDBusConnection::systemBus(), [this] { willSleep(); }, [this] { didWake(); });
    if (!sleepWatcher_->start()) log("无法连接系统总线，不处理睡眠和唤醒");

    tickTimer_ = new QTimer(this);
    tickTimer_->setInterval(tickIntervalMs);
    connect(tickTimer_, &QTimer::timeout, this, &Sonvale::tick);
    tickTimer_->start();

    log("启动 Sonvale；不使用菜单脚本；旧菜单工具应保持停用");

    if (!environment_.arguments.contains(QStringLiteral("--background"))) showWindow();

    supervision_.retryAfter(firstAttemptDelay);
    routeChanged();
}

bool Sonvale::applicationShouldHandleReopen() {
    showWindow();
    return true;
}

void Sonvale::applicationWillTerminate() {
    // A copy that handed over at launch (or never launched) owns nothing: the output and
    // the forwarding output device belong to the running copy.
    if (!launched_) return;
    stopEngine();
    output_.destroy();
    guardian_.release();
    WorkerProcess::endAll(workerGraceAtQuit);
    drainWorkerLogs();
}

}  // namespace sonvale
