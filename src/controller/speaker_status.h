#pragma once

#include <QString>
#include <QStringList>

#include <vector>

#include "sender/worker_lines.h"

namespace sonvale {

// The statuses of a run that name its speakers.
enum class Headline { connecting, playing, reconnecting, standby };

// Several speakers are named in the order chosen, joined by the enumeration comma "、".
QString joinedNames(const QStringList& names);

// The headline's text for the speakers that take part, then one sentence for each speaker
// that does not, with its cause and, where given, when it is tried again: e.g.
// "已连接 卧室，正在转发系统音频。“客厅”正被其他设备使用（8 秒后重试）". Without reports
// (one speaker, or none heard of yet) the headline names every speaker, as it always has.
QString speakerStatus(Headline headline, const QStringList& names, const std::vector<SpeakerReport>& speakers);

}  // namespace sonvale
