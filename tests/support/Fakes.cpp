#include "support/Fakes.h"

#include "agwlink/FrameAssembler.h"
#include "config/ConfigFile.h"
#include "net/Failure.h"
#include "relay/Receiver.h"
#include "relay/SessionTable.h"
#include "ui/MonitorRows.h"

void FakeSocket::send(const QByteArray& data) {
    if (m_state != Connected)
        throw Failure(QStringLiteral("not connected (state ") + QString::number(m_state) +
                      QLatin1Char(')'));
    written += data;
}

RecordedFeed::Shown& RecordedFeed::shown() {
    const MonitorUpdate u = take();
    Shown& s = m_shown;
    if (u.status) s.status = *u.status;
    if (u.header) s.header = *u.header;
    for (const QByteArray& route : u.routes)
        s.routes << routeText(route);
    for (const TrafficRow& row : u.traffic)
        s.traffic << trafficRowText(row);
    if (s.traffic.size() > kTrafficRows) s.traffic.remove(0, s.traffic.size() - kTrafficRows);
    for (const SentRow& entry : u.sent)
        s.sent << sentRowText(entry);
    if (s.sent.size() > kSentRows + 1) s.sent.remove(0, s.sent.size() - kSentRows - 1);
    for (auto it = u.calls.cbegin(); it != u.calls.cend(); ++it) {
        while (s.calls.size() <= it.key())
            s.calls << QString();
        s.calls[it.key()] = slotRowText(it.value());
    }
    if (u.retryOffered) s.retryOffered = *u.retryOffered;
    if (u.linkFailed) s.linkFailed = *u.linkFailed;
    return s;
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
    FrameAssembler frames;
    frames.append(bytes);
    QByteArrayView f;
    while (frames.next(f) == FrameAssembler::Next::Frame)
        out << f.toByteArray();
    return out;
}

StandInGateway::StandInGateway(Timing timing) : log(dir.path()) {
    gw = std::make_unique<Gateway>(settings, log, monitor, timing, agwPool.factory(),
                                   nodePool.factory());
    agw = agwPool.made.at(0);
}

StandInGateway::~StandInGateway() {
    gw.reset();
}

void StandInGateway::start(const QByteArray& cfg) {
    if (!cfg.isNull()) dir.write(QStringLiteral("pktgate.cfg"), cfg);
    host.take(startUp(*gw, settings, settingsFilePath(dir.path()), log, everyFrameValue));
    if (agw->state() == Socket::Connecting) agw->makeConnected();
    agw->written.clear(); // the registration
}

void StandInGateway::startBare(const QByteArray& clusterCall, int packetLength) {
    settings.clusterCall = QString::fromLatin1(clusterCall);
    settings.packetLength = packetLength;
    gw->reconfigure(settings); // the node at 127.0.0.1 port 8000
    gw->openLink();
    agw->makeConnected();
    agw->written.clear();
}

void StandInGateway::engine(const QByteArray& bytes) {
    agw->deliver(bytes);
}

QList<QByteArray> StandInGateway::sent() {
    const QList<QByteArray> f = splitFrames(agw->written);
    agw->written.clear();
    return f;
}

FakeSocket* StandInGateway::node(const QByteArray& call) {
    Session* s = gw->sessions().find(call);
    return s ? static_cast<FakeSocket*>(&s->node()) : nullptr;
}

int StandInGateway::login(const QByteArray& call, quint8 port) {
    engine(buildFrame(port, 'C', call, "GB7TC"));
    FakeSocket* s = node(call);
    if (!s) return 0;
    s->makeConnected();
    s->written.clear();
    return gw->sessions().find(call)->slot();
}
