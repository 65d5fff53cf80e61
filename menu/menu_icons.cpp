#include "menu_icons.h"

#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

#include <algorithm>

namespace menuicons {

namespace {

// Light enough for dark panels, not pure white, so it reads as a rim on light ones.
const QColor kRim(0xf4, 0xf4, 0xf4);

QString ResourceName(int frame) {
    return frame == 0 ? QStringLiteral(":/icons/TarnwellMenuIcon.svg")
                      : QStringLiteral(":/icons/TarnwellMenuIcon%1.svg").arg(frame);
}

} // namespace

QImage Render(int frame, int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QSvgRenderer renderer(ResourceName(frame));
    QPainter painter(&image);
    renderer.render(&painter);
    return image;
}

QImage createMenuAlertIcon(const QImage& icon, const QColor& color) {
    QImage silhouette = icon.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&silhouette);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(silhouette.rect(), color);
    return silhouette;
}

QImage Outlined(const QImage& image) {
    const QImage source = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const int width = source.width();
    const int height = source.height();
    // The rim's coverage at a pixel is the strongest coverage among its neighbours.
    QImage rim(width, height, QImage::Format_ARGB32_Premultiplied);
    rim.fill(Qt::transparent);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            int alpha = 0;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    const int nx = x + dx;
                    const int ny = y + dy;
                    if (nx >= 0 && ny >= 0 && nx < width && ny < height)
                        alpha = std::max(alpha, qAlpha(source.pixel(nx, ny)));
                }
            QColor color = kRim;
            color.setAlpha(alpha);
            rim.setPixelColor(x, y, color);
        }
    }
    QPainter painter(&rim);
    painter.drawImage(0, 0, source);
    return rim;
}

QIcon animateIcon(int animateCtr, const QColor& menuColor) {
    QIcon icon;
    for (const int size : kSizes) {
        const QImage image = animateCtr == 0 ? createMenuAlertIcon(Render(0, size), menuColor)
                                             : Render(animateCtr == 5 ? 0 : animateCtr, size);
        icon.addPixmap(QPixmap::fromImage(Outlined(image)));
    }
    return icon;
}

} // namespace menuicons
