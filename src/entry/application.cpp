#include "entry/application.h"

#include <QApplication>
#include <QTimer>

#include "controller/sonvale.h"

namespace sonvale {

int runApplication(int argc, char** argv) {
    QApplication app(argc, argv);
    app.setApplicationName("Sonvale");
    app.setDesktopFileName("local.sonvale");
    app.setQuitOnLastWindowClosed(false);

    Sonvale controller(SonvaleEnvironment::fromProcess(app.arguments()));
    QObject::connect(&controller, &Sonvale::terminateRequested, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    QTimer::singleShot(0, &controller, [&controller] { controller.applicationDidFinishLaunching(); });
    const int status = app.exec();
    if (!controller.quitAtLaunch()) controller.applicationWillTerminate();
    return status;
}

}  // namespace sonvale
