#include "ui/icons.h"

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QSvgRenderer>

namespace sonvale {
namespace {

// Rendered here rather than through the SVG icon-engine plugin, which a desktop may lack.
QIcon renderedIcon(const QString& resource, std::initializer_list<int> sizes) {
    QSvgRenderer renderer(resource);
    QIcon icon;
    for (const int size : sizes) {
        QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        renderer.render(&painter);
        painter.end();
        icon.addPixmap(QPixmap::fromImage(image));
    }
    return icon;
}

}  // namespace

QIcon trayIcon() {
    // Panels follow the desktop's colour scheme; the window colour of the palette is the
    // best hint Qt gives about it.
    const bool darkPanel = QApplication::palette().color(QPalette::Window).lightness() < 128;
    return renderedIcon(darkPanel ? QStringLiteral(":/icons/sonvale-tray-light.svg")
                                  : QStringLiteral(":/icons/sonvale-tray-dark.svg"),
                        {16, 22, 24, 32, 48, 64});
}

QIcon applicationIcon() {
    // Window and dialog sizes only; the desktop takes larger ones from the installed theme
    // icons. From 64 pixels on, Qt paints this art on its own worker threads.
    return renderedIcon(QStringLiteral(":/icons/sonvale.svg"), {16, 24, 32, 48, 56});
}

}  // namespace sonvale
