#pragma once
// Everything the relay shows: the link's own displays, plus the header boxes of the last frame
// received, the traffic list, the routes-seen list, the connected-calls list and the list of
// text sent to radio users. The window implements this; tests use a recording fake.
// Implementations may coalesce updates and show them later, but must show the latest state.
#include "agwlink/LinkMonitor.h"

#include <QByteArray>
#include <QByteArrayView>

struct AgwHeader;

class Monitor : public LinkMonitor {
public:
    // The Port, DataKind, Pid, CallFrom, CallTo and DataLen boxes, from the last received frame.
    virtual void showHeader(const AgwHeader& h) = 0;

    // The routes-seen list: a kind, sender and addressee combination seen for the first time.
    virtual void addRoute(const QString& line) = 0;

    // The status text shows the data of a received frame (single-byte text): instead of what it
    // shows, or after it.
    virtual void showFrameData(QByteArrayView data, bool append) = 0;

    // The traffic list: a row "FROM :K -> text" at the end (text as it went to the node); at most
    // 100 rows, the newest shown.
    virtual void addTraffic(const QByteArray& from, char kind, const QByteArray& text) = 0;

    // The sent-to-radio list: an entry "N -> text" at the end (N the slot, or the radio port for a
    // station without a session); at most 1001 entries.
    virtual void addSentToRadio(int stream, const QByteArray& text) = 0;

    // The connected-calls list, one row per slot: row `row` now shows text; a row one past the
    // end is added.
    virtual void setConnectedCall(int row, const QString& text) = 0;
};

// A display that shows nothing: where there is no window.
class NullMonitor final : public Monitor {
public:
    void setStatusText(const QString&) override {}
    void appendStatusText(const QString&) override {}
    void setKickVisible(bool) override {}
    void setLinkColour(LinkColour) override {}
    void setSendProgress(qint64, qint64) override {}
    void showHeader(const AgwHeader&) override {}
    void addRoute(const QString&) override {}
    void showFrameData(QByteArrayView, bool) override {}
    void addTraffic(const QByteArray&, char, const QByteArray&) override {}
    void addSentToRadio(int, const QByteArray&) override {}
    void setConnectedCall(int, const QString&) override {}
};
