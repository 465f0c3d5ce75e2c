#include "entry/application.h"

#include <QGuiApplication>
#include <QTimer>

#include "controller/sonvale.h"
#include "coreaudio/audio_system.h"
#include "entry/termination_signals.h"
#include "ui/desktop_application.h"

namespace sonvale {
namespace {

int runController(QCoreApplication& app) {
    Sonvale controller(SonvaleEnvironment::fromProcess(app.arguments()));
    QObject::connect(&controller, &Sonvale::terminateRequested, &app, &QCoreApplication::quit, Qt::QueuedConnection);

    // A termination signal ends the event loop like quitting does, so the output is given
    // back and the forwarding output device removed on logout and on kill too.
    TerminationSignals terminationSignals;
    QObject::connect(&terminationSignals, &TerminationSignals::received, &app, &QCoreApplication::quit);

    QTimer::singleShot(0, &controller, [&controller] { controller.applicationDidFinishLaunching(); });
    const int status = app.exec();
    // A copy that handed over to the running one at launch leaves the output and every
    // device alone; the controller itself checks that too.
    if (!controller.quitAtLaunch()) controller.applicationWillTerminate();
    return status;
}

}  // namespace

int runApplication(int argc, char** argv) {
    const std::unique_ptr<QCoreApplication> app = makeDesktopApplication(argc, argv);
    app->setApplicationName("Sonvale");
    QGuiApplication::setDesktopFileName("local.sonvale");
    const int status = runController(*app);
    // The sound server's backend reports from a thread of its own; it ends while the
    // application object, through which reports reach the main thread, still exists.
    coreaudio::setAudioSystem(nullptr);
    return status;
}

}  // namespace sonvale
