#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace sonvale {

// One thread that runs tasks one after another, in the order they were queued, plus at
// most one repeating timer whose events run on the same thread between the tasks. A timer
// event that comes due while the thread is busy is not queued twice: late events collapse
// into one, as with a dispatch timer source.
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

private:
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
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
