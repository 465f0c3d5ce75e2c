#pragma once

#include <csignal>
#include <cstdint>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "support/wait.h"

namespace sonvale::test {

// A pipe whose ends close with it, with a read end that never blocks; SIGPIPE ignored as in the application.
struct Pipe {
    Pipe() {
        std::signal(SIGPIPE, SIG_IGN);
        EXPECT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    }
    ~Pipe() { close(0), close(1); }
    void close(int end) {
        if (fds[end] >= 0) ::close(std::exchange(fds[end], -1));
    }
    // Appends the 16-bit samples readable now.
    void readPcm(std::vector<std::int16_t>& into) {
        std::int16_t chunk[32768];
        for (ssize_t n; (n = ::read(fds[0], chunk, sizeof chunk)) > 0;) into.insert(into.end(), chunk, chunk + n / 2);
    }
    int fds[2] = {-1, -1};
};

// Serves the event loop for `ms` while `during` runs on every turn.
inline void listen(int ms, const std::function<void()>& during = [] {}) { waitUntil([&] { return during(), false; }, ms); }

}  // namespace sonvale::test
