#include "support/sound_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QString>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <utility>

namespace sonvale::test {
namespace {

const std::string harness = std::string(SONVALE_TESTS_DIR) + "/harness/";

// Stops the daemons by their pid files and reaps those this process adopted (only those:
// other children are not ours to wait for).
void stopDaemons(const std::string& directory, const std::map<std::string, std::string>& environment) {
    std::vector<pid_t> pids;
    for (const char* daemon : {"pipewire-pulse", "wireplumber", "pipewire", "pulseaudio", "dbus"}) {
        pid_t pid = 0;
        if (std::ifstream(directory + "/" + daemon + ".pid") >> pid && pid > 1) pids.push_back(pid);
    }
    runCommand({"sh", harness + "sound-server-stop.sh", directory}, std::chrono::seconds(10), environment);
    for (pid_t pid : pids) {
        for (int attempt = 0; attempt < 40 && waitpid(pid, nullptr, WNOHANG) == 0; ++attempt) usleep(25000);
    }
}

}  // namespace

CommandResult runCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                         const std::map<std::string, std::string>& environment) {
    // Everything the child needs is made before fork(): after it only async-signal-safe calls.
    std::vector<std::string> words{"env"};  // its -u options before any assignment
    for (const auto& [key, value] : environment) {
        value.empty() ? words.insert(words.begin() + 1, {"-u", key}) : words.insert(words.end(), key + "=" + value);
    }
    words.insert(words.end(), argv.begin(), argv.end());
    std::vector<char*> args;
    for (auto& word : words) args.push_back(word.data());
    args.push_back(nullptr);
    CommandResult result;
    int out[2], err[2], in[2];
    if (pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC) || pipe2(in, O_CLOEXEC)) return result;
    const pid_t pid = fork();
    if (pid == 0) {  // the child: no blocked or ignored signals, stdin at end of file
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGPIPE, SIG_DFL);
        dup2(in[0], 0), dup2(out[1], 1), dup2(err[1], 2);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(out[1]), close(err[1]), close(in[0]), close(in[1]);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* into[2] = {&result.out, &result.err};
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool timedOut = false;
    while (pid > 0 && (fds[0].fd >= 0 || fds[1].fd >= 0) && !timedOut) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        timedOut = left.count() <= 0 || (poll(fds, 2, int(left.count())) < 0 && errno != EINTR);
        for (int i = 0; i < 2 && !timedOut; ++i) {
            char buffer[4096];
            const ssize_t n = fds[i].revents ? read(fds[i].fd, buffer, sizeof buffer) : -2;
            if (n > 0) into[i]->append(buffer, std::size_t(n));
            if (n == 0 || (n == -1 && errno != EINTR)) close(std::exchange(fds[i].fd, -1));
        }
    }
    for (const auto& fd : fds) {
        if (fd.fd >= 0) close(fd.fd);
    }
    if (pid <= 0) return result;
    if (timedOut) kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!timedOut && WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
    return result;
}

const char* soundServerName(SoundServerKind kind) { return kind == SoundServerKind::pipewire ? "pipewire" : "pulseaudio"; }

SoundServer::SoundServer(SoundServerKind kind) : kind_(kind) {
    // The daemons outlive the start script; as its orphans they come to this process, which reaps them.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    if (const char* old = std::getenv("PULSE_SERVER")) previousPulseServer_ = old;
    start();
}

SoundServer::~SoundServer() {
    if (!directory_.empty()) stopDaemons(directory_, {});
    previousPulseServer_ ? setenv("PULSE_SERVER", previousPulseServer_->c_str(), 1) : unsetenv("PULSE_SERVER");
}

bool SoundServer::start() {
    const auto started = runCommand({"sh", harness + "sound-server-start.sh", soundServerName(kind_)}, std::chrono::seconds(20),
                                    {{"SS_DIR", directory_}});
    if (directory_.empty()) directory_ = QString::fromStdString(started.out).trimmed().toStdString();
    std::ifstream env(directory_ + "/env");
    for (std::string line; std::getline(env, line);) {
        if (line.rfind("PULSE_SERVER=", 0) == 0) pulseServer_ = line.substr(13);
    }
    running_ = started.exitStatus == 0 && !pulseServer_.empty();
    error_ = running_ ? "" : std::string("sound server did not start (") + soundServerName(kind_) + "): " + started.err;
    if (running_) setenv("PULSE_SERVER", pulseServer_.c_str(), 1);
    return running_;
}

void SoundServer::stop() {
    stopDaemons(directory_, {{"SS_KEEP_DIR", "1"}});
    running_ = false;
}

CommandResult SoundServer::pactl(const std::vector<std::string>& arguments) const {
    std::vector<std::string> argv = arguments;
    argv.insert(argv.begin(), "pactl");
    return runCommand(argv, std::chrono::seconds(5), {{"PULSE_SERVER", pulseServer_}, {"LC_ALL", "C.UTF-8"}});
}

std::string SoundServer::defaultSink() const {
    const auto result = pactl({"get-default-sink"});
    return result.exitStatus == 0 ? QString::fromStdString(result.out).trimmed().toStdString() : std::string();
}

std::vector<SinkInfo> SoundServer::sinks() const {
    std::vector<SinkInfo> sinks;
    std::istringstream lines(pactl({"list", "sinks"}).out);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("Sink #", 0) == 0) sinks.emplace_back();
        if (sinks.empty()) continue;
        const auto colon = line.find(": ");
        const std::string label = line.substr(0, colon), value = colon == std::string::npos ? "" : line.substr(colon + 2);
        if (label == "\tName") sinks.back().name = value;
        if (label == "\tDescription") sinks.back().description = value;
        if (label == "\tOwner Module") sinks.back().ownerModule = std::uint32_t(std::strtoul(value.c_str(), nullptr, 10));
        if (line.rfind("\t\t", 0) == 0) sinks.back().details += line.substr(2) + "\n";
    }
    return sinks;
}

std::optional<SinkInfo> SoundServer::sink(const std::string& name) const {
    const auto all = sinks();
    const auto found = std::find_if(all.begin(), all.end(), [&](const SinkInfo& info) { return info.name == name; });
    return found == all.end() ? std::nullopt : std::optional(*found);
}

void SoundServer::signal(int number) const {
    pid_t pid = 0;
    if (std::ifstream(directory_ + (kind_ == SoundServerKind::pipewire ? "/pipewire-pulse.pid" : "/pulseaudio.pid")) >> pid && pid > 1) {
        ::kill(pid, number);
    }
}

std::optional<std::uint32_t> SoundServer::loadModule(const std::string& module, const std::string& arguments) const {
    const auto result = pactl({"load-module", module, arguments});
    if (result.exitStatus != 0) return std::nullopt;
    return std::uint32_t(std::strtoul(result.out.c_str(), nullptr, 10));
}

}  // namespace sonvale::test
