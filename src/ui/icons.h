#pragma once

#include <QIcon>

namespace sonvale {

// The tray glyph in the variant that stands out on the desktop's panel colour.
QIcon trayIcon();
// The full-colour application icon (window and dialog).
QIcon applicationIcon();

}  // namespace sonvale
