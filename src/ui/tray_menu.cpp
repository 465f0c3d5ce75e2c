#include <QAction>
#include <QCursor>
#include <QMenu>
#include <QSystemTrayIcon>

#include "ui/icons.h"
#include "ui/interface_font.h"
#include "ui/menu_text.h"
#include "ui/status_view.h"

namespace sonvale {

StatusView::StatusView(QObject* parent) : QObject(parent) {}

StatusView::~StatusView() = default;

void StatusView::buildMenu(const QString& message, bool loginEnabled) {
    if (item_) return;

    item_ = new QSystemTrayIcon(this);
    item_->setIcon(trayIcon());
    item_->setToolTip(QStringLiteral("Sonvale"));

    menu_ = std::make_unique<QMenu>();
    useInterfaceFont(*menu_);
    const auto addEntry = [this](const QString& title, void (StatusView::*intent)()) {
        QAction* entry = menu_->addAction(title);
        connect(entry, &QAction::triggered, this, intent);
        return entry;
    };

    stateItem_ = menu_->addAction(menuText(message));
    stateItem_->setEnabled(false);
    menu_->addSeparator();
    toggleItem_ = addEntry(QStringLiteral("开始转发"), &StatusView::toggleRequested);
    addEntry(QStringLiteral("设置与状态…"), &StatusView::showWindowRequested);
    addEntry(QStringLiteral("设置 HomePod 名称…"), &StatusView::chooseTargetRequested);
    loginItem_ = addEntry(QStringLiteral("登录时启动"), &StatusView::toggleLoginRequested);
    loginItem_->setCheckable(true);
    loginItem_->setChecked(loginEnabled);
    addEntry(QStringLiteral("播放系统测试音"), &StatusView::playTestRequested);
    addEntry(QStringLiteral("查看日志"), &StatusView::openLogRequested);
    addEntry(QStringLiteral("退出并恢复本机声音"), &StatusView::quitRequested);

    item_->setContextMenu(menu_.get());
    // A click on the icon opens the menu as the right click does, as on other desktops'
    // status items.
    connect(item_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger && !menu_->isVisible()) menu_->popup(QCursor::pos());
    });
    // Without a tray host the icon waits for one; the window still works.
    item_->show();
}

void StatusView::setLoginChecked(bool checked) {
    if (loginItem_) loginItem_->setChecked(checked);
}

}  // namespace sonvale
