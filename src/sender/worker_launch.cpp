#include "sender/worker_launch.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <string_view>
#include <system_error>
#include <unistd.h>

#include "base/platform_error.h"
#include "sender/worker_log.h"

extern char** environ;

namespace sonvale {
namespace {

constexpr int standardErrorRoom = 1 << 20;

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

LaunchedWorker launchWorker(const WorkerCommand& command) {
    Pipe standardInput = makePipe();
    Pipe standardOutput = makePipe();
    Pipe standardError = makePipe();
    // Room for what the worker says while the main thread is busy, so that its logging never
    // holds up its audio.
    ::fcntl(standardError.write.get(), F_SETPIPE_SZ, standardErrorRoom);

    WorkerProcess::LaunchPlan plan;
    plan.executable = QFile::encodeName(command.python).toStdString();
    plan.arguments = {"-s", "-B", "-u", QFile::encodeName(command.script).toStdString()};
    for (const QString& name : command.names) plan.arguments.insert(plan.arguments.end(), {"--name", name.toStdString()});
    plan.environment = workerEnvironment(QFile::encodeName(command.vendorDir));
    plan.standardInput = standardInput.read.get();
    plan.standardOutput = standardOutput.write.get();
    plan.standardError = standardError.write.get();

    LaunchedWorker launched;
    launched.process = std::make_shared<WorkerProcess>();
    launched.process->launch(plan);
    launched.input = std::move(standardInput.write);
    launched.output = std::make_unique<PipeReader>(std::move(standardOutput.read));
    followWorkerLog(std::move(standardError.read), command.senderLogPath);
    return launched;
}

}  // namespace sonvale
