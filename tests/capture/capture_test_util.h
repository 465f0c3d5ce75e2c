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

inline void settle(std::chrono::milliseconds span) {
    waitFor([] { return false; }, span);
}

// A pipe whose ends close with the object; SIGPIPE is ignored as in the application.
struct Pipe {
    Pipe() {
        std::signal(SIGPIPE, SIG_IGN);
        EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    }
    ~Pipe() {
        close(0);
        close(1);
    }
    void close(int end) {
        if (fds[end] >= 0) ::close(fds[end]);
        fds[end] = -1;
    }
    // Everything readable now, without waiting; the read end becomes non-blocking.
    std::vector<std::uint8_t> readAvailable() {
        std::vector<std::uint8_t> all;
        ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
        std::uint8_t chunk[65536];
        for (ssize_t n; (n = ::read(fds[0], chunk, sizeof chunk)) > 0;) all.insert(all.end(), chunk, chunk + n);
        return all;
    }
    void readPcm(std::vector<std::int16_t>& into) {
        const auto bytes = readAvailable();
        const auto* samples = reinterpret_cast<const std::int16_t*>(bytes.data());
        into.insert(into.end(), samples, samples + bytes.size() / 2);
    }
    int fds[2] = {-1, -1};
};

}  // namespace sonvale::test
