#include "ui/ScreenPlacement.h"

#include <QGuiApplication>
#include <QScreen>

std::optional<QPoint> onScreenPosition(const QRect& outer, const QList<QRect>& areas) {
    const QRect* nearest = nullptr;
    qint64 nearestDistance = 0;
    for (const QRect& area : areas) {
        if (area.intersects(outer)) return std::nullopt;
        const qint64 dx = qMax(0, qMax(area.left() - outer.right(), outer.left() - area.right()));
        const qint64 dy = qMax(0, qMax(area.top() - outer.bottom(), outer.top() - area.bottom()));
        if (!nearest || dx * dx + dy * dy < nearestDistance) {
            nearest = &area;
            nearestDistance = dx * dx + dy * dy;
        }
    }
    if (!nearest) return std::nullopt;
    const QRect& area = *nearest;
    return QPoint(qMax(area.left(), qMin(outer.left(), area.right() + 1 - outer.width())),
                  qMax(area.top(), qMin(outer.top(), area.bottom() + 1 - outer.height())));
}

QList<QRect> screenAreas() {
    QList<QRect> areas;
    for (QScreen* screen : QGuiApplication::screens())
        areas << screen->availableGeometry();
    return areas;
}
