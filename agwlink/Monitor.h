#pragma once
// The monitor displays of the main window, as the link and the streams write them. The window
// implements this; tests use a recording fake. Implementations may coalesce updates and show them
// later on the event loop, but must show the latest state.
#include <QString>
#include <QtGlobal>

struct AgwHeader;
class StreamTable;

enum class LinkColour { Normal, Yellow };

class Monitor {
public:
    virtual ~Monitor() = default;

    // Text1, the status line: replace, or append to what it shows. A view keeps a bounded tail.
    virtual void setText1(const QString& text) = 0;
    virtual void appendText1(const QString& text) = 0;

    // The Port, DataKind, Pid, CallFrom, CallTo and DataLen boxes, from the last received frame.
    virtual void showHeader(const AgwHeader& h) = 0;

    // List2: add a kind line at the end (the caller makes sure it is not listed yet).
    virtual void addKindLine(const QString& line) = 0;

    // List1: add a traffic row at the end, keep at most 100 rows, show the newest.
    virtual void addTraffic(const QString& row) = 0;
    // List1: remove the oldest rows while there are more than 100.
    virtual void trimTraffic() = 0;

    // List4: remove the oldest entries while there are more than 1000, then add one at the end.
    virtual void addSent(const QString& entry) = 0;

    // List3: rebuild from the table (rowCount() rows, connectedCallsRow(r) each).
    virtual void refreshConnectedCalls(const StreamTable& table) = 0;

    // The link's health: the "Kick" menu entry and the window background.
    virtual void setKickVisible(bool visible) = 0;
    virtual void setLinkColour(LinkColour colour) = 0;

    // txtSent and txtRemaining.
    virtual void setSendProgress(qint64 sent, qint64 remaining) = 0;
};
