#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include "capture/capture.h"
#include "coreaudio/devices.h"
#include "entry/constants.h"
#include "ui_fixture.h"

namespace sonvale {
namespace {

class UserCommands : public UiTest {
protected:
    // Answers the name prompt with the given texts in turn; nullopt is a cancel.
    void answerPrompt(std::vector<std::optional<QString>> answers) {
        answers_ = std::move(answers);
        environment.namePrompt = [this](const QString& current) {
            prompted.push_back(current);
            if (answers_.empty()) return std::optional<QString>();
            auto next = answers_.front();
            answers_.erase(answers_.begin());
            return next;
        };
        makeController();
    }

    coreaudio::AudioObjectID addForwardingDevice() {
        return inspector->outputDevice() = coreaudio::makeAggregate("Sonvale · 卧室", outputUID, false, std::nullopt);
    }

    std::vector<QString> prompted;

private:
    std::vector<std::optional<QString>> answers_;
};

TEST_F(UserCommands, SwitchingOnWithoutANameAsksAndACancelChangesNothing) {
    for (const std::optional<QString>& answer : {std::optional<QString>(), std::optional<QString>(QString())}) {
        answerPrompt({answer});
        inspector->failures() = 3;
        const QString before = inspector->message();
        controller->toggle();
        EXPECT_EQ(prompted.size(), 1u);
        prompted.clear();
        EXPECT_FALSE(controller->enabled());
        EXPECT_EQ(inspector->failures(), 3);
        EXPECT_EQ(inspector->nextAttempt(), distantPast);
        EXPECT_TRUE(controller->targetName().isEmpty());
        // A blank answer is the prompt's own refusal; toggle() adds nothing of its own.
        EXPECT_EQ(inspector->message(), answer ? QStringLiteral("HomePod 名称不能为空") : before);
    }
}

TEST_F(UserCommands, SwitchingOnArmsTheFirstAttemptOneSecondAheadAndOffStopsAtOnce) {
    answerPrompt({QStringLiteral("  卧室 \n")});
    inspector->failures() = 4;
    inspector->nextAttempt() = clock->now() + Seconds(30);
    controller->toggle();
    EXPECT_TRUE(controller->enabled());
    EXPECT_EQ(controller->targetName(), QStringLiteral("卧室"));
    EXPECT_EQ(inspector->failures(), 0);
    EXPECT_EQ(inspector->nextAttempt(), clock->now() + Seconds(1.0));
    EXPECT_EQ(inspector->message(), QStringLiteral("已启用，正在准备连接 卧室"));
    EXPECT_TRUE(logText().contains(QStringLiteral("目标已设置为 卧室\n")));
    EXPECT_TRUE(logText().endsWith(QStringLiteral(" 已启用，正在准备连接 卧室\n")));

    inspector->capture() = std::make_unique<Capture>();
    controller->toggle();
    EXPECT_FALSE(controller->enabled());
    EXPECT_EQ(inspector->capture(), nullptr);
    EXPECT_EQ(inspector->message(), QStringLiteral("已暂停，已释放系统音频捕获"));
    EXPECT_EQ(prompted.size(), 1u);
}

// A cancel leaves everything alone; blanks are refused and logged, and the old name kept.
TEST_F(UserCommands, CancelledOrBlankAnswersKeepTheOldNameAndTheEngine) {
    for (const std::optional<QString>& answer :
         {std::optional<QString>(), std::optional<QString>(QStringLiteral("   ")),
          std::optional<QString>(QStringLiteral("\n\t")), std::optional<QString>(QStringLiteral("\u3000 "))}) {
        SCOPED_TRACE(answer ? answer->toStdString() : "cancel");
        QFile::remove(environment.logPath);
        answerPrompt({answer});
        controller->setTargetName(QStringLiteral("客厅"));
        inspector->capture() = std::make_unique<Capture>();
        const auto device = addForwardingDevice();
        inspector->failures() = 2;
        const QString before = inspector->message();

        controller->chooseTarget();
        EXPECT_EQ(controller->targetName(), QStringLiteral("客厅"));
        EXPECT_NE(inspector->capture(), nullptr);
        EXPECT_EQ(inspector->outputDevice(), device);
        EXPECT_EQ(inspector->failures(), 2);
        EXPECT_EQ(inspector->message(), answer ? QStringLiteral("HomePod 名称不能为空") : before);
        EXPECT_EQ(logText().isEmpty(), !answer);
        if (answer) {
            EXPECT_TRUE(logText().endsWith(QStringLiteral(" HomePod 名称不能为空\n")));
        }
    }
}

TEST_F(UserCommands, ASavedNameRestartsForwardingForIt) {
    const struct {
        bool enabled;
        const char* stored;
        const char* typed;
        const char* saved;
    } cases[] = {
        {true, "卧室", "卧室", "卧室"},               // the same name still starts afresh
        {false, "卧室", " 书房 B2\u3000", "书房 B2"},  // inner blanks stay
        {true, nullptr, "\n客厅\n", "客厅"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed);
        QSettings(environment.settingsPath, QSettings::IniFormat).clear();
        answerPrompt({QString::fromUtf8(c.typed)});
        controller->setEnabled(c.enabled);
        if (c.stored) controller->setTargetName(QString::fromUtf8(c.stored));
        inspector->capture() = std::make_unique<Capture>();
        const auto device = addForwardingDevice();
        inspector->failures() = 2;

        controller->chooseTarget();
        ASSERT_EQ(prompted.size(), 1u);
        EXPECT_EQ(prompted.front(), c.stored ? QString::fromUtf8(c.stored) : QString());
        prompted.clear();
        EXPECT_EQ(controller->targetName(), QString::fromUtf8(c.saved));
        EXPECT_EQ(controller->enabled(), c.enabled);
        EXPECT_EQ(inspector->capture(), nullptr);
        EXPECT_EQ(inspector->outputDevice(), 0u);
        EXPECT_FALSE(model->find(device).has_value());
        EXPECT_EQ(inspector->failures(), 0);
        EXPECT_EQ(inspector->nextAttempt(), clock->now() + Seconds(1.0));
        EXPECT_EQ(inspector->message(), QStringLiteral("目标已设置为 ") + QString::fromUtf8(c.saved));
    }
}

TEST_F(UserCommands, TheTickWaitsWhileTheNameIsAsked) {
    QTimer tick;
    tick.start(500);
    bool activeWhileAsked = true;
    environment.namePrompt = [&](const QString&) {
        activeWhileAsked = tick.isActive();
        return std::optional<QString>();
    };
    makeController();
    inspector->tickTimer() = &tick;
    controller->chooseTarget();
    EXPECT_FALSE(activeWhileAsked);
    EXPECT_TRUE(tick.isActive());
    inspector->tickTimer() = nullptr;
}

TEST_F(UserCommands, TheVolumeIsStoredAndHandedToTheCapture) {
    controller->volumeChanged(0.4);
    EXPECT_EQ(controller->gain(), 0.4f);
    EXPECT_EQ(QSettings(environment.settingsPath, QSettings::IniFormat).value("gain").toString(), "0.4");

    inspector->capture() = std::make_unique<Capture>();
    controller->showWindow();
    EXPECT_EQ(inspector->slider()->value(), 400);
    inspector->slider()->setValue(650);
    EXPECT_EQ(controller->gain(), 0.65f);
    // The capture takes the gain on its writer thread.
    for (int i = 0; i < 200 && inspector->capture()->gain.load() != 0.65f; ++i) QTest::qWait(10);
    EXPECT_EQ(inspector->capture()->gain.load(), 0.65f);
}

TEST_F(UserCommands, QuitSwitchesOffBeforeStoppingAndRemovesTheDevice) {
    controller->setEnabled(true);
    controller->setTargetName(QStringLiteral("卧室"));
    const auto speaker = model->addDevice({0, std::string(clockUID), "内置音频 扬声器", coreaudio::transport::builtIn});
    const auto device = addForwardingDevice();
    model->setDefaultOutput(device);
    inspector->capture() = std::make_unique<Capture>();
    QSignalSpy terminated(controller.get(), &Sonvale::terminateRequested);

    controller->quit();
    EXPECT_FALSE(controller->enabled());
    EXPECT_EQ(inspector->capture(), nullptr);
    EXPECT_EQ(model->defaultOutput(), speaker);
    EXPECT_EQ(inspector->outputDevice(), 0u);
    EXPECT_FALSE(model->find(device).has_value());
    EXPECT_EQ(terminated.count(), 1);
}

class UrlCatcher : public QObject {
    Q_OBJECT
public slots:
    void open(const QUrl& url) { opened.push_back(url); }

public:
    std::vector<QUrl> opened;
};

TEST_F(UserCommands, OpenLogHandsTheLogFileToTheDesktop) {
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
    controller->openLog();
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    ASSERT_EQ(catcher.opened.size(), 1u);
    EXPECT_EQ(catcher.opened.front(), QUrl::fromLocalFile(environment.logPath));
}

TEST_F(UserCommands, PlayTestStartsThePlayerDetachedWithTheChimeAndIsQuietWithoutOne) {
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", dir.filePath("empty").toLocal8Bit());
    const QString message = inspector->message();
    controller->playTest();
    EXPECT_EQ(inspector->message(), message);
    EXPECT_TRUE(logText().isEmpty());

    // A stand-in player that records its argument and is still running when playTest() returns.
    const QString bin = dir.filePath("bin"), record = dir.filePath("played");
    QDir().mkpath(bin);
    QFile player(bin + "/paplay");
    ASSERT_TRUE(player.open(QIODevice::WriteOnly));
    player.write(QStringLiteral("#!/bin/sh\nsleep 0.3\nprintf '%s' \"$1\" > '%1'\n").arg(record).toUtf8());
    player.close();
    player.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("PATH", bin.toLocal8Bit() + ":" + path);
    controller->playTest();
    qputenv("PATH", path);
    EXPECT_FALSE(QFile::exists(record));
    QFile played(record);
    for (int i = 0; i < 100 && !played.exists(); ++i) QTest::qWait(50);
    QTest::qWait(50);
    ASSERT_TRUE(played.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(played.readAll()), environment.resourceDir + "/system-test.wav");
}

// The real dialog, driven the way a user would.
class TargetNameDialog : public UiTest {
protected:
    // Runs chooseTarget() and acts on the dialog once it is up; a guard closes it if the
    // action fails, so a broken test ends instead of hanging in the modal loop.
    void withDialog(const std::function<void(QDialog&, QLineEdit&)>& act) {
        QTimer::singleShot(0, [act] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            auto* field = dialog->findChild<QLineEdit*>();
            ASSERT_NE(field, nullptr);
            act(*dialog, *field);
        });
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, [] {
            if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
        });
        guard.start(5000);
        controller->chooseTarget();
    }
};

TEST_F(TargetNameDialog, ShowsTheTextsSavesTheTrimmedNameAndCancels) {
    controller->setTargetName(QStringLiteral("卧室"));
    withDialog([](QDialog& dialog, QLineEdit& field) {
        QStringList texts;
        for (QLabel* label : dialog.findChildren<QLabel*>()) texts << label->text();
        EXPECT_TRUE(texts.contains(QStringLiteral("设置 HomePod 名称")));
        EXPECT_TRUE(texts.contains(QStringLiteral(
            "输入“家庭”App 中的 HomePod 名称，例如“卧室”。Mac 与 HomePod 需在同一局域网，且名称应唯一。")));
        EXPECT_EQ(field.size(), QSize(290, 25));
        EXPECT_EQ(field.text(), QStringLiteral("卧室"));
        EXPECT_EQ(field.placeholderText(), QStringLiteral("例如：卧室"));
        const auto buttons = dialog.findChildren<QPushButton*>();
        ASSERT_EQ(buttons.size(), 2);
        EXPECT_EQ(buttons[0]->text(), QStringLiteral("保存"));
        EXPECT_EQ(buttons[1]->text(), QStringLiteral("取消"));
        EXPECT_LT(buttons[0]->x(), buttons[1]->x());
        EXPECT_TRUE(buttons[0]->isDefault());
        field.setText(QStringLiteral("客厅"));
        buttons[1]->click();
    });
    EXPECT_EQ(controller->targetName(), QStringLiteral("卧室"));
    EXPECT_TRUE(logText().isEmpty());

    withDialog([](QDialog&, QLineEdit& field) {
        field.setText(QStringLiteral("  书房 B2  "));
        QTest::keyClick(&field, Qt::Key_Return);
    });
    EXPECT_EQ(controller->targetName(), QStringLiteral("书房 B2"));
    EXPECT_EQ(inspector->message(), QStringLiteral("目标已设置为 书房 B2"));

    withDialog([](QDialog& dialog, QLineEdit& field) {
        field.setText(QStringLiteral("客厅"));
        QTest::keyClick(&dialog, Qt::Key_Escape);
    });
    EXPECT_EQ(controller->targetName(), QStringLiteral("书房 B2"));
}

}  // namespace
}  // namespace sonvale

#include "commands_test.moc"
