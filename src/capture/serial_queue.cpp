#include "capture/serial_queue.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace sonvale {

SerialQueue::SerialQueue(std::string name)
    : bell_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), name_(std::move(name)), thread_([this] { run(); }) {}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(mutex_);
        quitting_ = true;
        timer_ = nullptr;
    }
    wake();
    thread_.join();
    if (bell_ >= 0) ::close(bell_);
}

void SerialQueue::wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(bell_, &one, sizeof one);
}

void SerialQueue::async(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wake();
}

void SerialQueue::startTimer(std::chrono::nanoseconds period, std::function<void()> handler) {
    {
        std::lock_guard lock(mutex_);
        timer_ = std::move(handler);
        ++timerGeneration_;
        period_ = period;
        deadline_ = std::chrono::steady_clock::now();
    }
    wake();
}

void SerialQueue::cancelTimer() {
    std::lock_guard lock(mutex_);
    timer_ = nullptr;
    ++timerGeneration_;
}

void SerialQueue::fire() {
    if (!fired_.exchange(true, std::memory_order_acq_rel)) wake();
}

void SerialQueue::run() {
    pthread_setname_np(pthread_self(), name_.substr(0, 15).c_str());
    std::unique_lock lock(mutex_);
    for (;;) {
        if (!tasks_.empty()) {
            auto task = std::move(tasks_.front());
            tasks_.pop_front();
            lock.unlock();
            task();
            lock.lock();
            continue;
        }
        if (quitting_) return;
        const auto now = std::chrono::steady_clock::now();
        if (timer_ && fired_.exchange(false, std::memory_order_acq_rel)) deadline_ = now;
        if (!timer_ || now < deadline_) {
            // Sleeps until the bell rings or the timer comes due; the bell is emptied
            // before anything it announced is looked at again.
            int timeout = -1;
            if (timer_) {
                const auto left = std::chrono::ceil<std::chrono::microseconds>(deadline_ - now);
                timeout = static_cast<int>((left.count() + 999) / 1000);
            }
            if (bell_ < 0 && (timeout < 0 || timeout > 10)) timeout = 10;  // no eventfd: look every 10 ms
            lock.unlock();
            pollfd bell{bell_, POLLIN, 0};
            if (::poll(&bell, 1, timeout) > 0) {
                std::uint64_t rung = 0;
                [[maybe_unused]] const ssize_t ignored = ::read(bell_, &rung, sizeof rung);
            }
            lock.lock();
            continue;
        }
        // A copy, so that cancelTimer() may drop the handler while this event runs.
        auto handler = timer_;
        const std::uint64_t generation = timerGeneration_;
        lock.unlock();
        handler();
        lock.lock();
        if (generation != timerGeneration_) continue;
        deadline_ = std::max(deadline_ + period_, std::chrono::steady_clock::now());
    }
}

}  // namespace sonvale
