#pragma once
// Everything the relay shows: the link's own displays, plus the header boxes of the last frame
// received, the traffic list, the routes-seen list, the connected-calls list and the list of
// text sent to radio users. The window implements this; tests use a recording fake.
// Implementations may coalesce updates and show them later, but must show the latest state.
#include "agwlink/LinkMonitor.h"

struct AgwHeader;

class Monitor : public LinkMonitor {
public:
    // The Port, DataKind, Pid, CallFrom, CallTo and DataLen boxes, from the last received frame.
    virtual void showHeader(const AgwHeader& h) = 0;

    // The routes-seen list: a kind, sender and addressee combination seen for the first time.
    virtual void addRoute(const QString& line) = 0;

    // The traffic list: add a row at the end, keep at most 100 rows, show the newest.
    virtual void addTraffic(const QString& row) = 0;
    // The traffic list: remove the oldest rows while there are more than 100.
    virtual void trimTraffic() = 0;

    // The sent-to-radio list: remove the oldest entries while there are more than 1000, then
    // add one at the end.
    virtual void addSentToRadio(const QString& entry) = 0;

    // The connected-calls list, one row per slot: row `row` now shows text; a row one past the
    // end is added.
    virtual void setConnectedCall(int row, const QString& text) = 0;
};
