#include <QPointer>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>

#include "capture/capture.h"
#include "controller/sonvale.h"
#include "coreaudio/devices.h"
#include "base/platform_error.h"
#include "base/constants.h"
#include "sender/worker_process.h"

namespace sonvale {
namespace {

// Worker lines are a few hundred bytes. A longer one is dropped, and no more than this
// much of a line is ever kept while waiting for its line feed, so a worker that writes
// without line feeds cannot make the controller grow without bound.
constexpr qsizetype lineLimit = 64 * 1024;

const QString standbyText = QStringLiteral("静音待机，已释放 HomePod 播放会话");

// The parsed line when it is a JSON object with a text "state"; nullopt for anything else
// (not JSON, not valid UTF-8, an array, a bare value, no "state" or a "state" that is not text).
std::optional<nlohmann::json> stateObject(const QByteArray& line) {
    const auto parsed = nlohmann::json::parse(line.begin(), line.end(), nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) return std::nullopt;
    const auto found = parsed.find("state");
    if (found == parsed.end() || !found->is_string()) return std::nullopt;
    return parsed;
}

std::uint64_t bytesIn(const nlohmann::json& object) {
    const auto found = object.find("bytes_in");
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

}  // namespace

void Sonvale::consume(const QByteArray& data) {
    if (data.isEmpty()) return;
    wireData.append(data);

    for (;;) {
        const qsizetype end = wireData.indexOf('\n');
        if (discardingLine_) {
            if (end < 0) {
                wireData.clear();
                return;
            }
            wireData.remove(0, end + 1);
            discardingLine_ = false;
            continue;
        }
        if (end < 0) {
            if (wireData.size() > lineLimit) {
                wireData.clear();
                discardingLine_ = true;
            }
            return;
        }
        const QByteArray line = wireData.left(end);
        wireData.remove(0, end + 1);
        if (line.size() > lineLimit) continue;

        const auto object = stateObject(line);
        if (!object) continue;
        lastHeartbeat = now();

        const std::string stateValue = object->at("state").get<std::string>();
        if (stateValue == "ready") {
            if (!startForwarding()) return;
        } else if (stateValue == "idle") {
            if (message != standbyText) state(standbyText);
        } else if (stateValue == "reconnecting") {
            state(QStringLiteral("检测到声音，正在重新连接 ") + targetName() + QStringLiteral("…"));
        } else if (stateValue == "playing") {
            state(QStringLiteral("已连接 ") + targetName() + QStringLiteral("，正在转发系统音频"));
        } else if (stateValue == "streaming") {
            networkBytes = bytesIn(*object);
        } else if (stateValue == "error") {
            const auto found = object->find("message");
            const QString reason = found != object->end() && found->is_string()
                                       ? QString::fromStdString(found->get<std::string>())
                                       : QStringLiteral("发送器报告错误");
            stopEngine();
            scheduleRetry(reason);
        }
    }
}

bool Sonvale::startForwarding() {
    // The engine was torn down earlier in this batch (an "error" line just before, say):
    // there is no pipe to capture into, so the line is ignored.
    if (input < 0) return true;
    if (!enabled()) {
        stopEngine();
        return false;
    }
    if (!coreaudio::eligible(coreaudio::current())) {
        stopEngine();
        return false;
    }
    const QString name = targetName();
    try {
        if (outputDevice == 0) {
            outputDevice = coreaudio::makeAggregate((QStringLiteral("Sonvale · ") + name).toStdString(), outputUID,
                                                    false, std::nullopt);
        }
        const std::string currentUID = coreaudio::uid(coreaudio::current());
        if (currentUID != outputUID) previousUID = currentUID;

        capture = std::make_unique<Capture>();
        const QPointer<Sonvale> self(this);
        capture->onFormat = [self](const std::string& text) {
            if (self) self->log(QString::fromStdString(text));
        };
        capture->onFailure = [self](const std::string& text) {
            // The teardown destroys the capture and with it this very function object:
            // nothing of it may be touched once stopEngine() has begun.
            Sonvale* const controller = self.data();
            if (!controller) return;
            const QString reason = QString::fromStdString(text);
            controller->stopEngine();
            controller->scheduleRetry(reason);
        };
        capture->gain = gain();
        capture->start(input);

        if (!coreaudio::eligible(coreaudio::current())) {
            stopEngine();
            return false;
        }
        coreaudio::setOutput(outputDevice);
    } catch (const PlatformError& error) {
        stopEngine();
        setEnabled(false);
        state(QStringLiteral("未启用捕获：") + QString::fromStdString(error.localizedDescription()) +
              QStringLiteral("。授权后点开始重试。"));
        return true;
    }
    failures = 0;
    state(QStringLiteral("已连接 ") + name + QStringLiteral("，正在转发系统音频"));
    return true;
}

}  // namespace sonvale
