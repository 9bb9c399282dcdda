#include "relay/MonitorFeed.h"

#include <QMutexLocker>

namespace {
// What a row keeps of a text: no more than it shows, and in a block of its own, so that a waiting
// row holds on neither to a whole read of bulk text nor to the socket's read buffer that a short
// text may share.
QByteArray rowText(const QByteArray& text) {
    const qsizetype n = qMin(text.size(), MonitorFeed::kRowChars + 1);
    if (n == text.size() && text.capacity() <= 2 * n + 64) return text;
    return QByteArray(text.constData(), n);
}

template <typename Row> void keepLast(std::deque<Row>& rows, qsizetype n) {
    while (static_cast<qsizetype>(rows.size()) > n)
        rows.pop_front();
}
} // namespace

MonitorFeed::MonitorFeed(std::function<void()> changed) : m_changed(std::move(changed)) {}

template <typename Change> void MonitorFeed::record(Change change) {
    bool first = false;
    {
        QMutexLocker lock(&m_mutex);
        change();
        first = !m_pending;
        m_pending = true;
    }
    if (first && m_changed) m_changed();
}

template <typename Text> void MonitorFeed::appendStatus(const Text& text) {
    m_status += text;
    // Cut back only when twice the limit is reached, so that appending stays cheap.
    if (m_status.size() > 2 * kStatusChars) m_status = m_status.right(kStatusChars);
    m_statusChanged = true;
}

MonitorUpdate MonitorFeed::take() {
    // The relay waits for this lock: only what changed is taken under it.
    QMutexLocker lock(&m_mutex);
    MonitorUpdate out = std::exchange(m_update, MonitorUpdate());
    if (m_statusChanged) {
        m_statusChanged = false;
        out.status = m_status.size() > kStatusChars ? m_status.right(kStatusChars) : m_status;
    }
    m_pending = false;
    return out;
}

void MonitorFeed::statusChanged(const QString& text) {
    record([&] {
        m_status = text.size() > kStatusChars ? text.right(kStatusChars) : text;
        m_statusChanged = true;
    });
}

void MonitorFeed::statusAppended(const QString& text) {
    record([&] { appendStatus(text); });
}

void MonitorFeed::healthChanged(LinkHealth health) {
    // A link the engine closed looks as it did until the reconnect says more.
    if (health == LinkHealth::Down) return;
    record([&] {
        if (health != LinkHealth::Retrying) m_update.linkFailed = health == LinkHealth::Failed;
        m_update.retryOffered = health == LinkHealth::Failed;
    });
}

void MonitorFeed::sendProgress(qint64 sent, qint64 waiting) {
    record([&] { m_update.progress = std::make_pair(sent, waiting); });
}

void MonitorFeed::frameSeen(const AgwHeader& h) {
    record([&] { m_update.header = h; });
}

void MonitorFeed::frameData(QByteArrayView data, bool append) {
    record([&] {
        if (!append) m_status.clear();
        appendStatus(QLatin1StringView(data.data(), data.size()));
    });
}

void MonitorFeed::routeSeen(const QByteArray& route) {
    record([&] { m_update.routes.push_back(route); });
}

void MonitorFeed::textToNode(const QByteArray& from, char kind, const QByteArray& text) {
    record([&] {
        m_update.traffic.push_back({from, kind, rowText(text)});
        keepLast(m_update.traffic, kTrafficRows);
    });
}

void MonitorFeed::textToUser(int stream, const QByteArray& text) {
    record([&] {
        m_update.sent.push_back({stream, rowText(text)});
        keepLast(m_update.sent, kSentRows + 1);
    });
}

void MonitorFeed::slotChanged(int slot, SlotState state, const QByteArray& callsign) {
    record([&] {
        m_update.calls[slot] = {state, state == SlotState::InUse ? callsign : QByteArray()};
    });
}
