#pragma once

// Placeholder; the launch work replaces this file.
namespace sonvale {
class SleepWatcher {};
}  // namespace sonvale
