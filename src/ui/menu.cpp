#include <QAction>
#include <QCursor>
#include <QMenu>
#include <QSystemTrayIcon>

#include "controller/sonvale.h"
#include "ui/icons.h"
#include "ui/interface_font.h"
#include "ui/login_item.h"
#include "ui/menu_text.h"

namespace sonvale {

void Sonvale::buildMenu() {
    if (item) return;

    item = new QSystemTrayIcon(this);
    item->setIcon(trayIcon());
    item->setToolTip(QStringLiteral("Sonvale"));

    menu_ = std::make_unique<QMenu>();
    useInterfaceFont(*menu_);
    const auto addEntry = [this](const QString& title, void (Sonvale::*action)()) {
        QAction* entry = menu_->addAction(title);
        connect(entry, &QAction::triggered, this, action);
        return entry;
    };

    stateItem = menu_->addAction(menuText(message));
    stateItem->setEnabled(false);
    menu_->addSeparator();
    toggleItem = addEntry(QStringLiteral("开始转发"), &Sonvale::toggle);
    addEntry(QStringLiteral("设置与状态…"), &Sonvale::showWindow);
    addEntry(QStringLiteral("设置 HomePod 名称…"), &Sonvale::chooseTarget);
    QAction* login = addEntry(QStringLiteral("登录时启动"), &Sonvale::toggleLogin);
    login->setCheckable(true);
    login->setChecked(loginItemFor(loginService_, environment_).status() == LoginItemStatus::enabled);
    loginItem = login;
    addEntry(QStringLiteral("播放系统测试音"), &Sonvale::playTest);
    addEntry(QStringLiteral("查看日志"), &Sonvale::openLog);
    addEntry(QStringLiteral("退出并恢复本机声音"), &Sonvale::quit);

    item->setContextMenu(menu_.get());
    // A click on the icon opens the menu as the right click does, as on other desktops'
    // status items.
    connect(item, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger && !menu_->isVisible()) menu_->popup(QCursor::pos());
    });
    // Without a tray host the icon waits for one; the window still works.
    item->show();
}

}  // namespace sonvale
