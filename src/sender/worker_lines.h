#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sonvale {

// One chosen speaker as a worker for several names reports it: "state" is one of
// "connecting", "ready", "playing", "idle", "busy", "reconnecting", "retrying".
struct SpeakerReport {
    QString name;
    std::string state;
    std::optional<QString> message;   // why it does not play ("busy", "retrying")
    std::optional<int> retrySeconds;  // until its next try ("retrying")
    bool operator==(const SpeakerReport&) const = default;
};

// One line of the worker's standard output that is a JSON object with a text "state".
struct WorkerEvent {
    std::string state;
    std::uint64_t bytesIn = 0;       // "bytes_in" as a count; 0 when absent or not a number
    std::optional<QString> message;  // "message" when it is a text
    // "latency_ms" of a "ready" line: how long after the worker sends a packet the speaker
    // plays it. Absent, negative, fractional or a minute and more: nothing.
    std::optional<std::uint32_t> latencyMs;
    // "speakers", written only by a worker for several names, in the order of its names.
    // Entries without a text "name" and "state" are left out.
    std::optional<std::vector<SpeakerReport>> speakers;
};

// Cuts the worker's output into lines and reads the events among them. Lines that are not
// such an object (not JSON, not UTF-8, an array, no text "state") are skipped. A line longer
// than 64 KiB is dropped, and no more than that is ever kept while waiting for its line
// feed, so a worker that writes without line feeds cannot make the reader grow without
// bound.
class WorkerLineReader {
public:
    // The events of every line completed by these bytes, in order.
    std::vector<WorkerEvent> feed(const QByteArray& bytes);
    // Bytes of an unfinished line.
    const QByteArray& pending() const { return pending_; }

private:
    QByteArray pending_;
    bool discarding_ = false;  // the rest of an overlong line is being skipped
};

}  // namespace sonvale
