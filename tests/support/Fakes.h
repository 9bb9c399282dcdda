#pragma once
// Stand-ins for the window and for sockets, so the relay can be driven without widgets or
// network, and a whole gateway built on them.
#include "agwlink/AgwFrame.h"
#include "config/ErrorLog.h"
#include "config/Settings.h"
#include "net/Platform.h"
#include "net/Socket.h"
#include "relay/Gateway.h"
#include "relay/Monitor.h"
#include "relay/Startup.h"
#include "support/TestUtil.h"

#include <QByteArray>
#include <QList>
#include <QStringList>
#include <memory>
#include <vector>

// Records what the relay shows, with the same bounds as the window.
class FakeMonitor : public Monitor {
public:
    void setStatusText(const QString& text) override { status = text; }
    void appendStatusText(const QString& text) override { status += text; }
    void showHeader(const AgwHeader& h) override {
        header = h;
        ++headersShown;
    }
    void addRoute(const QString& line) override { routes << line; }
    void showFrameData(QByteArrayView data, bool append) override {
        if (!append) status.clear();
        status += QString::fromLatin1(data.data(), data.size());
    }
    void addTraffic(const QByteArray& from, char kind, const QByteArray& text) override {
        traffic << QString::fromLatin1(from + " :" + kind + " -> " + text);
        while (traffic.size() > 100)
            traffic.removeFirst();
    }
    void addSentToRadio(int stream, const QByteArray& text) override {
        while (sent.size() > 1000)
            sent.removeFirst();
        sent << QString::number(stream) + QStringLiteral(" -> ") + QString::fromLatin1(text);
    }
    void setConnectedCall(int row, const QString& text) override {
        while (calls.size() <= row)
            calls << QString();
        calls[row] = text;
    }
    void setKickVisible(bool visible) override { kickVisible = visible; }
    void setLinkColour(LinkColour c) override { colour = c; }
    void setSendProgress(qint64 s, qint64 r) override {
        sentBytes = s;
        remaining = r;
    }

    QString status;
    AgwHeader header;
    int headersShown = 0;
    QStringList traffic, routes, calls, sent;
    bool kickVisible = true;
    LinkColour colour = LinkColour::Normal;
    qint64 sentBytes = -1, remaining = -1;
};

class FakeHost : public WindowHost {
public:
    QString title() const override { return m_title; }
    void setTitle(const QString& t) override { m_title = t; }
    void setBytesCount(const QString& t) override { bytesCount = t; }
    double geometry(Field f) const override { return geo[f]; }
    void setGeometry(Field f, double twips) override { geo[f] = twips; }
    bool isMinimised() const override { return minimised; }

    QString m_title = QStringLiteral("AGW - Tarn Cluster");
    QString bytesCount;
    double geo[4] = {0, 0, 9315, 13185};
    bool minimised = false;
};

// A socket whose state and notifications the test drives; what is sent is recorded.
class FakeSocket : public Socket {
    Q_OBJECT
public:
    void connectToHost() override {
        ++connects;
        m_state = Connecting;
    }
    void close() override {
        ++closes;
        m_state = Closed;
        incoming.clear();
    }
    void send(const QByteArray& data) override;
    qint64 bytesAvailable() const override { return incoming.size(); }
    QByteArray readAll() override {
        QByteArray d = incoming;
        incoming.clear();
        return d;
    }
    qint64 bytesToWrite() const override { return pending; }
    int state() const override { return m_state; }
    void setReading(bool on) override { reading = on; }
    void setReceiveBuffer(int bytes) override { receiveBuffer = bytes; }

    // Test side.
    void makeConnected() {
        m_state = Connected;
        emit connected();
    }
    void deliver(const QByteArray& d) {
        incoming += d;
        emit dataArrived(incoming.size());
    }
    void peerClose() {
        m_state = Closing;
        emit peerClosed();
    }
    void fail(const QString& description) {
        m_state = Error;
        emit errorOccurred(description);
    }

    int m_state = Closed;
    int connects = 0;
    int closes = 0;
    QByteArray incoming;
    QByteArray written;
    qint64 pending = 0; // what the test says is still queued
    bool reading = true;
    int receiveBuffer = 0;
};

// Makes FakeSockets in creation order; another thread reads them once a gateway control returns.
struct FakeSocketPool {
    std::vector<FakeSocket*> made;
    SocketFactory factory();
};

// What the gateway sends when the link comes up: the registration on port 0, the question for the
// engine's radio ports, and the question whether it keeps count of each link's frames.
inline QByteArray linkUpFrames(const QByteArray& call) {
    return buildRegisterFrame(call) + buildPortInfoRequest() +
           buildOutstandingRequest(0, call, call);
}

// Frames found in a byte stream (whole frames only).
QList<QByteArray> splitFrames(const QByteArray& bytes);

// A whole gateway on stand-in sockets: its files in a temporary directory, its timers' intervals
// as the test sets them (no pause before the registration).
struct StandInGateway {
    explicit StandInGateway(Timing timing = quickTiming());
    ~StandInGateway();

    static Timing quickTiming() {
        Timing t;
        t.connectSleepMs = 0;
        return t;
    }

    // Runs the start-up sequence with this settings file (none when null).
    void start(const QByteArray& cfg);
    // Opens the link and brings it up without a settings file: the cluster callsign and the
    // packet length as given, the node at the built-in address.
    void startBare(const QByteArray& clusterCall = "GB7TC", int packetLength = 130);

    // Bytes from the engine, handled as one arrival.
    void engine(const QByteArray& bytes);
    // Frames sent to the engine since the last call.
    QList<QByteArray> sent();
    // The node socket of a callsign's session (null when it has none).
    FakeSocket* node(const QByteArray& call);
    // Connects call and brings its node connection up; returns its slot.
    int login(const QByteArray& call, quint8 port = 1);

    TempDir dir;
    ErrorLog log;
    Settings settings;
    FakeMonitor monitor;
    FakeHost host;
    FakeSocketPool agwPool, nodePool;
    std::unique_ptr<Gateway> gw;
    FakeSocket* agw = nullptr;
};
