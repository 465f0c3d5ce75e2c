#include "controller/speaker_status.h"

#include <optional>

namespace sonvale {
namespace {

QString quoted(const QString& name) { return QStringLiteral("“") + name + QStringLiteral("”"); }

// Why a speaker is left out of the headline, or nothing when the headline speaks for it.
std::optional<QString> cause(const SpeakerReport& speaker, Headline headline) {
    QString text;
    if (speaker.state == "busy") {
        text = speaker.message.value_or(quoted(speaker.name) + QStringLiteral("正被其他设备使用"));
    } else if (speaker.state == "retrying") {
        text = speaker.message.value_or(quoted(speaker.name) + QStringLiteral("暂时无法连接"));
    } else if (headline == Headline::playing && (speaker.state == "connecting" || speaker.state == "reconnecting")) {
        // Not yet playing, so "已连接" would be wrong for it.
        text = QStringLiteral("正在连接") + quoted(speaker.name) + QStringLiteral("…");
    } else {
        return std::nullopt;
    }
    if (speaker.retrySeconds) text += QStringLiteral("（") + QString::number(*speaker.retrySeconds) + QStringLiteral(" 秒后重试）");
    return text;
}

}  // namespace

QString joinedNames(const QStringList& names) { return names.join(QStringLiteral("、")); }

QString speakerStatus(Headline headline, const QStringList& names, const std::vector<SpeakerReport>& speakers) {
    QStringList named;
    QStringList causes;
    for (const SpeakerReport& speaker : speakers) {
        if (const auto why = cause(speaker, headline)) {
            causes << *why;
        } else {
            named << speaker.name;
        }
    }
    // A group line that contradicts its speakers (all of them left out) still names them all.
    const QString group = joinedNames(named.isEmpty() ? names : named);
    QString text;
    switch (headline) {
    case Headline::connecting:
        text = QStringLiteral("正在独立连接 ") + group + QStringLiteral("…");
        break;
    case Headline::playing:
        text = QStringLiteral("已连接 ") + group + QStringLiteral("，正在转发系统音频");
        break;
    case Headline::reconnecting:
        text = QStringLiteral("检测到声音，正在重新连接 ") + group + QStringLiteral("…");
        break;
    case Headline::standby:
        text = QStringLiteral("静音待机，已释放 HomePod 播放会话");
        break;
    }
    // One sentence per speaker left out; an ellipsis already ends the one before.
    for (const QString& why : causes) text += (text.endsWith(QStringLiteral("…")) ? QString() : QStringLiteral("。")) + why;
    return text;
}

}  // namespace sonvale
