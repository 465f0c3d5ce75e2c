#include "capture/serial_queue.h"

#include <pthread.h>

namespace sonvale {

SerialQueue::SerialQueue(std::string name) : name_(std::move(name)), thread_([this] { run(); }) {}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(mutex_);
        quitting_ = true;
        timer_ = nullptr;
    }
    wake_.notify_all();
    thread_.join();
}

void SerialQueue::async(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wake_.notify_all();
}

void SerialQueue::startTimer(std::chrono::nanoseconds period, std::function<void()> handler) {
    {
        std::lock_guard lock(mutex_);
        timer_ = std::move(handler);
        ++timerGeneration_;
        period_ = period;
        deadline_ = std::chrono::steady_clock::now();
    }
    wake_.notify_all();
}

void SerialQueue::cancelTimer() {
    std::lock_guard lock(mutex_);
    timer_ = nullptr;
    ++timerGeneration_;
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
        if (!timer_) {
            wake_.wait(lock);
            continue;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now < deadline_) {
            wake_.wait_until(lock, deadline_);
            continue;
        }
        // A copy, so that cancelTimer() may drop the handler while this event runs.
        auto handler = timer_;
        const std::uint64_t generation = timerGeneration_;
        lock.unlock();
        handler();
        lock.lock();
        if (generation != timerGeneration_) continue;
        deadline_ += period_;
        const auto after = std::chrono::steady_clock::now();
        if (deadline_ < after) deadline_ = after;
    }
}

}  // namespace sonvale
