#pragma once
// What the relay reports as it happens, beside the link's own reports: the frames the engine
// sends, the routes seen, the text relayed both ways and the sessions' slots. The window records
// these in a MonitorFeed and decides how they look; tests read the same feed. Nothing here waits
// for a reader.
#include "agwlink/LinkObserver.h"

#include <QByteArray>
#include <QByteArrayView>

struct AgwHeader;

// A slot of the session table as it is reported.
enum class SlotState {
    Unused, // slot 0, never given to a session
    InUse,  // a session has it (the callsign reported with it)
    Freed,  // its session has ended
};

class Monitor : public LinkObserver {
public:
    // A frame from the engine: its header.
    virtual void frameSeen(const AgwHeader& h) = 0;

    // The data of received frames (single-byte text) becomes the status text: instead of it, or
    // after it.
    virtual void frameData(QByteArrayView data, bool append) = 0;

    // A route ("K:FROM -> TO", a kind, sender and addressee combination) seen for the first time.
    virtual void routeSeen(const QByteArray& route) = 0;

    // A frame's text from the station from, of kind kind, as it went to the node.
    virtual void textToNode(const QByteArray& from, char kind, const QByteArray& text) = 0;

    // Text to a radio user (stream: the slot, or the radio port for a station without a session).
    virtual void textToUser(int stream, const QByteArray& text) = 0;

    // A slot of the session table changed: callsign is the session's when state is InUse.
    virtual void slotChanged(int slot, SlotState state, const QByteArray& callsign) = 0;
};

// Reports that reach nobody: where there is no window.
class NullMonitor final : public Monitor {
public:
    void statusChanged(const QString&) override {}
    void statusAppended(const QString&) override {}
    void healthChanged(LinkHealth) override {}
    void sendProgress(qint64, qint64) override {}
    void frameSeen(const AgwHeader&) override {}
    void frameData(QByteArrayView, bool) override {}
    void routeSeen(const QByteArray&) override {}
    void textToNode(const QByteArray&, char, const QByteArray&) override {}
    void textToUser(int, const QByteArray&) override {}
    void slotChanged(int, SlotState, const QByteArray&) override {}
};
