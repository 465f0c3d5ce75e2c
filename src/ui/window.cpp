#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QWidget>
#include <algorithm>
#include <cmath>

#include "capture/capture.h"
#include "controller/sonvale.h"
#include "ui/detail_text.h"
#include "ui/icons.h"
#include "ui/interface_font.h"
#include "ui/menu_text.h"
#include "ui/window_layout.h"

namespace sonvale {
namespace {

// The slider moves in thousandths of the gain range 0.0 to 1.0.
constexpr int sliderSteps = 1000;

QLabel* addLabel(QWidget& parent, const QString& text, const QRect& frame, bool wrapping) {
    auto* label = new QLabel(&parent);
    // Status texts carry speaker names: never read them as markup.
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    label->setWordWrap(wrapping);
    label->setAlignment(Qt::AlignLeft | (wrapping ? Qt::AlignTop : Qt::AlignVCenter));
    label->setGeometry(frame);
    return label;
}

}  // namespace

void Sonvale::refresh() {
    const bool on = enabled();
    if (stateItem) stateItem->setText(menuText(message));
    if (toggleItem) toggleItem->setText(on ? QStringLiteral("暂停转发，恢复本机声音") : QStringLiteral("开始自动转发"));
    if (statusLabel) statusLabel->setText(message);
    if (button) button->setText(on ? QStringLiteral("暂停转发") : QStringLiteral("启用系统音频转发"));

    DetailFigures figures;
    if (capture) {
        const auto [total, dropped, peak] = capture->ring().statistics();
        figures.total = total;
        figures.dropped = dropped;
        figures.peak = peak;
    }
    if (detailLabel) {
        figures.target = targetName();
        figures.networkBytes = networkBytes;
        detailLabel->setText(detailText(figures));
    }
}

void Sonvale::showWindow() {
    if (!window) {
        auto built = std::make_unique<QWidget>(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
        QWidget& w = *built;
        w.setWindowTitle(QStringLiteral("Sonvale"));
        w.setWindowIcon(applicationIcon());
        w.setFixedSize(windowWidth, windowHeight);
        useInterfaceFont(w);

        QLabel* title = addLabel(w, QStringLiteral("让 HomePod 成为 Mac 的日常扬声器"), frameFromBottom(24, 343, 515, 30), false);
        title->setFont(interfaceFont(19, true));
        addLabel(w,
                 QStringLiteral("直接捕获 Mac 播放的声音并独立发送到 HomePod。首次使用需允许“系统音频录制”和本地网络访问，"
                                "不读取麦克风。连接耳机或选择其他 USB/虚拟输出时，会保留你的选择。"),
                 frameFromBottom(24, 255, 510, 78), true);
        statusLabel = addLabel(w, message, frameFromBottom(24, 200, 510, 45), true);
        statusLabel->setFont(interfaceFont(13, true));
        detailLabel = addLabel(w, QString(), frameFromBottom(24, 115, 510, 75), true);
        detailLabel->setFont(monospacedFont(12));
        addLabel(w, QStringLiteral("转发音量"), frameFromBottom(24, 83, 90, 22), false);

        slider = new QSlider(Qt::Horizontal, &w);
        slider->setRange(0, sliderSteps);
        // A stored gain outside the range (it is never clamped on reading) pins the slider to an end.
        slider->setValue(int(std::lround(std::clamp(double(gain()), 0.0, 1.0) * sliderSteps)));
        slider->setGeometry(frameFromBottom(120, 83, 390, 24));
        connect(slider, &QSlider::valueChanged, this, [this](int value) { volumeChanged(double(value) / sliderSteps); });

        button = new QPushButton(QStringLiteral("启用系统音频转发"), &w);
        button->setGeometry(frameFromBottom(24, 28, 220, 34));
        connect(button, &QPushButton::clicked, this, &Sonvale::toggle);

        auto* testButton = new QPushButton(QStringLiteral("播放系统测试音"), &w);
        testButton->setGeometry(frameFromBottom(310, 28, 220, 34));
        connect(testButton, &QPushButton::clicked, this, &Sonvale::playTest);

        if (const QScreen* screen = QApplication::primaryScreen()) {
            w.move(screen->availableGeometry().center() - w.rect().center());
        }
        window = std::move(built);
    }
    refresh();
    window->show();
    window->raise();
    window->activateWindow();
}

}  // namespace sonvale
