#include "sender/worker_lines.h"

#include <nlohmann/json.hpp>

#include <cmath>

namespace sonvale {
namespace {

constexpr qsizetype lineLimit = 64 * 1024;

std::uint64_t count(const nlohmann::json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end()) return 0;
    if (found->is_number_unsigned()) return found->get<std::uint64_t>();
    if (found->is_number_integer()) return std::uint64_t(found->get<std::int64_t>());
    if (found->is_number_float()) {
        const double value = found->get<double>();
        // Out-of-range values are clamped instead of converted with undefined behaviour.
        if (!(value > 0)) return 0;
        if (value >= 18446744073709551616.0) return UINT64_MAX;
        return std::uint64_t(value);
    }
    return 0;
}

std::optional<QString> text(const nlohmann::json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end() || !found->is_string()) return std::nullopt;
    return QString::fromStdString(found->get<std::string>());
}

std::optional<std::vector<SpeakerReport>> speakers(const nlohmann::json& object) {
    const auto found = object.find("speakers");
    if (found == object.end() || !found->is_array()) return std::nullopt;
    std::vector<SpeakerReport> result;
    for (const auto& entry : *found) {
        if (!entry.is_object()) continue;
        const auto name = text(entry, "name");
        const auto state = text(entry, "state");
        if (!name || !state) continue;
        SpeakerReport report{*name, state->toStdString(), text(entry, "message"), std::nullopt};
        const auto retry = entry.find("retry_s");
        if (retry != entry.end() && retry->is_number() && retry->get<double>() >= 0 && retry->get<double>() < 86400) {
            report.retrySeconds = int(std::ceil(retry->get<double>()));
        }
        result.push_back(std::move(report));
    }
    return result;
}

std::optional<WorkerEvent> event(const QByteArray& line) {
    const auto parsed = nlohmann::json::parse(line.begin(), line.end(), nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) return std::nullopt;
    const auto state = parsed.find("state");
    if (state == parsed.end() || !state->is_string()) return std::nullopt;
    WorkerEvent result;
    result.state = state->get<std::string>();
    result.bytesIn = count(parsed, "bytes_in");
    const auto latency = parsed.find("latency_ms");
    if (latency != parsed.end() && latency->is_number_integer() && latency->get<std::int64_t>() >= 0 &&
        latency->get<std::int64_t>() < 60'000) {
        result.latencyMs = std::uint32_t(latency->get<std::int64_t>());
    }
    result.message = text(parsed, "message");
    result.speakers = speakers(parsed);
    return result;
}

}  // namespace

std::vector<WorkerEvent> WorkerLineReader::feed(const QByteArray& bytes) {
    std::vector<WorkerEvent> events;
    pending_.append(bytes);
    for (;;) {
        const qsizetype end = pending_.indexOf('\n');
        if (discarding_) {
            if (end < 0) {
                pending_.clear();
                return events;
            }
            pending_.remove(0, end + 1);
            discarding_ = false;
            continue;
        }
        if (end < 0) {
            if (pending_.size() > lineLimit) {
                pending_.clear();
                discarding_ = true;
            }
            return events;
        }
        const QByteArray line = pending_.left(end);
        pending_.remove(0, end + 1);
        if (line.size() > lineLimit) continue;
        if (auto parsed = event(line)) events.push_back(std::move(*parsed));
    }
}

}  // namespace sonvale
