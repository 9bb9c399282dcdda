#pragma once
// The gateway's status as last taken on its own thread, for readers on other threads (the status
// server): they read the latest snapshot without touching the relay, and when it is older than
// they accept they ask for a fresh one, which the gateway takes once however many ask.
#include "relay/Status.h"

#include <QMutex>
#include <QWaitCondition>
#include <functional>
#include <memory>

class StatusBoard {
public:
    using Snapshot = std::shared_ptr<const GatewayStatus>;

    // The latest snapshot (null before the first) and, when asked, its age in milliseconds.
    Snapshot latest(qint64* ageMs = nullptr) const;
    // The latest snapshot if it is at most maxAgeMs old; else asks for a fresh one and waits for
    // it at most waitMs, then gives the latest there is (older, or null).
    Snapshot recent(int maxAgeMs, int waitMs);

    // The gateway's side: publishes a snapshot; sets what asks the gateway for one (it must not
    // wait for the gateway; empty: nobody to ask any more).
    void publish(GatewayStatus status);
    void setRequester(std::function<void()> ask);

private:
    qint64 ageLocked() const;

    mutable QMutex m_mutex;
    QWaitCondition m_published;
    Snapshot m_latest;
    qint64 m_takenMs = 0; // monotonic
    quint64 m_serial = 0; // snapshots published so far
    bool m_asked = false; // a request is on its way
    std::function<void()> m_ask;
};
