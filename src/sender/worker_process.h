#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sender/pipe_reader.h"
#include "base/unique_fd.h"

class QSocketNotifier;
class QTimer;

namespace sonvale {

// One child process started with posix_spawn, the counterpart of a task object: its
// exit is watched on the main loop through a pidfd and it is reaped exactly once, there.
// Signals go only to a process that has not been reaped, so a reused pid is never hit.
// An object stays alive, whoever else holds it, until its process has been reaped.
// Main thread only.
class WorkerProcess : public std::enable_shared_from_this<WorkerProcess> {
public:
    struct LaunchPlan {
        std::string executable;
        std::vector<std::string> arguments;    // without argv[0], which is the executable
        std::vector<std::string> environment;  // "NAME=value" entries, the whole environment
        int standardInput = -1;                // descriptors the child gets as 0, 1 and 2;
        int standardOutput = -1;               // -1 leaves the parent's own in place
        int standardError = -1;
    };

    WorkerProcess();
    ~WorkerProcess();
    WorkerProcess(const WorkerProcess&) = delete;
    WorkerProcess& operator=(const WorkerProcess&) = delete;

    // Called once, on the main thread, after the process has exited and been reaped.
    void setTerminationHandler(std::function<void()> handler);

    // Starts the child with SIGPIPE back at its default and an empty signal mask; only
    // descriptors 0 to 2 are inherited. Throws PlatformError with the reason.
    void launch(const LaunchPlan& plan);

    pid_t processIdentifier() const { return pid_; }
    bool isRunning() const;  // launched and not yet exited (an exited child is not reaped here)
    bool reaped() const { return reaped_; }
    void terminate();        // SIGTERM, unless already reaped
    void kill();             // SIGKILL, unless already reaped

    // Processes launched and not yet reaped, for tests and diagnostics.
    static std::size_t unreapedCount();
    // At the application's end, when no timer will fire again: every process not yet reaped
    // gets SIGTERM and `grace` to exit, then SIGKILL, and is reaped before this returns.
    static void endAll(std::chrono::milliseconds grace);

private:
    void watchExit();
    void reap();

    pid_t pid_ = 0;
    bool reaped_ = false;
    UniqueFd pidfd_;
    std::unique_ptr<QSocketNotifier> exitNotifier_;
    std::unique_ptr<QTimer> exitPoll_;  // only where pidfds are unavailable
    std::function<void()> terminationHandler_;
};

}  // namespace sonvale
