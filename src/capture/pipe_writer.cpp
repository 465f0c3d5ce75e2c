#include "capture/pipe_writer.h"

#include <cerrno>
#include <cstdint>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace sonvale {

PipeWriter::PipeWriter(int fd) {
    if (fd >= 0) fd_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (fd_ >= 0) {
        const int flags = ::fcntl(fd_, F_GETFL);
        if (flags < 0 || ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK) < 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

PipeWriter::~PipeWriter() {
    close();
    if (wake_ >= 0) ::close(wake_);
}

PipeWriter::Outcome PipeWriter::write(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        if (fd_ < 0) return Outcome::failed;
        if (interrupted_.load(std::memory_order_acquire)) return Outcome::interrupted;
        pollfd fds[2] = {{fd_, POLLOUT, 0}, {wake_, POLLIN, 0}};
        const ssize_t written = ::write(fd_, bytes, size);
        if (written > 0) {
            bytes += written;
            size -= static_cast<std::size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && errno != EAGAIN) return Outcome::failed;
        // The pipe is full: wait for room, for the reader to go away, or for interrupt().
        const int ready = ::poll(fds, wake_ >= 0 ? 2 : 1, -1);
        if (ready < 0 && errno != EINTR) return Outcome::failed;
        if (fds[1].revents & POLLIN) return Outcome::interrupted;
        if (fds[0].revents & (POLLERR | POLLNVAL)) return Outcome::failed;
    }
    return Outcome::written;
}

void PipeWriter::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void PipeWriter::interrupt() {
    interrupted_.store(true, std::memory_order_release);
    if (wake_ >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t ignored = ::write(wake_, &one, sizeof one);
    }
}

}  // namespace sonvale
