#include "ui/detail_text.h"

#include <cmath>

namespace sonvale {

QString detailText(const DetailFigures& figures) {
    const QString target = figures.target.isEmpty() ? QStringLiteral("尚未设置") : figures.target;
    // The level is worked out in single precision, as the peak is kept.
    const QString level = figures.peak > 0.0f
                              ? QString::asprintf("%.1f dB", double(20.0f * std::log10(figures.peak)))
                              : QStringLiteral("静音");
    return QStringLiteral("发送到：") + target + QStringLiteral(" HomePod\n采集帧数：") +
           QString::number(figures.total) + QStringLiteral("\u3000发送数据：") +
           QString::number(figures.networkBytes >> 10) + QStringLiteral(" KB\n电平：") + level +
           QStringLiteral("\u3000丢弃帧：") + QString::number(figures.dropped);
}

}  // namespace sonvale
