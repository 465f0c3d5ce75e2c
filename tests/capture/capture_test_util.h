#pragma once

#include <QCoreApplication>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace sonvale::test {

// Polls `done` while serving the main-thread queue, where the capture reports failures.
template <typename Predicate>
bool waitFor(Predicate done, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline void settle(std::chrono::milliseconds span) { waitFor([] { return false; }, span); }

// A pipe whose ends close with the object; its read end never blocks. SIGPIPE is ignored
// as in the application.
struct Pipe {
    Pipe() {
        std::signal(SIGPIPE, SIG_IGN);
        EXPECT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    }
    ~Pipe() { close(0), close(1); }
    void close(int end) {
        if (fds[end] >= 0) ::close(fds[end]);
        fds[end] = -1;
    }
    // Appends the 16-bit samples readable now; the number of bytes read, 0 at end of stream.
    ssize_t readPcm(std::vector<std::int16_t>& into) {
        std::int16_t chunk[32768];
        ssize_t n, total = 0;
        while ((n = ::read(fds[0], chunk, sizeof chunk)) > 0) into.insert(into.end(), chunk, chunk + n / 2), total += n;
        return n == 0 ? 0 : (total > 0 ? total : -1);
    }
    int fds[2] = {-1, -1};
};

}  // namespace sonvale::test
