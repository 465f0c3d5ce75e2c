#include "ui/desktop_application.h"

#include <QApplication>

namespace sonvale {

std::unique_ptr<QCoreApplication> makeDesktopApplication(int& argc, char** argv) {
    auto application = std::make_unique<QApplication>(argc, argv);
    application->setQuitOnLastWindowClosed(false);
    return application;
}

}  // namespace sonvale
