#include <QAction>
#include <QDesktopServices>
#include <QProcess>
#include <QTimer>
#include <QUrl>
#include <charconv>

#include "capture/capture.h"
#include "controller/sonvale.h"
#include "ui/login_item.h"
#include "ui/name_dialog.h"

namespace sonvale {

void Sonvale::toggle() {
    if (!enabled() && targetName().isEmpty()) {
        chooseTarget();
        if (targetName().isEmpty()) return;
    }
    const bool on = !enabled();
    setEnabled(on);
    failures = 0;
    nextAttempt = now() + Seconds(1.0);
    if (on) {
        state(QStringLiteral("已启用，正在准备连接 ") + targetName());
    } else {
        stopEngine();
        state(QStringLiteral("已暂停，已释放系统音频捕获"));
    }
    refresh();
}

void Sonvale::chooseTarget() {
    // The supervision tick waits while the user is asked, as it would behind a modal alert.
    const bool tickWasRunning = tickTimer && tickTimer->isActive();
    if (tickWasRunning) tickTimer->stop();
    const std::optional<QString> answer =
        environment_.namePrompt ? environment_.namePrompt(targetName()) : askForTargetName(targetName());
    if (tickWasRunning) tickTimer->start();
    if (!answer) return;

    const QString name = answer->trimmed();
    if (name.isEmpty()) {
        state(QStringLiteral("HomePod 名称不能为空"));
        return;
    }
    const bool wasEnabled = enabled();
    stopEngine();
    // The forwarding output device carries the speaker's name; the next "ready" makes it again.
    destroyOutputDevice();
    setTargetName(name);
    setEnabled(wasEnabled);
    failures = 0;
    nextAttempt = now() + Seconds(1.0);
    state(QStringLiteral("目标已设置为 ") + name);
}

void Sonvale::volumeChanged(double value) {
    // Kept as the shortest text that reads back as the same float ("0.4", not 0.4000000059604645).
    char text[32];
    const auto written = std::to_chars(text, text + sizeof text, float(value));
    settings_.setValue("gain", QString::fromLatin1(text, written.ptr - text));
    settings_.sync();
    if (capture) capture->setGain(gain());
}

void Sonvale::toggleLogin() {
    LoginItem& login = loginItemFor(loginService_, environment_);
    const LoginItemStatus before = login.status();
    const std::optional<QString> failure =
        before == LoginItemStatus::enabled ? login.unregisterItem() : login.registerItem();
    if (failure) {
        // The menu entry flips its own check mark when chosen; put it back.
        if (loginItem) loginItem->setChecked(before == LoginItemStatus::enabled);
        state(QStringLiteral("登录项设置失败：") + *failure);
        return;
    }
    const LoginItemStatus after = login.status();
    if (loginItem) loginItem->setChecked(after == LoginItemStatus::enabled);
    if (after == LoginItemStatus::requiresApproval) state(QStringLiteral("请在系统设置的登录项中允许 Sonvale"));
}

void Sonvale::openLog() { QDesktopServices::openUrl(QUrl::fromLocalFile(logURL)); }

void Sonvale::playTest() {
    QProcess::startDetached(QStringLiteral("paplay"), {environment_.resourceDir + QStringLiteral("/system-test.wav")});
}

void Sonvale::quit() {
    setEnabled(false);
    stopEngine();
    destroyOutputDevice();
    emit terminateRequested();
}

}  // namespace sonvale
