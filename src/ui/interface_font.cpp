#include "ui/interface_font.h"

#include <QWidget>

namespace sonvale {

QFont interfaceFont(int pixelSize, bool bold) {
    QFont font;
    font.setFamilies({QString::fromLatin1(interfaceFamily)});
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

QFont monospacedFont(int pixelSize) {
    QFont font;
    font.setFamilies({QString::fromLatin1(monospacedFamily), QString::fromLatin1(interfaceFamily)});
    font.setStyleHint(QFont::Monospace);
    font.setFixedPitch(true);
    font.setPixelSize(pixelSize);
    font.setWeight(QFont::Normal);
    return font;
}

void useInterfaceFont(QWidget& widget, int pixelSize) { widget.setFont(interfaceFont(pixelSize)); }

}  // namespace sonvale
