#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace sonvale {

// One thread that runs tasks one after another, in the order they were queued, plus at
// most one repeating timer whose events run on the same thread between the tasks. A timer
// event that comes due while the thread is busy is not queued twice: late events collapse
// into one, as with a dispatch timer source. fire() brings the next timer event forward to
// now, from any thread, without ever waiting: the audio thread rings it when there is work.
class SerialQueue {
public:
    explicit SerialQueue(std::string name);
    // Runs the tasks still queued, then joins the thread.
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void async(std::function<void()> task);
    // First event now, then every `period`.
    void startTimer(std::chrono::nanoseconds period, std::function<void()> handler);
    // No timer event begins after this returns; one already running finishes.
    void cancelTimer();
    // Any thread, lock-free: the next timer event runs as soon as the thread is free, and
    // the period counts from it. Rings that come while one is pending collapse into it.
    void fire();

private:
    void run();
    void wake();

    std::mutex mutex_;
    int bell_ = -1;  // eventfd: tasks, timer changes and fire() wake the thread through it
    std::atomic<bool> fired_{false};
    std::deque<std::function<void()>> tasks_;
    std::function<void()> timer_;
    std::uint64_t timerGeneration_ = 0;
    std::chrono::nanoseconds period_{0};
    std::chrono::steady_clock::time_point deadline_;
    bool quitting_ = false;
    std::string name_;
    std::thread thread_;
};

}  // namespace sonvale
