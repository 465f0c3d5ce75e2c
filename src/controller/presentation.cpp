#include "controller/login_item.h"
#include "controller/single_instance.h"
#include "controller/sleep_watcher.h"
#include "controller/sonvale.h"
#include "controller/speaker_status.h"
#include "coreaudio/devices.h"

namespace sonvale {

Sonvale::Sonvale(SonvaleEnvironment environment, QObject* parent)
    : QObject(parent),
      environment_(std::move(environment)),
      log_(environment_.logPath),
      settings_(environment_.settingsPath, [this](const QString& text) { log(text); }),
      supervision_(environment_.clock),
      view_(new StatusView(this)),
      message_(QStringLiteral("已准备好，点击开始启用独立音频发送")) {
    connect(view_, &StatusView::toggleRequested, this, &Sonvale::toggle);
    connect(view_, &StatusView::showWindowRequested, this, &Sonvale::showWindow);
    connect(view_, &StatusView::chooseTargetRequested, this, &Sonvale::chooseTarget);
    connect(view_, &StatusView::toggleLoginRequested, this, &Sonvale::toggleLogin);
    connect(view_, &StatusView::playTestRequested, this, &Sonvale::playTest);
    connect(view_, &StatusView::openLogRequested, this, &Sonvale::openLog);
    connect(view_, &StatusView::quitRequested, this, &Sonvale::quit);
    connect(view_, &StatusView::volumeChanged, this, &Sonvale::volumeChanged);
}

Sonvale::~Sonvale() {
    // The route listener reports on the backend's thread; no report may reach a
    // controller that is gone.
    if (routeListener_ != 0) coreaudio::audioSystem().removePropertyListener(routeListener_);
}

void Sonvale::state(const QString& text) {
    message_ = text;
    log(text);
    refresh();
}

StatusPresentation Sonvale::presentation() const {
    StatusPresentation shown;
    shown.message = message_;
    shown.enabled = settings_.enabled();
    if (const auto statistics = run_ ? run_->captureStatistics() : std::nullopt) {
        shown.figures.total = statistics->total;
        shown.figures.dropped = statistics->dropped;
        shown.figures.peak = statistics->peak;
    }
    shown.figures.target = joinedNames(settings_.targetNames());
    shown.figures.networkBytes = networkBytes_;
    return shown;
}

void Sonvale::refresh() { view_->present(presentation()); }

void Sonvale::showWindow() { view_->showWindow(presentation(), settings_.gain()); }

LoginItem& Sonvale::loginItem() { return loginItemFor(loginItem_, environment_); }

}  // namespace sonvale
