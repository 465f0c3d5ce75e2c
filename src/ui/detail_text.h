#pragma once

#include <QString>
#include <cstdint>

namespace sonvale {

// What the window's detail text is made of. The frame counters and the peak come from the
// capture's sample ring (all zero without a capture); networkBytes from the worker.
struct DetailFigures {
    QString target;  // the stored speaker name; empty when none is set
    std::uint64_t total = 0;
    std::uint64_t dropped = 0;
    float peak = 0.0f;
    std::uint64_t networkBytes = 0;
};

// Three lines: destination, captured frames and data sent, level and dropped frames.
QString detailText(const DetailFigures& figures);

}  // namespace sonvale
