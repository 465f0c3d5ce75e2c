#include <QAction>
#include <QGlyphRun>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QRawFont>
#include <QSlider>
#include <QTextLayout>
#include <QWidget>

#include "capture/capture.h"
#include "ui/detail_text.h"
#include "ui_fixture.h"

namespace sonvale {
namespace {

TEST(DetailText, ReadsByteForByte) {
    EXPECT_EQ(detailText({QStringLiteral("卧室"), 480, 7, 0.5f, 2048}),
              QStringLiteral("发送到：卧室 HomePod\n采集帧数：480\u3000发送数据：2 KB\n电平：-6.0 dB\u3000丢弃帧：7"));
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const struct {
        float peak;
        std::uint64_t bytes;
        const char* shown;
    } cases[] = {
        {0, 0, "发送到：尚未设置 HomePod\n"},
        {0, 1023, "：0 KB"},
        {0, 1024, "：1 KB"},
        {0, 1048575, "：1023 KB"},
        {0, UINT64_MAX, "：18014398509481983 KB"},
        {1.0f, 0, "电平：0.0 dB\u3000"},
        {2.0f, 0, "电平：6.0 dB\u3000"},
        {0.001f, 0, "电平：-60.0 dB\u3000"},
        {0.0f, 0, "电平：静音\u3000"},
        {-0.5f, 0, "电平：静音\u3000"},
        {nan, 0, "电平：静音\u3000"},
    };
    for (const auto& c : cases) {
        const QString text = detailText({{}, 0, 0, c.peak, c.bytes});
        EXPECT_TRUE(text.contains(QString::fromUtf8(c.shown))) << c.shown << " in " << text.toStdString();
    }
}

using StatusWindow = UiTest;

TEST_F(StatusWindow, IsBuiltOnceAndShownAgainAfterClosing) {
    controller->refresh();
    EXPECT_EQ(inspector->window(), nullptr);
    controller->showWindow();
    QWidget* first = inspector->window();
    ASSERT_NE(first, nullptr);
    QLabel* status = inspector->statusLabel();
    EXPECT_TRUE(first->isVisible());
    EXPECT_EQ(first->windowTitle(), QStringLiteral("Sonvale"));

    first->close();
    controller->showWindow();
    EXPECT_EQ(inspector->window(), first);
    EXPECT_EQ(inspector->statusLabel(), status);
    EXPECT_TRUE(first->isVisible());
    EXPECT_EQ(first->findChildren<QSlider*>().size(), 1);
    EXPECT_EQ(first->findChildren<QPushButton*>().size(), 2);
}

TEST_F(StatusWindow, ControlsSitAtTheirFramesInOrder) {
    controller->showWindow();
    QWidget* window = inspector->window();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->size(), QSize(560, 395));

    // Frames measured from the top: 395 - y - height.
    const struct {
        const char* text;
        QRect frame;
    } expected[] = {
        {"让 HomePod 成为 Mac 的日常扬声器", {24, 22, 515, 30}}, {"直接捕获", {24, 62, 510, 78}},
        {"已准备好，点击开始启用独立音频发送", {24, 150, 510, 45}}, {"发送到：", {24, 205, 510, 75}},
        {"转发音量", {24, 290, 90, 22}}, {nullptr, {120, 288, 390, 24}},
        {"启用系统音频转发", {24, 333, 220, 34}}, {"播放系统测试音", {310, 333, 220, 34}},
    };
    std::vector<QWidget*> controls;
    for (QObject* child : window->children())
        if (auto* widget = qobject_cast<QWidget*>(child)) controls.push_back(widget);
    ASSERT_EQ(controls.size(), std::size(expected));
    for (std::size_t i = 0; i < controls.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(controls[i]->geometry(), expected[i].frame);
        EXPECT_TRUE(window->rect().contains(controls[i]->geometry()));
        QString text;
        if (auto* label = qobject_cast<QLabel*>(controls[i])) text = label->text();
        if (auto* push = qobject_cast<QPushButton*>(controls[i])) text = push->text();
        if (expected[i].text) {
            EXPECT_TRUE(text.startsWith(QString::fromUtf8(expected[i].text))) << text.toStdString();
        }
    }
    EXPECT_EQ(inspector->statusLabel(), controls[2]);
    EXPECT_EQ(inspector->detailLabel(), controls[3]);
    EXPECT_EQ(inspector->slider(), controls[5]);
    EXPECT_EQ(inspector->button(), controls[6]);
}

TEST_F(StatusWindow, WrappedTextsFitTheirFrames) {
    inspector->message() = QStringLiteral("HomePod 连接超时（卧室）；32 秒后重试");
    controller->setTargetName(QStringLiteral("客厅 HomePod mini 左声道"));
    inspector->networkBytes() = UINT64_MAX;
    controller->showWindow();
    for (QLabel* label : inspector->window()->findChildren<QLabel*>()) {
        SCOPED_TRACE(label->text().toStdString());
        if (label->wordWrap()) {
            EXPECT_LE(label->heightForWidth(label->width()), label->height());
        } else {
            EXPECT_LE(label->sizeHint().width(), label->width());
            EXPECT_LE(label->sizeHint().height(), label->height());
        }
    }
}

TEST_F(StatusWindow, TitlesFollowEnabledOnTheSameRefresh) {
    inspector->buildMenu();
    controller->setEnabled(true);
    controller->showWindow();
    EXPECT_EQ(inspector->button()->text(), QStringLiteral("暂停转发"));
    const struct {
        bool enabled;
        const char* menu;
        const char* button;
    } cases[] = {{false, "开始自动转发", "启用系统音频转发"}, {true, "暂停转发，恢复本机声音", "暂停转发"}};
    for (const auto& c : cases) {
        controller->setEnabled(c.enabled);
        controller->state(QStringLiteral("状态 & <b>标记</b>"));
        EXPECT_EQ(inspector->toggleItem()->text(), QString::fromUtf8(c.menu));
        EXPECT_EQ(inspector->button()->text(), QString::fromUtf8(c.button));
        EXPECT_EQ(inspector->statusLabel()->text(), QStringLiteral("状态 & <b>标记</b>"));
        EXPECT_EQ(inspector->stateItem()->text(), QStringLiteral("状态 && <b>标记</b>"));
    }
}

TEST_F(StatusWindow, DetailsComeFromTheCaptureRingAndTheWorkerCount) {
    controller->setTargetName(QStringLiteral("书房"));
    controller->showWindow();
    EXPECT_EQ(inspector->detailLabel()->text(),
              QStringLiteral("发送到：书房 HomePod\n采集帧数：0\u3000发送数据：0 KB\n电平：静音\u3000丢弃帧：0"));

    inspector->capture() = std::make_unique<Capture>();
    std::vector<float> samples(960, 0.25f);
    samples[11] = -0.5f;
    const coreaudio::AudioBuffer buffer{2, std::uint32_t(samples.size() * sizeof(float)), samples.data()};
    inspector->capture()->ring().push(coreaudio::AudioBufferList{1, &buffer});
    inspector->networkBytes() = 1048575;
    controller->refresh();
    EXPECT_EQ(inspector->detailLabel()->text(),
              QStringLiteral("发送到：书房 HomePod\n采集帧数：480\u3000发送数据：1023 KB\n电平：-6.0 dB\u3000丢弃帧：0"));
}

TEST_F(StatusWindow, SliderStartsAtTheStoredGain) {
    const struct {
        const char* stored;
        int position;
    } cases[] = {{nullptr, 1000}, {"0.25", 250}, {"3.5", 1000}, {"-1", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored ? c.stored : "absent");
        {
            QSettings settings(environment.settingsPath, QSettings::IniFormat);
            settings.clear();
            if (c.stored) settings.setValue("gain", QString::fromLatin1(c.stored));
        }
        makeController();
        controller->showWindow();
        EXPECT_EQ(inspector->slider()->value(), c.position);
    }
}

// Han text must come out of a Simplified Chinese CJK face with real glyphs: a missing or
// wrong font would pass every geometry test and still show boxes or Japanese forms.
TEST_F(StatusWindow, HanTextShapesWithTheSimplifiedChineseFace) {
    inspector->buildMenu();
    controller->showWindow();
    std::vector<std::pair<QString, QFont>> texts;
    for (QLabel* label : inspector->window()->findChildren<QLabel*>()) texts.emplace_back(label->text(), label->font());
    for (QPushButton* push : inspector->window()->findChildren<QPushButton*>())
        texts.emplace_back(push->text(), push->font());
    for (QAction* action : inspector->menu()->actions())
        if (!action->isSeparator()) texts.emplace_back(action->text(), inspector->menu()->font());
    ASSERT_EQ(texts.size(), 15u);  // 5 labels, 2 buttons, 8 menu entries

    for (auto [text, font] : texts) {
        SCOPED_TRACE(text.toStdString());
        QTextLayout layout(text.replace('\n', QChar::LineSeparator), font);
        layout.beginLayout();
        while (layout.createLine().isValid()) {
        }
        layout.endLayout();
        const QList<QGlyphRun> runs = layout.glyphRuns();
        ASSERT_FALSE(runs.isEmpty());
        for (const QGlyphRun& run : runs) {
            EXPECT_TRUE(run.rawFont().familyName().contains(QStringLiteral("CJK SC")))
                << run.rawFont().familyName().toStdString();
            for (const quint32 glyph : run.glyphIndexes()) EXPECT_NE(glyph, 0u);
        }
    }
}

}  // namespace
}  // namespace sonvale
