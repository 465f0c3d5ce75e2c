#include <QApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdlib>

// libpulse, Qt and D-Bus internals are suppressed; a child QProcess forks only runs until its exec.
extern "C" const char* __tsan_default_options() { return "die_after_fork=0 suppressions=" SONVALE_TESTS_DIR "/tsan.supp"; }

// Every test binary gets a QApplication (widgets and queued calls need one) on the offscreen platform,
// and private XDG directories so that no test touches the real user's settings, log or runtime directory.
int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // No session bus unless a test starts its own: Qt would otherwise autolaunch one.
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent", 0);
    // Children such as the real executable read the same suppressions.
    setenv("TSAN_OPTIONS", "die_after_fork=0 suppressions=" SONVALE_TESTS_DIR "/tsan.supp", 0);
    QTemporaryDir home;
    const QByteArray root = home.path().toLocal8Bit();
    setenv("XDG_RUNTIME_DIR", (root + "/runtime").constData(), 1);
    setenv("XDG_CONFIG_HOME", (root + "/config").constData(), 1);
    setenv("XDG_STATE_HOME", (root + "/state").constData(), 1);
    QDir().mkpath(home.path() + "/runtime");
    QFile::setPermissions(home.path() + "/runtime", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
