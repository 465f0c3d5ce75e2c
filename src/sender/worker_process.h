#pragma once

// Placeholder; the worker launcher replaces this file.
namespace sonvale {
class WorkerProcess {};
}  // namespace sonvale
