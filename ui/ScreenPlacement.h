#pragma once
// Keeping a window where it can be seen: a plain function over the screens' available areas.
#include <QList>
#include <QPoint>
#include <QRect>
#include <optional>

// Where a window whose outer frame is `outer` goes so that someone sees it: nothing when it
// touches one of the areas already (even partly off the screens it stays where it is), else the
// top-left corner that puts it wholly on the nearest area where it fits, a larger window from
// that area's top-left corner. Nothing when there are no areas.
std::optional<QPoint> onScreenPosition(const QRect& outer, const QList<QRect>& areas);

// The available areas of the screens there are now.
QList<QRect> screenAreas();
