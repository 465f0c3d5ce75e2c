#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QWidget>

#include <algorithm>
#include <cmath>

#include "ui/icons.h"
#include "ui/interface_font.h"
#include "ui/menu_text.h"
#include "ui/status_view.h"
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

void StatusView::present(const StatusPresentation& presentation) {
    const bool on = presentation.enabled;
    if (stateItem_) stateItem_->setText(menuText(presentation.message));
    if (toggleItem_) toggleItem_->setText(on ? QStringLiteral("暂停转发，恢复本机声音") : QStringLiteral("开始自动转发"));
    if (statusLabel_) statusLabel_->setText(presentation.message);
    if (button_) button_->setText(on ? QStringLiteral("暂停转发") : QStringLiteral("启用系统音频转发"));
    if (detailLabel_) detailLabel_->setText(detailText(presentation.figures));
}

void StatusView::showWindow(const StatusPresentation& presentation, float gain) {
    if (!window_) buildWindow(gain);
    present(presentation);
    window_->show();
    window_->raise();
    window_->activateWindow();
}

void StatusView::buildWindow(float gain) {
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
    statusLabel_ = addLabel(w, QString(), frameFromBottom(24, 200, 510, 45), true);
    statusLabel_->setFont(interfaceFont(13, true));
    detailLabel_ = addLabel(w, QString(), frameFromBottom(24, 115, 510, 75), true);
    detailLabel_->setFont(monospacedFont(12));
    addLabel(w, QStringLiteral("转发音量"), frameFromBottom(24, 83, 90, 22), false);

    auto* slider = new QSlider(Qt::Horizontal, &w);
    slider->setRange(0, sliderSteps);
    // A stored gain outside the range (it is never clamped on reading) pins the slider to an end.
    slider->setValue(int(std::lround(std::clamp(double(gain), 0.0, 1.0) * sliderSteps)));
    slider->setGeometry(frameFromBottom(120, 83, 390, 24));
    connect(slider, &QSlider::valueChanged, this, [this](int value) { emit volumeChanged(double(value) / sliderSteps); });

    button_ = new QPushButton(QStringLiteral("启用系统音频转发"), &w);
    button_->setGeometry(frameFromBottom(24, 28, 220, 34));
    connect(button_, &QPushButton::clicked, this, &StatusView::toggleRequested);

    auto* testButton = new QPushButton(QStringLiteral("播放系统测试音"), &w);
    testButton->setGeometry(frameFromBottom(310, 28, 220, 34));
    connect(testButton, &QPushButton::clicked, this, &StatusView::playTestRequested);

    if (const QScreen* screen = QApplication::primaryScreen()) {
        w.move(screen->availableGeometry().center() - w.rect().center());
    }
    window_ = std::move(built);
}

}  // namespace sonvale
