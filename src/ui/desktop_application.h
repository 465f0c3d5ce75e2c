#pragma once

#include <QCoreApplication>

#include <memory>

namespace sonvale {

// The application object the tray icon, the menu and the window need.
std::unique_ptr<QCoreApplication> makeDesktopApplication(int& argc, char** argv);

}  // namespace sonvale
