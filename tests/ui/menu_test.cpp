#include <QAction>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QSignalSpy>
#include <QSystemTrayIcon>

#include "ui/login_item.h"
#include "ui_fixture.h"

namespace sonvale {
namespace {

using TrayMenu = UiTest;

TEST_F(TrayMenu, HasTheNineEntriesInOrderBuiltOnceAndRunningTheirCommands) {
    inspector->buildMenu();
    QMenu* menu = inspector->menu();
    ASSERT_NE(menu, nullptr);
    inspector->buildMenu();
    EXPECT_EQ(inspector->menu(), menu);
    EXPECT_EQ(inspector->item()->contextMenu(), menu);
    EXPECT_FALSE(inspector->item()->icon().isNull());

    const QList<QAction*> entries = menu->actions();
    const char* titles[] = {"已准备好，点击开始启用独立音频发送", nullptr, "开始转发", "设置与状态…",
                            "设置 HomePod 名称…", "登录时启动", "播放系统测试音", "查看日志",
                            "退出并恢复本机声音"};
    ASSERT_EQ(entries.size(), qsizetype(std::size(titles)));
    for (qsizetype i = 0; i < entries.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(entries[i]->isSeparator(), titles[i] == nullptr);
        if (titles[i]) {
            EXPECT_EQ(entries[i]->text(), QString::fromUtf8(titles[i]));
        }
        EXPECT_TRUE(entries[i]->shortcut().isEmpty());
        EXPECT_EQ(entries[i]->isCheckable(), i == 5);
    }
    EXPECT_FALSE(entries[0]->isEnabled());
    EXPECT_EQ(inspector->stateItem(), entries[0]);
    EXPECT_EQ(inspector->toggleItem(), entries[2]);
    EXPECT_EQ(inspector->loginItem(), entries[5]);

    entries[3]->trigger();
    ASSERT_NE(inspector->window(), nullptr);
    EXPECT_TRUE(inspector->window()->isVisible());
    QSignalSpy terminated(controller.get(), &Sonvale::terminateRequested);
    entries[8]->trigger();
    EXPECT_EQ(terminated.count(), 1);
}

TEST_F(TrayMenu, LoginCheckMarkFollowsTheAutostartEntry) {
    const struct {
        const char* entry;  // nullptr: no file
        bool checked;
    } cases[] = {
        {nullptr, false},
        {"[Desktop Entry]\nType=Application\nExec=/opt/sonvale/bin/sonvale --background\n", true},
        {"[Desktop Entry]\nType=Application\nHidden=true\n", false},
        {"[Desktop Entry]\nHidden=false\n", true},
        {"[Desktop Entry]\nName=Sonvale\n[Desktop Action x]\nHidden=true\n", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.entry ? c.entry : "none");
        QFile::remove(environment.autostartPath);
        if (c.entry) {
            QDir().mkpath(QFileInfo(environment.autostartPath).absolutePath());
            QFile file(environment.autostartPath);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write(c.entry);
        }
        makeController();
        inspector->buildMenu();
        EXPECT_EQ(inspector->loginItem()->isChecked(), c.checked);
    }
}

TEST_F(TrayMenu, ChoosingTheLoginEntryWritesAndRemovesTheAutostartEntry) {
    inspector->buildMenu();
    QAction* login = inspector->loginItem();

    login->trigger();
    EXPECT_TRUE(login->isChecked());
    QFile entry(environment.autostartPath);
    ASSERT_TRUE(entry.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(entry.readAll());
    EXPECT_TRUE(text.startsWith(QStringLiteral("[Desktop Entry]\n")));
    EXPECT_TRUE(text.contains(QStringLiteral("\nExec=/opt/sonvale/bin/sonvale --background\n")));
    EXPECT_TRUE(text.contains(QStringLiteral("\nType=Application\n")));
    EXPECT_FALSE(text.contains(QStringLiteral("Hidden")));

    login->trigger();
    EXPECT_FALSE(login->isChecked());
    EXPECT_FALSE(QFile::exists(environment.autostartPath));
    EXPECT_TRUE(logText().isEmpty());
}

TEST_F(TrayMenu, AFailedWriteIsReportedAndTheCheckMarkKept) {
    // The autostart folder's place is taken by a file, so no entry can be written.
    QDir().mkpath(dir.filePath("config"));
    QFile blocker(QFileInfo(environment.autostartPath).absolutePath());
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    inspector->buildMenu();
    inspector->loginItem()->trigger();
    EXPECT_FALSE(inspector->loginItem()->isChecked());
    EXPECT_TRUE(inspector->message().startsWith(QStringLiteral("登录项设置失败：")));
    EXPECT_GT(inspector->message().size(), QStringLiteral("登录项设置失败：").size());
    EXPECT_EQ(inspector->stateItem()->text(), inspector->message());
    EXPECT_TRUE(logText().contains(QStringLiteral(" 登录项设置失败：")));
}

TEST(LoginItemExec, QuotesWhatTheEntryFormatReserves) {
    const struct {
        const char* executable;
        const char* exec;
    } cases[] = {
        {"/usr/bin/sonvale", "/usr/bin/sonvale"},
        {"/opt/my apps/sonvale", "\"/opt/my apps/sonvale\""},
        {"/opt/a$b/sonvale", "\"/opt/a\\\\$b/sonvale\""},
        {"/opt/50%/sonvale", "/opt/50%%/sonvale"},
        {"/opt/x\ny/sonvale", "\"/opt/x\\ny/sonvale\""},
        {"/opt/声音/sonvale", "/opt/声音/sonvale"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(LoginItem::execLine(QString::fromUtf8(c.executable)), QString::fromUtf8(c.exec)) << c.executable;
}

}  // namespace
}  // namespace sonvale
