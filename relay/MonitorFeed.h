#pragma once
// The relay's displays gathered for a view that looks at them now and then, on its own thread:
// every call only records what changed, under a lock, and the view takes the changes since it
// last looked, with the lists already cut to what a view keeps. Many changes between two looks
// cost a few assignments each.
#include "agwlink/AgwFrame.h"
#include "relay/Monitor.h"

#include <QMap>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <deque>
#include <functional>
#include <optional>
#include <utility>

// What changed since the last look.
struct MonitorUpdate {
    std::optional<QString> status; // the status text now, when it changed
    std::optional<AgwHeader> header;
    QStringList routes;  // routes seen for the first time, in order
    QStringList traffic; // traffic rows added, oldest first; at most the list's length
    QStringList sent;    // sent-to-radio entries added, oldest first; at most the list's length
    QMap<int, QString> calls; // connected-calls rows that changed
    std::optional<bool> kickVisible;
    std::optional<LinkColour> colour;
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

    // Monitor
    void setStatusText(const QString& text) override;
    void appendStatusText(const QString& text) override;
    void showFrameData(QByteArrayView data, bool append) override;
    void showHeader(const AgwHeader& h) override;
    void addRoute(const QString& line) override;
    void addTraffic(const QByteArray& from, char kind, const QByteArray& text) override;
    void addSentToRadio(int stream, const QByteArray& text) override;
    void setConnectedCall(int row, const QString& text) override;
    void setKickVisible(bool visible) override;
    void setLinkColour(LinkColour colour) override;
    void setSendProgress(qint64 sent, qint64 remaining) override;

private:
    // Makes one change under the lock, and tells the view of the first since its last look.
    template <typename Change> void record(Change change);
    // Appends to the status text (under the lock), keeping it within its bound.
    template <typename Text> void statusAppended(const Text& text);

    std::function<void()> m_changed;
    QMutex m_mutex;
    bool m_pending = false;
    QString m_status; // the status text as it stands, kept within twice kStatusChars
    bool m_statusChanged = false;
    MonitorUpdate m_update; // everything else that changed
    // The rows added since the last look, as they came: they are put into words only for the
    // rows a view keeps, when it looks.
    struct TrafficRow {
        QByteArray from;
        char kind;
        QByteArray text;
    };
    struct SentEntry {
        int stream;
        QByteArray text;
    };
    std::deque<TrafficRow> m_traffic;
    std::deque<SentEntry> m_sent;
};
