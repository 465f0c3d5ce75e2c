#include "support/sound_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace sonvale::test {
namespace {

using Clock = std::chrono::steady_clock;

const std::string harnessDir = std::string(SONVALE_TESTS_DIR) + "/harness";

std::vector<std::string> environmentWith(const std::map<std::string, std::string>& extra) {
    std::vector<std::string> result;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        const auto key = text.substr(0, text.find('='));
        if (!extra.contains(key)) result.push_back(text);
    }
    for (const auto& [key, value] : extra) {
        if (!value.empty()) result.push_back(key + "=" + value);
    }
    return result;
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return text;
}

std::optional<std::uint32_t> parseIndex(const std::string& text) {
    try {
        std::size_t used = 0;
        const unsigned long value = std::stoul(text, &used);
        if (used == 0 || value > UINT32_MAX) return std::nullopt;
        return static_cast<std::uint32_t>(value);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// A property value as pactl writes it: in double quotes, with '"' and '\' escaped.
std::string unquoted(const std::string& text) {
    if (text.size() < 2 || text.front() != '"' || text.back() != '"') return text;
    std::string value;
    for (std::size_t i = 1; i + 1 < text.size(); ++i) {
        if (text[i] == '\\' && i + 2 < text.size()) ++i;
        value += text[i];
    }
    return value;
}

}  // namespace

CommandResult runCommand(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                         const std::map<std::string, std::string>& extraEnvironment, const std::string& input) {
    CommandResult result;
    if (argv.empty()) return result;
    int outPipe[2], errPipe[2], inPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) return result;
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return result;
    }
    if (pipe2(inPipe, O_CLOEXEC) != 0) {
        for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) close(fd);
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const auto envStrings = environmentWith(extraEnvironment);
    std::vector<char*> env;
    for (const auto& e : envStrings) env.push_back(const_cast<char*>(e.c_str()));
    env.push_back(nullptr);

    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(outPipe[1]);
    close(errPipe[1]);
    close(inPipe[0]);
    if (spawned != 0) {
        for (int fd : {outPipe[0], errPipe[0], inPipe[1]}) close(fd);
        result.err = std::string("spawn failed: ") + std::strerror(spawned);
        return result;
    }

    int inFd = inPipe[1];
    std::size_t written = 0;
    if (input.empty()) {
        close(inFd);
        inFd = -1;
    } else {
        fcntl(inFd, F_SETFL, O_NONBLOCK);
    }
    const auto deadline = Clock::now() + timeout;
    int fds[2] = {outPipe[0], errPipe[0]};
    std::string* sinks[2] = {&result.out, &result.err};
    while (fds[0] >= 0 || fds[1] >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            result.timedOut = true;
            break;
        }
        pollfd polled[3] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}, {inFd, POLLOUT, 0}};
        if (poll(polled, 3, static_cast<int>(left)) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i] < 0 || polled[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t n = read(fds[i], buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i]);
                fds[i] = -1;
            }
        }
        if (inFd >= 0 && polled[2].revents != 0) {
            const ssize_t n = write(inFd, input.data() + written, input.size() - written);
            if (n > 0) written += static_cast<std::size_t>(n);
            if (n < 0 || written == input.size()) {
                close(inFd);
                inFd = -1;
            }
        }
    }
    for (int fd : {fds[0], fds[1], inFd}) {
        if (fd >= 0) close(fd);
    }
    if (result.timedOut) kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!result.timedOut && WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
    return result;
}

SoundServerKind defaultSoundServerKind() {
    const char* chosen = std::getenv("SONVALE_SOUND_SERVER");
    return chosen && std::string(chosen) == "pipewire" ? SoundServerKind::pipewire : SoundServerKind::pulseaudio;
}

const char* soundServerName(SoundServerKind kind) {
    return kind == SoundServerKind::pipewire ? "pipewire" : "pulseaudio";
}

SoundServer::SoundServer(SoundServerKind kind, bool topology) : kind_(kind), topology_(topology) {
    // The daemons outlive the start script; as its orphans they come to this process, which
    // reaps them after stopping them instead of leaving zombies behind.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    if (const char* old = std::getenv("PULSE_SERVER")) previousPulseServer_ = old;
    start();
}

SoundServer::~SoundServer() {
    stop();
    if (!directory_.empty()) runCommand({"sh", harnessDir + "/sound-server-stop.sh", directory_});
    if (previousPulseServer_) {
        setenv("PULSE_SERVER", previousPulseServer_->c_str(), 1);
    } else {
        unsetenv("PULSE_SERVER");
    }
}

bool SoundServer::start() {
    running_ = launch();
    return running_;
}

bool SoundServer::launch() {
    std::map<std::string, std::string> environment{{"SS_TOPOLOGY", topology_ ? "yes" : "no"}};
    if (!directory_.empty()) environment["SS_DIR"] = directory_;
    const auto started = runCommand({"sh", harnessDir + "/sound-server-start.sh", soundServerName(kind_)},
                                    std::chrono::seconds(20), environment);
    if (directory_.empty()) directory_ = trimmed(started.out);
    if (started.exitStatus != 0 || directory_.empty()) {
        error_ = std::string("sound server did not start (") + soundServerName(kind_) + "): " + started.err;
        return false;
    }
    std::ifstream env(directory_ + "/env");
    for (std::string line; std::getline(env, line);) {
        if (line.rfind("PULSE_SERVER=", 0) == 0) pulseServer_ = line.substr(13);
    }
    if (pulseServer_.empty()) {
        error_ = "sound server started without an address in " + directory_ + "/env";
        return false;
    }
    setenv("PULSE_SERVER", pulseServer_.c_str(), 1);
    error_.clear();
    return true;
}

std::vector<int> SoundServer::daemonPids() const {
    std::vector<int> pids;
    for (const char* daemon : {"pipewire-pulse", "wireplumber", "pipewire", "pulseaudio", "dbus"}) {
        std::ifstream file(directory_ + "/" + daemon + ".pid");
        int pid = 0;
        if (file >> pid && pid > 1) pids.push_back(pid);
    }
    return pids;
}

void SoundServer::stop() {
    if (directory_.empty()) return;
    const auto pids = daemonPids();
    runCommand({"sh", harnessDir + "/sound-server-stop.sh", directory_}, std::chrono::seconds(10),
               {{"SS_KEEP_DIR", "1"}});
    reapDaemons(pids);
    running_ = false;
}

void SoundServer::reapDaemons(const std::vector<int>& pids) {
    for (int pid : pids) {
        // Only daemons adopted by this process can be reaped here; others are not ours to wait for.
        for (int attempt = 0; attempt < 40; ++attempt) {
            const pid_t reaped = waitpid(pid, nullptr, WNOHANG);
            if (reaped == pid || (reaped < 0 && errno == ECHILD)) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
    }
}

CommandResult SoundServer::pactl(const std::vector<std::string>& arguments, std::chrono::milliseconds timeout) const {
    std::vector<std::string> argv{"pactl"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return runCommand(argv, timeout, {{"PULSE_SERVER", pulseServer_}, {"LC_ALL", "C.UTF-8"}});
}

std::string SoundServer::defaultSink() const {
    const auto result = pactl({"get-default-sink"});
    return result.exitStatus == 0 ? trimmed(result.out) : std::string();
}

bool SoundServer::setDefaultSink(const std::string& name) const {
    return pactl({"set-default-sink", name}).exitStatus == 0;
}

std::vector<SinkInfo> SoundServer::sinks() const {
    const auto result = pactl({"list", "sinks"});
    return result.exitStatus == 0 ? parseSinkList(result.out) : std::vector<SinkInfo>{};
}

std::optional<SinkInfo> SoundServer::sink(const std::string& name) const {
    for (auto& info : sinks()) {
        if (info.name == name) return info;
    }
    return std::nullopt;
}

std::vector<std::string> SoundServer::sourceNames() const {
    std::vector<std::string> names;
    std::istringstream lines(pactl({"list", "short", "sources"}).out);
    for (std::string line; std::getline(lines, line);) {
        const auto first = line.find('\t');
        if (first == std::string::npos) continue;
        names.push_back(line.substr(first + 1, line.find('\t', first + 1) - first - 1));
    }
    return names;
}

std::optional<std::uint32_t> SoundServer::loadModule(const std::string& module, const std::string& arguments) const {
    const auto result = pactl({"load-module", module, arguments});
    if (result.exitStatus != 0) return std::nullopt;
    return parseIndex(trimmed(result.out));
}

bool SoundServer::unloadModule(std::uint32_t index) const {
    return pactl({"unload-module", std::to_string(index)}).exitStatus == 0;
}

std::vector<SinkInfo> parseSinkList(const std::string& text) {
    std::vector<SinkInfo> sinks;
    bool inProperties = false;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("Sink #", 0) == 0) {
            sinks.emplace_back();
            sinks.back().index = parseIndex(line.substr(6)).value_or(0);
            inProperties = false;
            continue;
        }
        if (sinks.empty()) continue;
        SinkInfo& sink = sinks.back();
        if (line.rfind("\t\t", 0) == 0) {
            if (!inProperties) continue;
            const auto equals = line.find(" = ");
            if (equals != std::string::npos) sink.properties[line.substr(2, equals - 2)] = unquoted(line.substr(equals + 3));
            continue;
        }
        inProperties = false;
        const auto field = [&](const char* label) -> std::optional<std::string> {
            const std::string prefix = std::string("\t") + label + ": ";
            if (line.rfind(prefix, 0) != 0) return std::nullopt;
            return line.substr(prefix.size());
        };
        if (line == "\tProperties:") {
            inProperties = true;
        } else if (auto name = field("Name")) {
            sink.name = *name;
        } else if (auto description = field("Description")) {
            sink.description = *description;
        } else if (auto owner = field("Owner Module")) {
            sink.ownerModule = parseIndex(*owner).value_or(UINT32_MAX);
        }
    }
    return sinks;
}

}  // namespace sonvale::test
