#include <QDesktopServices>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTimer>
#include <QUrl>

#include "controller/login_item.h"
#include "controller/sonvale.h"
#include "coreaudio/devices.h"
#include "controller/speaker_status.h"
#include "ui/name_dialog.h"

namespace sonvale {
namespace {

// The names typed into the field, each trimmed, in order. Several are separated by "、", ","
// or "，"; a text that is one known speaker's name as it stands (a name with a comma in it)
// stays one name.
QStringList typedNames(const QString& typed, const QStringList& known) {
    const QString whole = typed.trimmed();
    if (whole.isEmpty() || known.contains(whole)) return whole.isEmpty() ? QStringList() : QStringList{whole};
    QStringList names;
    for (const QString& part : whole.split(QRegularExpression(QStringLiteral("[、,，]")))) {
        if (!part.trimmed().isEmpty()) names << part.trimmed();
    }
    return names;
}

}  // namespace

void Sonvale::toggle() {
    if (!settings_.enabled() && settings_.targetName().isEmpty()) {
        chooseTarget();
        if (settings_.targetName().isEmpty()) return;
    }
    const bool on = !settings_.enabled();
    settings_.setEnabled(on);
    supervision_.resetFailures();
    supervision_.retryAfter(Seconds(1.0));
    if (on) {
        // On an output forwarding leaves alone the tick starts nothing: say so now, not only
        // when the output changes.
        const coreaudio::AudioObjectID output = coreaudio::current();
        if (output != coreaudio::kAudioObjectUnknown && !coreaudio::eligible(output)) {
            state(heldText(QString::fromStdString(coreaudio::textProperty(output))));
        } else {
            state(QStringLiteral("已启用，正在准备连接 ") + joinedNames(settings_.targetNames()));
        }
    } else {
        stopEngine();
        state(QStringLiteral("已暂停，已释放系统音频捕获"));
    }
    refresh();
}

void Sonvale::chooseTarget() {
    // The supervision tick waits while the user is asked, as it would behind a modal alert.
    const bool tickWasRunning = tickTimer_ && tickTimer_->isActive();
    if (tickWasRunning) tickTimer_->stop();
    const QString current = joinedNames(settings_.targetNames());
    std::optional<QString> answer;
    QStringList found;
    if (environment_.namePrompt) {
        answer = environment_.namePrompt(current);
    } else {
        speakerDiscovery().refresh();
        answer = askForTargetName(current, &speakerDiscovery().choices());
        for (const SpeakerChoice& speaker : speakerDiscovery().choices().speakers()) found << speaker.name;
    }
    if (tickWasRunning) tickTimer_->start();
    if (!answer) return;

    const QStringList names = typedNames(*answer, found + settings_.targetNames());
    if (names.isEmpty()) {
        state(QStringLiteral("HomePod 名称不能为空"));
        return;
    }
    const bool wasEnabled = settings_.enabled();
    stopEngine();
    // The forwarding output device carries the speakers' names; the next "ready" makes it again.
    output_.destroy();
    settings_.setTargetNames(names);
    settings_.setEnabled(wasEnabled);
    supervision_.resetFailures();
    supervision_.retryAfter(Seconds(1.0));
    state(QStringLiteral("目标已设置为 ") + joinedNames(settings_.targetNames()));
}

SpeakerDiscovery& Sonvale::speakerDiscovery() {
    if (!speakerDiscovery_) {
        WorkerCommand listing;
        listing.python = environment_.pythonPath;
        listing.script = environment_.resourceDir + "/sender.py";
        listing.vendorDir = environment_.resourceDir + "/vendor";
        listing.senderLogPath = QFileInfo(log_.path()).absolutePath() + "/Sonvale-sender.log";
        speakerDiscovery_ = std::make_unique<SpeakerDiscovery>(listing);
    }
    return *speakerDiscovery_;
}

void Sonvale::volumeChanged(double value) {
    settings_.setGain(value);
    if (run_) run_->setGain(settings_.gain());
}

void Sonvale::toggleLogin() {
    LoginItem& login = loginItem();
    const LoginItemStatus before = login.status();
    const std::optional<QString> failure =
        before == LoginItemStatus::enabled ? login.unregisterItem() : login.registerItem();
    if (failure) {
        // The menu entry flips its own check mark when chosen; put it back.
        view_->setLoginChecked(before == LoginItemStatus::enabled);
        state(QStringLiteral("登录项设置失败：") + *failure);
        return;
    }
    const LoginItemStatus after = login.status();
    view_->setLoginChecked(after == LoginItemStatus::enabled);
    if (after == LoginItemStatus::requiresApproval) state(QStringLiteral("请在系统设置的登录项中允许 Sonvale"));
}

void Sonvale::openLog() { QDesktopServices::openUrl(QUrl::fromLocalFile(log_.path())); }

void Sonvale::playTest() {
    QProcess::startDetached(QStringLiteral("paplay"), {environment_.resourceDir + QStringLiteral("/system-test.wav")});
}

void Sonvale::quit() {
    settings_.setEnabled(false);
    stopEngine();
    output_.destroy();
    emit terminateRequested();
}

}  // namespace sonvale
