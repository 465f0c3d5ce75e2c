#include "support/sound_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

extern char** environ;

namespace sonvale::test {
namespace {

const std::string harness = std::string(SONVALE_TESTS_DIR) + "/harness/";

std::string trimmed(std::string text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    return text;
}

// A property value as pactl writes it: in double quotes, with '"' and '\' escaped.
std::string unquoted(const std::string& text) {
    if (text.size() < 2 || text.front() != '"') return text;
    std::string value;
    for (std::size_t i = 1; i + 1 < text.size(); ++i) value += text[i] == '\\' ? text[++i] : text[i];
    return value;
}

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
                         const std::map<std::string, std::string>& environment, const std::string& input) {
    CommandResult result;
    // Everything the child needs is made before fork(): after it only async-signal-safe calls.
    std::vector<std::string> env;
    for (char** entry = environ; *entry; ++entry) {
        if (!environment.contains(std::string(*entry).substr(0, std::string(*entry).find('=')))) env.push_back(*entry);
    }
    for (const auto& [key, value] : environment) {
        if (!value.empty()) env.push_back(key + "=" + value);
    }
    std::vector<char*> args, envp;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    args.push_back(nullptr);
    envp.push_back(nullptr);
    int out[2], err[2], in[2];
    if (pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC) || pipe2(in, O_CLOEXEC)) return result;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGPIPE, SIG_DFL);
        execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }
    for (int fd : {out[1], err[1], in[0]}) close(fd);
    fcntl(in[1], F_SETFL, O_NONBLOCK);
    pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {input.empty() ? -1 : in[1], POLLOUT, 0}};
    if (input.empty()) close(in[1]);
    std::string* into[2] = {&result.out, &result.err};
    std::size_t written = 0;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (pid > 0 && (fds[0].fd >= 0 || fds[1].fd >= 0)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            break;
        }
        if (poll(fds, 3, int(left.count())) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            char buffer[4096];
            const ssize_t n = fds[i].revents ? read(fds[i].fd, buffer, sizeof buffer) : -2;
            if (n > 0) into[i]->append(buffer, std::size_t(n));
            if (n == 0 || (n == -1 && errno != EINTR)) {
                close(fds[i].fd);
                fds[i].fd = -1;
            }
        }
        if (fds[2].fd >= 0 && fds[2].revents) {
            const ssize_t n = write(fds[2].fd, input.data() + written, input.size() - written);
            written += n > 0 ? std::size_t(n) : 0;
            if (n < 0 || written == input.size()) {
                close(fds[2].fd);
                fds[2].fd = -1;
            }
        }
    }
    for (const auto& fd : fds) {
        if (fd.fd >= 0) close(fd.fd);
    }
    if (pid <= 0) return result;
    if (result.timedOut) kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!result.timedOut && WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
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
    std::map<std::string, std::string> environment;
    if (!directory_.empty()) environment["SS_DIR"] = directory_;
    const auto started =
        runCommand({"sh", harness + "sound-server-start.sh", soundServerName(kind_)}, std::chrono::seconds(20), environment);
    if (directory_.empty()) directory_ = trimmed(started.out);
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
    std::vector<std::string> argv{"pactl"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runCommand(argv, std::chrono::seconds(5), {{"PULSE_SERVER", pulseServer_}, {"LC_ALL", "C.UTF-8"}});
}

std::string SoundServer::defaultSink() const {
    const auto result = pactl({"get-default-sink"});
    return result.exitStatus == 0 ? trimmed(result.out) : std::string();
}

bool SoundServer::setDefaultSink(const std::string& name) const { return pactl({"set-default-sink", name}).exitStatus == 0; }

std::vector<SinkInfo> SoundServer::sinks() const {
    std::vector<SinkInfo> sinks;
    bool inProperties = false;
    std::istringstream lines(pactl({"list", "sinks"}).out);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("Sink #", 0) == 0) sinks.emplace_back();
        if (sinks.empty()) continue;
        SinkInfo& sink = sinks.back();
        const auto equals = line.find(" = ");
        if (line.rfind("\t\t", 0) == 0 && inProperties && equals != std::string::npos) {
            sink.properties[line.substr(2, equals - 2)] = unquoted(line.substr(equals + 3));
        } else if (line.rfind("\t\t", 0) != 0) {
            inProperties = line == "\tProperties:";
            const auto colon = line.find(": ");
            const std::string label = line.substr(0, colon), value = colon == std::string::npos ? "" : line.substr(colon + 2);
            if (label == "\tName") sink.name = value;
            if (label == "\tDescription") sink.description = value;
            if (label == "\tOwner Module") sink.ownerModule = std::uint32_t(std::strtoul(value.c_str(), nullptr, 10));
        }
    }
    return sinks;
}

std::optional<SinkInfo> SoundServer::sink(const std::string& name) const {
    for (auto& info : sinks()) {
        if (info.name == name) return info;
    }
    return std::nullopt;
}

std::optional<std::uint32_t> SoundServer::loadModule(const std::string& module, const std::string& arguments) const {
    const auto result = pactl({"load-module", module, arguments});
    if (result.exitStatus != 0) return std::nullopt;
    return std::uint32_t(std::strtoul(result.out.c_str(), nullptr, 10));
}

bool SoundServer::unloadModule(std::uint32_t index) const { return pactl({"unload-module", std::to_string(index)}).exitStatus == 0; }

}  // namespace sonvale::test
