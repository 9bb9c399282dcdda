#pragma once
// The relay's reports gathered for a view that looks at them now and then, on its own thread:
// every report only records what changed, under a lock, and the view takes the changes since it
// last looked, with the lists already cut to what a view keeps. The rows come as the relay
// reported them, and the view puts them into words. Many reports between two looks cost a few
// assignments each.
#include "agwlink/AgwFrame.h"
#include "relay/Monitor.h"

#include <QMap>
#include <QMutex>
#include <QString>
#include <deque>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

// A row of the traffic list: text that went to the node from a radio user (or a station without
// a session), with the frame's kind.
struct TrafficRow {
    QByteArray from;
    char kind;
    QByteArray text; // at most MonitorFeed::kRowChars + 1 bytes: what a row can show, and a mark
};
// An entry of the sent-to-radio list: text that went to a radio user (stream: the slot, or the
// radio port for a station without a session).
struct SentRow {
    int stream;
    QByteArray text; // at most MonitorFeed::kRowChars + 1 bytes
};
// A slot of the connected-calls list as it is now.
struct SlotRow {
    SlotState state;
    QByteArray callsign; // while in use
};

// What changed since the last look.
struct MonitorUpdate {
    std::optional<QString> status;    // the status text now, when it changed
    std::optional<AgwHeader> header;  // of the last frame seen
    std::vector<QByteArray> routes;   // routes seen for the first time, in order
    std::deque<TrafficRow> traffic;   // rows added, oldest first; at most the list's length
    std::deque<SentRow> sent;         // entries added, oldest first; at most the list's length
    QMap<int, SlotRow> calls;         // the slots that changed
    std::optional<bool> linkFailed;   // the link failed (true) or came up (false), the latest
    std::optional<bool> retryOffered; // a retry by hand is of use: after a failure, until the
                                      // link comes up or such a retry starts
    std::optional<std::pair<qint64, qint64>> progress; // bytes sent, bytes waiting
};

class MonitorFeed : public Monitor {
public:
    // The traffic list keeps this many rows, the sent-to-radio list one more than kSentRows, the
    // status text this many characters (the newest), and a row this many characters.
    static constexpr qsizetype kTrafficRows = 100;
    static constexpr qsizetype kSentRows = 1000;
    static constexpr qsizetype kStatusChars = 32 * 1024;
    static constexpr qsizetype kRowChars = 2048;

    // changed is called, on the thread that records, with the first change after a look.
    explicit MonitorFeed(std::function<void()> changed = {});

    // The changes since the last look (thread-safe).
    MonitorUpdate take();

    // LinkObserver
    void statusChanged(const QString& text) override;
    void statusAppended(const QString& text) override;
    void healthChanged(LinkHealth health) override;
    void sendProgress(qint64 sent, qint64 waiting) override;
    // Monitor
    void frameSeen(const AgwHeader& h) override;
    void frameData(QByteArrayView data, bool append) override;
    void routeSeen(const QByteArray& route) override;
    void textToNode(const QByteArray& from, char kind, const QByteArray& text) override;
    void textToUser(int stream, const QByteArray& text) override;
    void slotChanged(int slot, SlotState state, const QByteArray& callsign) override;

private:
    // Makes one change under the lock, and tells the view of the first since its last look.
    template <typename Change> void record(Change change);
    // Appends to the status text (under the lock), keeping it within its bound.
    template <typename Text> void appendStatus(const Text& text);

    std::function<void()> m_changed;
    QMutex m_mutex;
    bool m_pending = false;
    QString m_status; // the status text as it stands, kept within twice kStatusChars
    bool m_statusChanged = false;
    // Everything else that changed: the header, the link's health, the send counters and the rows
    // added or changed since the last look, as they came.
    MonitorUpdate m_update;
};
