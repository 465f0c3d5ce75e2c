#pragma once

#include <QFont>

class QWidget;

namespace sonvale {

// Han text is Simplified Chinese, so it takes Noto Sans CJK SC in every locale: left to
// fontconfig, a C or English locale falls back to the Japanese glyph forms.
inline constexpr const char* interfaceFamily = "Noto Sans CJK SC";
inline constexpr const char* monospacedFamily = "Noto Sans Mono CJK SC";

// The interface font at a pixel size (the window's frames are in pixels).
QFont interfaceFont(int pixelSize, bool bold = false);
QFont monospacedFont(int pixelSize);
// Sets the interface font on a top-level widget; its children inherit it.
void useInterfaceFont(QWidget& widget, int pixelSize = 13);

}  // namespace sonvale
