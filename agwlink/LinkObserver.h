#pragma once
// What the AGW link reports of itself as it happens: the status text, its health and the send
// counters. Whoever watches the link (the window, the tests, or nobody) implements it and decides
// how to show it.
#include <QString>
#include <QtGlobal>

// The link's health as the link reports it.
enum class LinkHealth {
    Up,       // the callsign is being registered on a new connection
    Down,     // the engine closed the connection; the reconnect timer brings it back
    Failed,   // the connection failed; the reconnect timer, or a retry by hand, brings it back
    Retrying, // a retry by hand has started
};

class LinkObserver {
public:
    virtual ~LinkObserver() = default;

    // The status text: a new text, or a text after what it says. Both are texts of the system,
    // shown as they are.
    virtual void statusChanged(const QString& text) = 0;
    virtual void statusAppended(const QString& text) = 0;

    virtual void healthChanged(LinkHealth health) = 0;

    // The bytes the link's socket has sent, and those still waiting.
    virtual void sendProgress(qint64 sent, qint64 waiting) = 0;
};
