// The tray icon's images: the base icon, its four animation frames and the idle icon
// drawn in the colour of the last run's summary. Every image the tray shows gets a light
// outline, so the dark silhouette stays visible on dark panels.
#pragma once

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QString>

namespace menuicons {

// The sizes a tray host is offered, in pixels.
inline constexpr int kSizes[] = {16, 22, 24, 32, 44, 64};

// The image resource "TarnwellMenuIcon" (frame 0) or "TarnwellMenuIcon1".."4" at size x size.
QImage Render(int frame, int size);
// The icon's silhouette in one solid colour.
QImage createMenuAlertIcon(const QImage& icon, const QColor& color);
// The image with a light one-pixel rim around everything it draws.
QImage Outlined(const QImage& image);

// What the tray shows for an animation step: 0 the idle icon in menuColor, 1..4 the
// frames, 5 the base icon.
QIcon animateIcon(int animateCtr, const QColor& menuColor);

} // namespace menuicons
