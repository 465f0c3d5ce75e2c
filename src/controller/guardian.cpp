#include "controller/guardian.h"

#include <QFile>

#include <csignal>
#include <fcntl.h>
#include <iostream>
#include <spawn.h>
#include <unistd.h>

#include "base/constants.h"
#include "base/platform_error.h"
#include "coreaudio/devices.h"

extern char** environ;

namespace sonvale {
namespace {

constexpr std::string_view previousWord = "previous ";
constexpr std::string_view releaseWord = "release";

}  // namespace

bool Guardian::start(const QString& executable) {
    if (executable.isEmpty()) return false;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    UniqueFd readEnd(fds[0]);
    pipe_.reset(fds[1]);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_adddup2(&actions, readEnd.get(), 0);
    // Nothing else of this process's: not its lock file, not its sound server connection.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    // A session of its own: a signal to this process's group (Ctrl-C in a terminal) does
    // not reach the guardian, which must outlive it.
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    const QByteArray path = QFile::encodeName(executable);
    char* argv[] = {const_cast<char*>(path.constData()), const_cast<char*>("--guardian"), nullptr};
    pid_t pid = 0;
    const int status = ::posix_spawn(&pid, path.constData(), &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (status != 0) pipe_.reset();
    return status == 0;
}

void Guardian::send(const std::string& line) {
    if (!pipe_) return;
    const std::string text = line + "\n";
    // A guardian that has gone takes nothing: the write fails with EPIPE, which is ignored.
    if (::write(pipe_.get(), text.data(), text.size()) != ssize_t(text.size())) pipe_.reset();
}

void Guardian::remember(const std::string& previousUID) {
    if (previousUID == told_) return;
    told_ = previousUID;
    send(std::string(previousWord) + previousUID);
}

void Guardian::release() {
    send(std::string(releaseWord));
    pipe_.reset();
}

int runGuardian() {
    // Logout and Ctrl-C end the application, which then releases the guardian; the
    // guardian itself waits for the pipe.
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) std::signal(number, SIG_IGN);
    std::string previous(clockUID);
    bool released = false;
    for (std::string line; std::getline(std::cin, line);) {
        if (line == releaseWord) released = true;
        if (line.starts_with(previousWord)) previous = line.substr(previousWord.size());
    }
    if (released) return 0;

    namespace ca = coreaudio;
    const auto leftover = ca::device(outputUID);
    if (!leftover) return 0;
    if (ca::current() == *leftover) {
        for (const std::string& uid : {previous, std::string(clockUID)}) {
            const auto device = ca::device(uid);
            if (!device) continue;
            try {
                ca::setOutput(*device);
                break;
            } catch (const PlatformError&) {
            }
        }
    }
    ca::destroyAggregate(*leftover);
    return 0;
}

}  // namespace sonvale
