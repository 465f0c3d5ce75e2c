#pragma once

// Placeholder; the launch work replaces this file.
namespace sonvale {
class SingleInstance {};
}  // namespace sonvale
