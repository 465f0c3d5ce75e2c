#include <QFileInfo>
#include <QPointer>

#include "base/main_thread.h"
#include "base/platform_error.h"
#include "controller/sonvale.h"
#include "coreaudio/devices.h"
#include "coreaudio/output_latency.h"

namespace sonvale {
namespace {

// Statuses of a sound server that is restarting or busy: no server, an object that went
// away meanwhile, a device that did not appear in time; and a machine whose own output is
// gone for a while (a monitor asleep). Worth another attempt, unlike a refusal.
bool transient(const PlatformError& error) {
    using coreaudio::fourCC;
    const std::int64_t code = error.code();
    if (error.domain() == sonvaleID) return code == Capture::noClockDevice;
    return error.domain() == "Sonvale" &&
           (code == fourCC("stop") || code == fourCC("!obj") || code == fourCC("nope"));
}

}  // namespace

bool Sonvale::isCurrent(const std::weak_ptr<WorkerProcess>& process) const {
    const auto strong = process.lock();
    return strong && run_ && strong == run_->process();
}

void Sonvale::startWorker() {
    if (run_) return;
    const QStringList names = settings_.targetNames();
    if (names.isEmpty()) {
        settings_.setEnabled(false);
        state(QStringLiteral("请先设置 HomePod 名称"));
        return;
    }
    state(speakerStatus(Headline::connecting, names, {}));

    WorkerCommand command;
    command.python = environment_.pythonPath;
    command.script = environment_.resourceDir + "/sender.py";
    command.vendorDir = environment_.resourceDir + "/vendor";
    command.senderLogPath = QFileInfo(log_.path()).absolutePath() + "/Sonvale-sender.log";
    command.names = names;
    try {
        run_ = std::make_unique<ForwardingRun>(names, launchWorker(command));
    } catch (const PlatformError& error) {
        stopEngine();
        scheduleRetry(QStringLiteral("无法启动发送器：") + QString::fromStdString(error.localizedDescription()));
        return;
    }
    networkBytes_ = 0;
    run_->headlineText = message_;

    // Both handlers only queue their work, so that what they start (a teardown among
    // others) never runs inside the notifier that called them. Each holds the controller
    // and its process weakly and acts only while that process is still the current worker.
    const QPointer<Sonvale> self(this);
    const std::weak_ptr<WorkerProcess> process = run_->process();
    // The bytes wait in the run rather than in the queued task, so that whichever task runs
    // first handles all that has arrived.
    run_->setOutputHandler([self, process] {
        postToMainThread([self, process] {
            if (self && self->isCurrent(process)) self->consume(self->run_->takeOutput());
        });
    });
    run_->setExitHandler([self, process] {
        postToMainThread([self, process] {
            if (!self || !self->isCurrent(process) || self->stopping_) return;
            // What the worker wrote before it exited is handled first, so its last report
            // (an "error" with its reason, say) is not lost to the exit.
            self->consume(self->run_->takeOutput());
            if (!self->isCurrent(process)) return;
            self->stopEngine();
            if (self->settings_.enabled()) self->scheduleRetry(QStringLiteral("HomePod 连接已结束，已恢复本机声音"));
        });
    });
    supervision_.heartbeat();
}

void Sonvale::consume(const QByteArray& data) {
    if (data.isEmpty() || !run_) return;
    // The rest of a batch still counts once its run has ended (after an "error", say).
    const QStringList names = run_->names();
    for (const WorkerEvent& event : run_->read(data)) {
        supervision_.heartbeat();
        if (run_ && event.speakers) run_->speakers = *event.speakers;
        if (event.state == "ready") {
            if (run_ && event.latencyMs) run_->speakerDelay = std::chrono::milliseconds(*event.latencyMs);
            if (!startForwarding()) return;
        } else if (event.state == "busy") {
            // Another device plays on the speaker and the worker waits until it is free: the
            // sound comes back here meanwhile, and the worker's next "playing" takes over again.
            if (run_ && run_->capturing()) handOutputBack();
            state(event.message.value_or(QStringLiteral("HomePod 正被其他设备使用")));
        } else if (event.state == "idle") {
            showHeadline(Headline::standby, names, true);
        } else if (event.state == "reconnecting") {
            showHeadline(Headline::reconnecting, names);
        } else if (event.state == "playing") {
            if (run_ && !run_->capturing() && !startForwarding()) return;
            showHeadline(Headline::playing, names);
        } else if (event.state == "error") {
            stopEngine();
            scheduleRetry(event.message.value_or(QStringLiteral("发送器报告错误")));
        } else {
            if (event.state == "streaming") networkBytes_ = event.bytesIn;
            // A speaker of several changed: the status shown for the group says so in place,
            // unless something else has been shown since.
            if (event.speakers && run_ && message_ == run_->headlineText) showHeadline(run_->headline, names, true);
        }
    }
}

void Sonvale::showHeadline(Headline headline, const QStringList& names, bool onlyWhenChanged) {
    const QString text = speakerStatus(headline, names, run_ ? run_->speakers : std::vector<SpeakerReport>{});
    if (run_) {
        run_->headline = headline;
        run_->headlineText = text;
    }
    if (!onlyWhenChanged || message_ != text) state(text);
}

bool Sonvale::startForwarding() {
    // The run ended earlier in this batch (an "error" line just before, say): there is no
    // pipe to capture into, so the line is ignored.
    if (!run_) return true;
    if (!settings_.enabled() || !coreaudio::eligible(coreaudio::current())) {
        stopEngine();
        return false;
    }
    const QStringList names = run_->names();
    try {
        output_.ensure(joinedNames(names));
        output_.rememberUserOutput();
        guardian_.remember(output_.previousUID());

        auto capture = std::make_unique<Capture>();
        const QPointer<Sonvale> self(this);
        capture->onLog = [self](const std::string& text) {
            if (self) self->log(QString::fromStdString(text));
        };
        capture->onFailure = [self, process = std::weak_ptr<WorkerProcess>(run_->process())](const std::string& text) {
            // The teardown destroys the capture and with it this very function object:
            // nothing of it may be touched once stopEngine() has begun.
            Sonvale* const controller = self.data();
            if (!controller) return;
            // A worker that dies closes its input as it goes, so the pipe can fail before its
            // exit is handled. The exit is what happened and its handler, queued behind this,
            // says so; reporting the pipe here would tell the user the wrong cause.
            if (const auto worker = process.lock(); worker && !worker->isRunning()) return;
            const QString reason = QString::fromStdString(text);
            controller->stopEngine();
            controller->scheduleRetry(reason);
        };
        capture->gain = settings_.gain();
        run_->startCapture(std::move(capture));

        if (!coreaudio::eligible(coreaudio::current())) {
            stopEngine();
            return false;
        }
        output_.makeDefault();
        // Video players hold their picture back by the delay the output reports. Sonvale's
        // own capture and pipe delay is already in what the graph reports for the sink
        // (docs/performance.md, "Lip sync"), so the worker's figure is the whole rest.
        if (run_->speakerDelay) coreaudio::setReportedDelay(output_.device(), *run_->speakerDelay);
    } catch (const PlatformError& error) {
        stopEngine();
        if (transient(error)) {
            scheduleRetry(QString::fromStdString(error.localizedDescription()));
            return true;
        }
        settings_.setEnabled(false);
        state(QStringLiteral("未启用捕获：") + QString::fromStdString(error.localizedDescription()) +
              QStringLiteral("。授权后点开始重试。"));
        return true;
    }
    supervision_.resetFailures();
    showHeadline(Headline::playing, names);
    return true;
}

}  // namespace sonvale
