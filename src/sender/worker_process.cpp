#include "sender/worker_process.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <set>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

#include "base/platform_error.h"

namespace sonvale {
namespace {

// Holds every launched process until it has been reaped, so that a process nobody else
// refers to any more still has its exit watched. Never destroyed: it may outlive the
// application object at exit.
std::set<std::shared_ptr<WorkerProcess>>& unreaped() {
    static auto* processes = new std::set<std::shared_ptr<WorkerProcess>>;
    return *processes;
}

// Where pidfds are missing (old kernels, strict seccomp) the exit is polled instead.
constexpr int exitPollMilliseconds = 100;

class SpawnSetup {
public:
    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
};

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    result.reserve(strings.size() + 1);
    for (auto& s : strings) result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

}  // namespace

WorkerProcess::WorkerProcess() = default;

WorkerProcess::~WorkerProcess() {
    if (exitNotifier_) exitNotifier_->setEnabled(false);
}

void WorkerProcess::setTerminationHandler(std::function<void()> handler) { terminationHandler_ = std::move(handler); }

void WorkerProcess::launch(const LaunchPlan& plan) {
    SpawnSetup setup;
    const int targets[] = {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO};
    const int sources[] = {plan.standardInput, plan.standardOutput, plan.standardError};
    for (int i = 0; i < 3; ++i) {
        if (sources[i] >= 0) posix_spawn_file_actions_adddup2(&setup.actions, sources[i], targets[i]);
    }
    posix_spawn_file_actions_addclosefrom_np(&setup.actions, 3);

    // The application ignores SIGPIPE, and an ignored signal survives exec: give the
    // child the default back so that it dies of a broken pipe like any program.
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigset_t noneBlocked;
    sigemptyset(&noneBlocked);
    posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
    posix_spawnattr_setsigmask(&setup.attributes, &noneBlocked);
    posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<std::string> argv{plan.executable};
    argv.insert(argv.end(), plan.arguments.begin(), plan.arguments.end());
    std::vector<std::string> envp = plan.environment;
    const auto argvPointers = pointers(argv);
    const auto envpPointers = pointers(envp);

    pid_t pid = 0;
    const int error = posix_spawn(&pid, plan.executable.c_str(), &setup.actions, &setup.attributes,
                                  argvPointers.data(), envpPointers.data());
    if (error != 0) {
        throw PlatformError("NSPOSIXErrorDomain", error,
                            plan.executable + ": " + std::system_category().message(error));
    }
    pid_ = pid;
    unreaped().insert(shared_from_this());
    watchExit();
}

void WorkerProcess::watchExit() {
    const int fd = int(::syscall(SYS_pidfd_open, pid_, 0));
    if (fd >= 0) {
        pidfd_.reset(fd);
        exitNotifier_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        QObject::connect(exitNotifier_.get(), &QSocketNotifier::activated, exitNotifier_.get(), [this] { reap(); });
        return;
    }
    exitPoll_ = std::make_unique<QTimer>();
    QObject::connect(exitPoll_.get(), &QTimer::timeout, exitPoll_.get(), [this] {
        if (!isRunning()) reap();
    });
    exitPoll_->start(exitPollMilliseconds);
}

void WorkerProcess::reap() {
    if (reaped_) return;
    int status = 0;
    pid_t result;
    do {
        result = ::waitpid(pid_, &status, WNOHANG);
    } while (result < 0 && errno == EINTR);
    if (result == 0) return;
    // The child is gone: reaped now, or (ECHILD) by someone who should not have.
    reaped_ = true;
    if (exitNotifier_) exitNotifier_->setEnabled(false);
    if (exitPoll_) exitPoll_->stop();
    pidfd_.reset();

    if (auto handler = std::exchange(terminationHandler_, nullptr)) handler();

    // Dropped from the registry from the event loop, not from inside the notifier that is
    // signalling now: this may be the last reference.
    auto self = shared_from_this();
    if (QCoreApplication* app = QCoreApplication::instance()) {
        QMetaObject::invokeMethod(app, [self] { unreaped().erase(self); }, Qt::QueuedConnection);
    } else {
        unreaped().erase(self);
    }
}

bool WorkerProcess::isRunning() const {
    if (pid_ == 0 || reaped_) return false;
    siginfo_t info{};
    if (::waitid(P_PID, id_t(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
    return info.si_pid != pid_;
}

void WorkerProcess::terminate() {
    if (pid_ != 0 && !reaped_) ::kill(pid_, SIGTERM);
}

void WorkerProcess::kill() {
    if (pid_ != 0 && !reaped_) ::kill(pid_, SIGKILL);
}

std::size_t WorkerProcess::unreapedCount() { return unreaped().size(); }

}  // namespace sonvale
