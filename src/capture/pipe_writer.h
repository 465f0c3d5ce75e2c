#pragma once

#include <atomic>
#include <cstddef>

namespace sonvale {

// Writes whole byte blocks into a pipe from one writer thread. It works on its own
// duplicate of the descriptor it is given, so the owner may close the original at any
// time after handing it over, and no write ever lands on a closed or reused descriptor.
// A write that waits for room in a full pipe can be abandoned from another thread with
// interrupt(), so nobody ever waits for a reader that stopped reading.
//
// The duplicate shares the open file with the original, so handing a descriptor over
// switches that pipe end to non-blocking mode.
class PipeWriter {
public:
    enum class Outcome { written, failed, interrupted };

    explicit PipeWriter(int fd);  // fd < 0 or not duplicable: every write fails
    ~PipeWriter();
    PipeWriter(const PipeWriter&) = delete;
    PipeWriter& operator=(const PipeWriter&) = delete;

    // Writer thread only. Returns when every byte is written, the reader has gone or the
    // descriptor is unusable (failed), or interrupt() was called (interrupted).
    Outcome write(const void* data, std::size_t size);
    // Writer thread only; later writes fail.
    void close();
    // Any thread. Makes the write in progress, and every later one, return interrupted.
    void interrupt();

private:
    int fd_ = -1;
    int wake_ = -1;  // breaks a wait for room
    std::atomic<bool> interrupted_{false};  // looked at before each write, without a system call
};

}  // namespace sonvale
