#include <QFile>
#include <QFileInfo>
#include <QPointer>

#include <cerrno>
#include <fcntl.h>
#include <string_view>
#include <system_error>
#include <unistd.h>

#include "controller/sonvale.h"
#include "base/platform_error.h"
#include "base/main_thread.h"
#include "sender/worker_process.h"

extern char** environ;

namespace sonvale {
namespace {

const QString senderLogName = QStringLiteral("Sonvale-sender.log");

// This process's environment with SONVALE_VENDOR set; nothing else changes.
std::vector<std::string> workerEnvironment(const QByteArray& vendorPath) {
    static constexpr std::string_view key = "SONVALE_VENDOR=";
    std::vector<std::string> result;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string_view variable(*entry);
        if (!variable.starts_with(key)) result.emplace_back(variable);
    }
    result.push_back(std::string(key) + vendorPath.toStdString());
    return result;
}

// The sender log beside the application log, created if missing and opened for
// appending; an empty descriptor when that fails (standard error then stays inherited).
UniqueFd openSenderLog(const QString& logPath) {
    const QString path = QFileInfo(logPath).absolutePath() + "/" + senderLogName;
    return UniqueFd(::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666));
}

struct Pipe {
    UniqueFd read;
    UniqueFd write;
};

Pipe makePipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        const int error = errno;
        throw PlatformError("NSPOSIXErrorDomain", error, "pipe: " + std::system_category().message(error));
    }
    return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

}  // namespace

void Sonvale::startWorker() {
    if (worker) return;
    const QString name = targetName();
    if (name.isEmpty()) {
        setEnabled(false);
        state(QStringLiteral("请先设置 HomePod 名称"));
        return;
    }
    state(QStringLiteral("正在独立连接 ") + name + QStringLiteral("…"));

    auto process = std::make_shared<WorkerProcess>();
    try {
        Pipe standardInput = makePipe();
        Pipe standardOutput = makePipe();

        WorkerProcess::LaunchPlan plan;
        plan.executable = QFile::encodeName(environment_.pythonPath).toStdString();
        plan.arguments = {"-s", "-B", "-u", QFile::encodeName(scriptURL).toStdString(), "--name",
                          name.toStdString()};
        plan.environment = workerEnvironment(QFile::encodeName(environment_.resourceDir + "/vendor"));
        plan.standardInput = standardInput.read.get();
        plan.standardOutput = standardOutput.write.get();
        const UniqueFd senderLog = openSenderLog(logURL);
        plan.standardError = senderLog.get();

        wireData.clear();
        discardingLine_ = false;
        networkBytes = 0;
        input = standardInput.write.release();
        workerOut = std::make_unique<PipeReader>(std::move(standardOutput.read));
        worker = process;

        // Both handlers run on the main thread and only queue their work, so that what
        // they start (a teardown among others) never runs inside the notifier that
        // called them. Each holds the controller and its process weakly and acts only
        // while that process is still the current worker.
        const QPointer<Sonvale> self(this);
        const std::weak_ptr<WorkerProcess> weakProcess = process;
        const auto isCurrent = [](Sonvale* controller, const std::weak_ptr<WorkerProcess>& candidate) {
            const auto strong = candidate.lock();
            return strong && strong == controller->worker;
        };

        workerOut->setHandler([self, weakProcess, isCurrent](const QByteArray& bytes) {
            if (!self) return;
            postToMainThread([self, weakProcess, isCurrent, bytes] {
                if (!self || !isCurrent(self.data(), weakProcess)) return;
                self->consume(bytes);
            });
        });

        process->setTerminationHandler([self, weakProcess, isCurrent] {
            if (!self) return;
            postToMainThread([self, weakProcess, isCurrent] {
                if (!self || !isCurrent(self.data(), weakProcess) || self->stopping) return;
                // What the worker wrote before it exited is handled first, so its last
                // report (an "error" with its reason, say) is not lost to the exit.
                if (self->workerOut) self->consume(self->workerOut->readAvailable());
                if (!isCurrent(self.data(), weakProcess)) return;
                self->stopEngine();
                if (self->enabled()) self->scheduleRetry(QStringLiteral("HomePod 连接已结束，已恢复本机声音"));
            });
        });

        process->launch(plan);
    } catch (const PlatformError& error) {
        stopEngine();
        scheduleRetry(QStringLiteral("无法启动发送器：") + QString::fromStdString(error.localizedDescription()));
        return;
    }
    lastHeartbeat = now();
}

}  // namespace sonvale
