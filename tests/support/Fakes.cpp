#include "support/Fakes.h"

#include "net/Failure.h"
#include "streams/StreamTable.h"

void FakeMonitor::refreshConnectedCalls(const StreamTable& table) {
    ++list3Refreshes;
    list3.clear();
    for (int r = 0; r < table.rowCount(); ++r)
        list3 << table.connectedCallsRow(r);
}

void FakeSocket::send(const QByteArray& data) {
    if (m_state != Connected)
        throw Failure(QStringLiteral("not connected (state %1)").arg(m_state));
    written += data;
}

SocketFactory FakeSocketPool::factory() {
    return [this] {
        auto s = std::make_unique<FakeSocket>();
        made.push_back(s.get());
        return s;
    };
}

QList<QByteArray> splitFrames(const QByteArray& bytes) {
    QList<QByteArray> out;
    qsizetype at = 0;
    while (bytes.size() - at >= kAgwHeaderSize) {
        const qsizetype len = kAgwHeaderSize + readDataLen(bytes.constData() + at);
        if (bytes.size() - at < len) break;
        out << bytes.mid(at, len);
        at += len;
    }
    return out;
}
