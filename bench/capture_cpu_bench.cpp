// Share of one core that the whole capture path takes in this process (the PulseAudio
// record stream thread and the writer thread), forwarding whatever plays into the default
// output into a pipe read by `cat > /dev/null`, measured from /proc/self/stat.
// Run through scripts/bench-capture.sh, which starts a private server and a steady tone.
#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "capture/capture.h"
#include "coreaudio/pulse_audio_system.h"

extern char** environ;

namespace {

// utime + stime of this process, in seconds.
double cpuSeconds() {
    std::ifstream file("/proc/self/stat");
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14) utime = std::stoull(field);
        if (index == 15) {
            stime = std::stoull(field);
            break;
        }
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    QCoreApplication app(argc, argv);
    sonvale::coreaudio::setAudioSystem(sonvale::coreaudio::makePulseAudioSystem());

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return 1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t reader = 0;
    char* catArgs[] = {const_cast<char*>("cat"), nullptr};
    if (posix_spawnp(&reader, "cat", &actions, nullptr, catArgs, environ) != 0) return 1;
    ::close(fds[0]);

    sonvale::Capture capture;
    capture.onLog = [](const std::string& line) { std::printf("%s\n", line.c_str()); };
    capture.onFailure = [](const std::string& text) { std::fprintf(stderr, "failure: %s\n", text.c_str()); };
    try {
        capture.start(fds[1]);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "start failed: %s\n", error.what());
        return 1;
    }
    ::close(fds[1]);
    for (int i = 0; i < 500 && capture.ring().statistics().total == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const auto before = capture.ring().statistics();
    const double cpu0 = cpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpu1 = cpuSeconds();
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const auto after = capture.ring().statistics();
    capture.stop();

    std::printf("elapsed %.1f s, cpu %.2f s = %.2f %% of one core; frames captured %llu (%.0f/s), dropped %llu, peak %.3f\n",
                elapsed, cpu1 - cpu0, 100.0 * (cpu1 - cpu0) / elapsed,
                static_cast<unsigned long long>(after.total - before.total), double(after.total - before.total) / elapsed,
                static_cast<unsigned long long>(after.dropped), after.peak);
    int status = 0;
    waitpid(reader, &status, 0);
    return 0;
}
