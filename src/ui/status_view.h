#pragma once

#include <QObject>
#include <QString>

#include <memory>

#include "ui/detail_text.h"

class QAction;
class QLabel;
class QMenu;
class QPushButton;
class QSlider;
class QSystemTrayIcon;
class QWidget;

namespace sonvale {

// What the tray menu and the window show.
struct StatusPresentation {
    QString message;  // the status text
    bool enabled = false;
    DetailFigures figures;
};

// The tray icon with its menu and the settings and status window. A view only: it shows
// what it is given and reports what the user asks for through its signals; it decides
// nothing. Widgets are made on first use: the menu by buildMenu(), the window by
// showWindow(). Main thread only.
class StatusView : public QObject {
    Q_OBJECT

public:
    explicit StatusView(QObject* parent = nullptr);
    ~StatusView() override;

    // The tray icon and its menu, once, with the status text in its first entry;
    // loginEnabled sets the login entry's check mark.
    void buildMenu(const QString& message, bool loginEnabled);
    // Updates whatever has been built.
    void present(const StatusPresentation& presentation);
    // Builds the window the first time (its slider at gain), then shows and raises it.
    void showWindow(const StatusPresentation& presentation, float gain);
    void setLoginChecked(bool checked);

signals:
    void toggleRequested();
    void showWindowRequested();
    void chooseTargetRequested();
    void toggleLoginRequested();
    void playTestRequested();
    void openLogRequested();
    void quitRequested();
    void volumeChanged(double value);

private:
    void buildWindow(float gain);

    QSystemTrayIcon* item_ = nullptr;
    std::unique_ptr<QMenu> menu_;
    QAction* stateItem_ = nullptr;
    QAction* toggleItem_ = nullptr;
    QAction* loginItem_ = nullptr;
    std::unique_ptr<QWidget> window_;
    QLabel* statusLabel_ = nullptr;
    QLabel* detailLabel_ = nullptr;
    QPushButton* button_ = nullptr;
};

}  // namespace sonvale
