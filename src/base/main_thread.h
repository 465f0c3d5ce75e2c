#pragma once

#include <functional>

namespace sonvale {

// Queues a task to run on the application's main thread; callable from any thread. Tasks
// run in the order they were posted. Without an application object the task is dropped.
// The hand-over goes through a standard mutex rather than only through Qt's event queue,
// whose lock race detectors cannot see.
void postToMainThread(std::function<void()> task);

}  // namespace sonvale
