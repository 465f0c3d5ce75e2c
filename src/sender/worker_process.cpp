#include "sender/worker_process.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <set>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
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

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    result.reserve(strings.size() + 1);
    for (auto& s : strings) result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

// What the child needs between fork and exec, all made before the fork.
struct ChildPlan {
    int sources[3];  // descriptors for 0, 1 and 2; -1 keeps the parent's
    int report;      // errno goes here when the child cannot become the worker
    pid_t parent;
    int openMax;
    char* const* argv;
    char* const* envp;
};

[[noreturn]] void reportAndExit(int report) {
    const int error = errno;
    [[maybe_unused]] const ssize_t written = ::write(report, &error, sizeof error);
    ::_exit(127);
}

// The child's side of launch(), between fork and exec: only async-signal-safe calls.
[[noreturn]] void becomeChild(const ChildPlan& plan) {
    // A worker must not outlive the application, not even one that ignores SIGTERM and the
    // end of its input: if the application dies (a crash, a lost display, SIGKILL) or quits
    // without waiting for it, the kernel kills it.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) reportAndExit(plan.report);
    if (::getppid() != plan.parent) ::_exit(127);
    for (int target = 0; target < 3; ++target) {
        if (plan.sources[target] >= 0 && ::dup2(plan.sources[target], target) < 0) reportAndExit(plan.report);
    }
    // Only descriptors 0 to 2 are inherited; the report pipe closes at exec by itself.
    const unsigned report = unsigned(plan.report);
    if ((report > 3 && ::close_range(3, report - 1, 0) != 0) || ::close_range(report + 1, ~0u, 0) != 0) {
        for (int fd = 3; fd < plan.openMax; ++fd) {
            if (fd != plan.report) ::close(fd);
        }
    }
    // The application ignores SIGPIPE, and an ignored signal survives exec: give the
    // child the default back so that it dies of a broken pipe like any program.
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &defaults, nullptr);
    sigset_t noneBlocked;
    ::sigemptyset(&noneBlocked);
    ::sigprocmask(SIG_SETMASK, &noneBlocked, nullptr);
    ::execve(plan.argv[0], plan.argv, plan.envp);
    reportAndExit(plan.report);
}

}  // namespace

WorkerProcess::WorkerProcess() = default;

WorkerProcess::~WorkerProcess() {
    if (exitNotifier_) exitNotifier_->setEnabled(false);
}

void WorkerProcess::setTerminationHandler(std::function<void()> handler) { terminationHandler_ = std::move(handler); }

void WorkerProcess::launch(const LaunchPlan& plan) {
    std::vector<std::string> argv{plan.executable};
    argv.insert(argv.end(), plan.arguments.begin(), plan.arguments.end());
    std::vector<std::string> envp = plan.environment;
    const auto argvPointers = pointers(argv);
    const auto envpPointers = pointers(envp);

    // posix_spawn cannot ask for a parent-death signal, so this is fork and exec by hand,
    // with a pipe that carries errno back when exec fails.
    const auto failure = [&plan](int error) {
        return PlatformError("NSPOSIXErrorDomain", error, plan.executable + ": " + std::system_category().message(error));
    };
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) throw failure(errno);
    const UniqueFd reportRead(report[0]);
    UniqueFd reportWrite(report[1]);
    const ChildPlan child{{plan.standardInput, plan.standardOutput, plan.standardError}, report[1], ::getpid(),
                          int(::sysconf(_SC_OPEN_MAX)), argvPointers.data(), envpPointers.data()};
    const pid_t pid = ::fork();
    if (pid < 0) throw failure(errno);
    if (pid == 0) becomeChild(child);
    reportWrite.reset();

    int error = 0;
    ssize_t got;
    do {
        got = ::read(reportRead.get(), &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    if (got > 0) {
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        throw failure(error);
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

void WorkerProcess::endAll(std::chrono::milliseconds grace) {
    using namespace std::chrono_literals;
    const std::vector<std::shared_ptr<WorkerProcess>> processes(unreaped().begin(), unreaped().end());
    const auto waitForExits = [&processes](std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const bool running = std::any_of(processes.begin(), processes.end(), [](const auto& process) {
                process->reap();
                return !process->reaped();
            });
            if (!running || std::chrono::steady_clock::now() >= deadline) return;
            std::this_thread::sleep_for(10ms);
        }
    };
    for (const auto& process : processes) process->terminate();
    waitForExits(grace);
    for (const auto& process : processes) process->kill();
    // A killed process is gone within moments, unless the kernel holds it in a wait.
    waitForExits(1s);
}

}  // namespace sonvale
