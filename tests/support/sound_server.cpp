#include "support/sound_server.h"

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QProcess>
#include <fstream>
#include <sstream>

namespace sonvale::test {
namespace {

const std::string harness = std::string(SONVALE_TESTS_DIR) + "/harness/";

std::string trimmed(std::string text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    return text;
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
                         const std::map<std::string, std::string>& environment) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const auto& [key, value] : environment) {
        value.empty() ? env.remove(QString::fromStdString(key)) : env.insert(QString::fromStdString(key), QString::fromStdString(value));
    }
    QStringList arguments;
    for (std::size_t i = 1; i < argv.size(); ++i) arguments << QString::fromStdString(argv[i]);
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(QString::fromStdString(argv.at(0)), arguments);
    process.closeWriteChannel();
    CommandResult result;
    if (!process.waitForFinished(int(timeout.count()))) process.kill(), process.waitForFinished();
    else if (process.exitStatus() == QProcess::NormalExit) result.exitStatus = process.exitCode();
    result.out = process.readAllStandardOutput().toStdString();
    result.err = process.readAllStandardError().toStdString();
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

std::optional<std::uint32_t> SoundServer::loadModule(const std::string& module, const std::string& arguments) const {
    const auto result = pactl({"load-module", module, arguments});
    if (result.exitStatus != 0) return std::nullopt;
    return std::uint32_t(std::strtoul(result.out.c_str(), nullptr, 10));
}

bool SoundServer::unloadModule(std::uint32_t index) const { return pactl({"unload-module", std::to_string(index)}).exitStatus == 0; }

}  // namespace sonvale::test
