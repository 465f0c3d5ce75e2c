#include <QSignalSpy>
#include <QTest>
#include <QtWidgets>
#include <gtest/gtest.h>

#include "controller/login_item.h"
#include "controller/sonvale.h"
#include "support/device_model.h"
#include "support/wait.h"

namespace {
using namespace sonvale;

QMenu* menuOf(StatusView& view) { return view.findChild<QSystemTrayIcon*>()->contextMenu(); }
QAction* entry(StatusView& view, const QString& title) {
    for (QAction* action : menuOf(view)->actions()) if (action->text() == title) return action;
    return nullptr;
}
QWidget* window() {
    for (QWidget* window : QApplication::topLevelWidgets()) if (window->isVisible() && window->findChild<QSlider*>()) return window;
    return nullptr;
}
template <class Widget> Widget* shown(const QString& text) {
    for (Widget* widget : window()->findChildren<Widget*>()) if (widget->text() == text) return widget;
    return nullptr;
}

struct Shown : ::testing::Test {
    Shown() { view.buildMenu(QStringLiteral("准备"), true), view.showWindow({}, 1.7f); }  // gain past the end
    StatusView view;
};

TEST_F(Shown, TextsAsGivenByteForByteWithTheTogglesFollowingEnabled) {
    const std::tuple<bool, DetailFigures, const char*> cases[] = {
        {false, {}, "发送到：尚未设置 HomePod\n采集帧数：0\u3000发送数据：0 KB\n电平：静音\u3000丢弃帧：0"},
        {true, {"<i>卧室</i>", 480, 7, 0.5f, 1048575}, "发送到：<i>卧室</i> HomePod\n采集帧数：480\u3000发送数据：1023 KB\n电平：-6.0 dB\u3000丢弃帧：7"}};
    for (const auto& [on, figures, detail] : cases) {
        view.present({QStringLiteral("状态 & <b>卧室</b>"), on, figures});
        // iconText(): what the menu shows of a title, mnemonic marks taken out; greyed, as it is no command.
        EXPECT_TRUE(std::ranges::any_of(menuOf(view)->actions(), [](QAction* a) { return a->iconText() == "状态 & <b>卧室</b>" && !a->isEnabled(); }));
        for (const auto& [text, pixels] : {std::pair(QStringLiteral("状态 & <b>卧室</b>"), 13), std::pair(QString::fromUtf8(detail), 12)})
            EXPECT_TRUE(shown<QLabel>(text) && shown<QLabel>(text)->textFormat() == Qt::PlainText && shown<QLabel>(text)->font().pixelSize() == pixels) << text.toStdString();
        EXPECT_NE(entry(view, on ? QStringLiteral("暂停转发，恢复本机声音") : QStringLiteral("开始自动转发")), nullptr);
        EXPECT_NE(shown<QPushButton>(on ? QStringLiteral("暂停转发") : QStringLiteral("启用系统音频转发")), nullptr);
    }
}

// The window's fixed layout: each control's frame given from the bottom-left corner of the 560 × 395 area, in the
// order the controls are added; the icons drawn at the sizes panels and title bars ask for, not scaled.
TEST_F(Shown, ControlsSitInTheirFramesAndIconsAreDrawnAtPanelSizes) {
    EXPECT_EQ(window()->size(), QSize(560, 395));
    QList<QRect> frames, expected;
    for (QWidget* control : window()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) frames << control->geometry();
    for (const auto& [x, y, w, h] : {std::array{24, 343, 515, 30}, {24, 255, 510, 78}, {24, 200, 510, 45}, {24, 115, 510, 75},
                                     {24, 83, 90, 22}, {120, 83, 390, 24}, {24, 28, 220, 34}, {310, 28, 220, 34}})
        expected << QRect(x, 395 - y - h, w, h);
    EXPECT_EQ(frames, expected);
    const auto sizes = [](const QIcon& icon) { QList<int> out; for (QSize s : icon.availableSizes()) out << s.width(); return out; };
    EXPECT_EQ(sizes(view.findChild<QSystemTrayIcon*>()->icon()), (QList<int>{16, 22, 24, 32, 48, 64}));
    EXPECT_EQ(sizes(window()->windowIcon()), (QList<int>{16, 24, 32, 48, 56}));
}

TEST_F(Shown, SliderStartsAtTheGainClampedAndReportsThousandths) {
    QSignalSpy volume(&view, &StatusView::volumeChanged);
    EXPECT_EQ(window()->findChild<QSlider*>()->value(), 1000);
    window()->findChild<QSlider*>()->setValue(650);
    EXPECT_EQ(volume, QList<QVariantList>{{0.65}});
    window()->close();
    StatusView other;
    other.showWindow({}, 0.25f);
    EXPECT_EQ(window()->findChild<QSlider*>()->value(), 250);
}

TEST_F(Shown, EachEntryReportsItsIntentAndTheLoginEntryCarriesTheCheckMark) {
    EXPECT_TRUE(entry(view, QStringLiteral("登录时启动"))->isChecked());
    const std::pair<const char*, void (StatusView::*)()> intents[] = {
        {"开始自动转发", &StatusView::toggleRequested}, {"设置与状态…", &StatusView::showWindowRequested},
        {"设置 HomePod 名称…", &StatusView::chooseTargetRequested}, {"登录时启动", &StatusView::toggleLoginRequested},
        {"播放系统测试音", &StatusView::playTestRequested}, {"查看日志", &StatusView::openLogRequested},
        {"退出并恢复本机声音", &StatusView::quitRequested}};
    for (const auto& [title, intent] : intents) {
        QSignalSpy spy(&view, intent);
        if (QAction* found = entry(view, QString::fromUtf8(title))) found->trigger();
        EXPECT_EQ(spy.count(), 1) << title;
    }
}

// A missing or wrong font passes every other test and still shows boxes or Japanese forms.
TEST_F(Shown, HanTextTakesTheSimplifiedChineseFace) {
    const auto simplifiedChinese = [](const QString& text, const QFont& font) {
        const QRawFont face = QRawFont::fromFont(font);
        return face.familyName().contains("CJK SC") &&
               std::ranges::all_of(text, [&](QChar c) { return c.script() != QChar::Script_Han || face.supportsCharacter(c); });
    };
    for (QLabel* label : window()->findChildren<QLabel*>()) EXPECT_TRUE(simplifiedChinese(label->text(), label->font()));
    for (QAction* action : menuOf(view)->actions()) EXPECT_TRUE(simplifiedChinese(action->text(), menuOf(view)->font()));
}

TEST(LoginItem, ExecIsQuotedAndAFailedWriteKeepsTheCheckMarkAndSaysWhy) {
    const std::pair<const char*, const char*> cases[] = {
        {"/usr/bin/sonvale", "/usr/bin/sonvale"}, {"/opt/my apps/sonvale", "\"/opt/my apps/sonvale\""},
        {"/opt/a$b/sonvale", "\"/opt/a\\\\$b/sonvale\""}, {"/opt/50%/sonvale", "/opt/50%%/sonvale"},
        {"/opt/x\ny/sonvale", "\"/opt/x\\ny/sonvale\""}, {"/opt/声音/sonvale", "/opt/声音/sonvale"}};
    for (const auto& [executable, exec] : cases) EXPECT_EQ(LoginItem::execLine(QString::fromUtf8(executable)), exec);

    QTemporaryDir dir;
    // A file where the autostart folder belongs: not even root can write the entry.
    ASSERT_TRUE(QFile(dir.filePath("autostart")).open(QIODevice::WriteOnly));
    SonvaleEnvironment environment;
    environment.logPath = dir.filePath("Sonvale.log");
    environment.settingsPath = dir.filePath("local.sonvale.conf");
    environment.autostartPath = dir.filePath("autostart/local.sonvale.desktop");
    Sonvale controller(environment);
    controller.view().buildMenu(controller.message(), false);
    entry(controller.view(), QStringLiteral("登录时启动"))->trigger();
    EXPECT_FALSE(entry(controller.view(), QStringLiteral("登录时启动"))->isChecked());
    EXPECT_TRUE(controller.message().startsWith("登录项设置失败：")) << controller.message().toStdString();
}

// The listing runs as a stand-in worker; the dialog is answered through what the user sees.
TEST(NameDialog, OffersTheSpeakersFoundWithAirPlay2MarkedAndStoresThePlainName) {
    const char* found = R"({"name":"卧室","airplay2":false,"id":"A"}\nnot json\n{"name":"客厅","airplay2":true}\n{"name":"卧室","airplay2":true}\n{"name":"厨房","airplay2":"yes"})";
    // The field's text before the pick: a pick after a separator adds a speaker.
    const std::tuple<const char*, QStringList, const char*, const char*> cases[] = {
        {"", {}, "书房", ""},  // nothing on the network: the dialog as it always was, any name typed
        {found, {"卧室（AirPlay 2）", "客厅（AirPlay 2）", "厨房"}, "客厅", "书房"},
        {found, {"卧室（AirPlay 2）", "客厅（AirPlay 2）", "厨房"}, "卧室、客厅", "卧室、"}};
    coreaudio::setAudioSystem(std::make_shared<coreaudio::DeviceModel>());  // no sound server asked
    for (const auto& [lines, offered, chosen, typed] : cases) {
        QTemporaryDir dir;
        SonvaleEnvironment environment;
        environment.resourceDir = dir.filePath("share");
        environment.logPath = dir.filePath("Sonvale.log");
        environment.settingsPath = dir.filePath("local.sonvale.conf");
        QDir().mkpath(environment.resourceDir);
        QFile script(environment.resourceDir + "/sender.py");
        ASSERT_TRUE(script.open(QIODevice::WriteOnly));
        script.write(QStringLiteral("import sys\nassert sys.argv[1:3] == ['--list-speakers', '--seconds']\n"
                                    "print('%1', flush=True)\nopen('%2', 'w')\n").arg(lines, dir.filePath("done")).toUtf8());
        script.close();
        Sonvale controller(environment);
        QTimer::singleShot(15000, [] { if (QWidget* open = QApplication::activeModalWidget()) open->close(); });
        QTimer::singleShot(0, [&, offered = offered, chosen = chosen, typed = typed] {
            QWidget* dialog = QApplication::activeModalWidget();
            auto* field = dialog->findChild<QLineEdit*>("targetNameField");
            EXPECT_TRUE(test::waitUntil([&] { return QFile::exists(dir.filePath("done")) && field->actions().isEmpty() == offered.isEmpty(); }, 10000));
            test::waitUntil([] { return false; }, 300);  // anything still on its way
            EXPECT_EQ(field->size(), QSize(290, 25));
            const auto controls = dialog->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
            for (QWidget* a : controls)  // laid out, not stacked
                for (QWidget* b : controls) EXPECT_TRUE(a == b || !a->isVisible() || !b->isVisible() || !a->geometry().intersects(b->geometry()));
            if (offered.isEmpty()) {
                EXPECT_TRUE(field->actions().isEmpty());
                field->setText(QString::fromUtf8(chosen));
            } else {
                QStringList shown;
                for (int row = 0; row < field->completer()->model()->rowCount(); ++row)
                    shown << field->completer()->model()->index(row, 0).data().toString();
                EXPECT_EQ(shown, offered);
                field->setText(QString::fromUtf8(typed));
                field->actions().first()->trigger();
                QAbstractItemView* list = field->completer()->popup();
                EXPECT_TRUE(list->isVisible() && list->model()->rowCount() == 3);
                list->setCurrentIndex(list->model()->index(1, 0));
                QTest::keyClick(list, Qt::Key_Return);
            }
            for (QPushButton* button : dialog->findChildren<QPushButton*>()) if (button->text() == "保存") button->click();
        });
        controller.chooseTarget();
        EXPECT_EQ(controller.settings().targetNames().join("、"), QString::fromUtf8(chosen));
    }
    coreaudio::setAudioSystem(nullptr);
}

TEST(GeneratedResources, IconIsAnIcnsOfPngsAndTheChimeAShortCleanStereoSound) {
    QFile iconFile(SONVALE_RESOURCE_BUILD_DIR "/AppIcon.icns"), soundFile(SONVALE_RESOURCE_BUILD_DIR "/system-test.wav");
    ASSERT_TRUE(iconFile.open(QIODevice::ReadOnly) && soundFile.open(QIODevice::ReadOnly));
    const QByteArray icns = iconFile.readAll(), wav = soundFile.readAll();
    const auto be32 = [&](qsizetype at) { return qsizetype(qFromBigEndian<quint32>(icns.constData() + at)); };
    ASSERT_TRUE(icns.startsWith("icns") && icns.size() > 16 && be32(4) == icns.size());
    for (qsizetype at = 8; at < icns.size(); at += be32(at + 4)) {
        ASSERT_TRUE(be32(at + 4) > 8 && at + be32(at + 4) <= icns.size());
        const QImage image = QImage::fromData(icns.mid(at + 8, be32(at + 4) - 8), "PNG");
        EXPECT_TRUE(!image.isNull() && image.width() == image.height()) << icns.mid(at, 4).constData();
    }
    const auto le16 = [&](qsizetype at) { return int(qFromLittleEndian<qint16>(wav.constData() + at)); };
    ASSERT_TRUE(wav.startsWith("RIFF") && wav.mid(8, 8) == "WAVEfmt " && wav.mid(36, 4) == "data");
    EXPECT_EQ(std::tuple(le16(20), le16(22), qFromLittleEndian<quint32>(wav.constData() + 24), le16(34)), std::tuple(1, 2, 44100u, 16));
    EXPECT_TRUE(wav.size() > 44 + 44100 * 4 * 3 / 10 && wav.size() < 44 + 44100 * 4 * 3) << wav.size();  // 0.3 to 3 s
    int peak = 0;
    for (qsizetype at = 44; at < wav.size(); at += 2) peak = std::max(peak, std::abs(le16(at)));
    // Audible, never clipped, and at rest at the end so the player makes no click.
    EXPECT_TRUE(peak > 8000 && peak < 32000 && std::abs(le16(wav.size() - 2)) < 200) << peak;
}

}  // namespace
