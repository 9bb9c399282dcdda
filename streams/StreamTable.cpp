#include "streams/StreamTable.h"

#include "agwlink/AgwFrame.h"
#include "agwlink/Monitor.h"
#include "net/Failure.h"
#include "net/Platform.h"

StreamTable::StreamTable(Monitor& monitor, SocketFactory clusterSockets, QObject* parent)
    : QObject(parent), m_monitor(monitor), m_factory(std::move(clusterSockets)) {
    Slot zero;
    zero.socket = m_factory();
    zero.timer = std::make_unique<QTimer>();
    zero.timer->setInterval(platform::timing().keepAliveIntervalMs);
    m_slots.push_back(std::move(zero));
}

StreamTable::~StreamTable() = default;

const StreamTable::Slot& StreamTable::at(int i) const {
    if (i < 0 || i >= static_cast<int>(m_slots.size()))
        throw Failure(QStringLiteral("Subscript out of range (stream %1)").arg(i));
    return m_slots[static_cast<size_t>(i)];
}

StreamTable::Slot& StreamTable::at(int i) {
    return const_cast<Slot&>(static_cast<const StreamTable*>(this)->at(i));
}

int StreamTable::find(const QByteArray& call) const {
    if (call.isEmpty()) return 0;
    return m_index.value(call, 0);
}

void StreamTable::restart(QTimer& t) {
    t.stop();
    t.start();
}

int StreamTable::open(const QByteArray& call, int port) {
    // A callsign already in the table keeps its slot and its cluster connection.
    if (const int i = find(call)) {
        Slot& s = m_slots[static_cast<size_t>(i)];
        s.port = static_cast<qint16>(port);
        s.idle = 0;
        restart(*s.timer);
        return i;
    }
    // The lowest free slot is reused with its socket and timer.
    if (!m_free.empty()) {
        const int i = *m_free.begin();
        m_free.erase(m_free.begin());
        Slot& s = m_slots[static_cast<size_t>(i)];
        s.callsign = call;
        m_index.insert(call, i);
        s.socket->close();
        s.socket->connectToHost();
        s.port = static_cast<qint16>(port);
        s.idle = 0;
        restart(*s.timer);
        refreshList3();
        return i;
    }
    // Otherwise the table grows by one.
    const int n = highestIndex() + 1;
    if (n > kMaxIndex)
        throw Failure(QStringLiteral("Stream table full: no more than %1 streams").arg(kMaxIndex));
    const Slot& tmpl = m_slots[0];
    Slot s;
    s.timer = std::make_unique<QTimer>();
    s.timer->setInterval(tmpl.timer->interval());
    s.timer->start();
    s.callsign = call;
    s.port = static_cast<qint16>(port);
    s.socket = m_factory();
    s.socket->setReading(m_reading);
    s.socket->remoteHost = tmpl.socket->remoteHost;
    s.socket->remotePort = tmpl.socket->remotePort;
    s.socket->localPort = tmpl.socket->localPort;
    m_slots.push_back(std::move(s));
    m_index.insert(call, n);
    wire(n);
    refreshList3();
    m_slots[static_cast<size_t>(n)].socket->connectToHost();
    return n;
}

void StreamTable::release(int i) {
    Slot& s = at(i);
    if (i == 0 || s.callsign.isEmpty()) return;
    m_index.remove(s.callsign);
    m_free.insert(i);
    s.callsign.clear();
    s.held.clear();
    s.held.squeeze();
}

void StreamTable::wire(int i) {
    Slot& s = m_slots[static_cast<size_t>(i)];
    Socket* sock = s.socket.get();
    connect(sock, &Socket::connected, this, [this, i] { emit clusterConnected(i); });
    connect(sock, &Socket::dataArrived, this, [this, i] { emit clusterData(i); });
    connect(sock, &Socket::peerClosed, this, [this, i] { emit clusterClosed(i); });
    connect(sock, &Socket::errorOccurred, this,
            [this, i](const QString& description) { emit clusterError(i, description); });
    connect(s.timer.get(), &QTimer::timeout, this, [this, i] { emit keepAliveTick(i); });
}

QString StreamTable::connectedCallsRow(int r) const {
    const Slot& s = at(r);
    if (!s.callsign.isEmpty()) return fromSingleByte(s.callsign);
    return r >= 1 ? QStringLiteral(" *gone*") : QString();
}

void StreamTable::setReadingAll(bool on) {
    if (m_reading == on) return;
    m_reading = on;
    for (size_t i = 1; i < m_slots.size(); ++i)
        m_slots[i].socket->setReading(on);
}

void StreamTable::refreshList3() {
    m_monitor.refreshConnectedCalls(*this);
}
