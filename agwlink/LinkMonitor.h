#pragma once
// What the AGW link shows of itself: the status text, the link's health (the "Kick" menu entry
// and the window's colour) and the send counters. The window implements it; tests record it.
#include <QString>
#include <QtGlobal>

enum class LinkColour { Normal, Yellow };

class LinkMonitor {
public:
    virtual ~LinkMonitor() = default;

    // The status text: replace, or append to what it shows. A view keeps a bounded tail.
    virtual void setStatusText(const QString& text) = 0;
    virtual void appendStatusText(const QString& text) = 0;

    // The link's health: the "Kick" menu entry and the window background.
    virtual void setKickVisible(bool visible) = 0;
    virtual void setLinkColour(LinkColour colour) = 0;

    // The bytes the link's socket has sent, and those still waiting.
    virtual void setSendProgress(qint64 sent, qint64 remaining) = 0;
};
