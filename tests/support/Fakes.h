#pragma once
// Stand-ins for the window and for sockets, so the relay can be driven without widgets or
// network, and a whole gateway built on them.
#include "agwlink/AgwFrame.h"
#include "config/ErrorLog.h"
#include "config/Settings.h"
#include "net/Platform.h"
#include "net/Socket.h"
#include "relay/Gateway.h"
#include "relay/MonitorFeed.h"
#include "relay/Startup.h"
#include "support/TestUtil.h"

#include <QByteArray>
#include <QList>
#include <QStringList>
#include <functional>
#include <memory>
#include <vector>

// The relay's reports as the window's lists and boxes would show them (with the same bounds): a
// MonitorFeed whose updates shown() gathers. It counts the frames seen as they are reported.
class RecordedFeed : public MonitorFeed {
public:
    struct Shown {
        QString status;
        AgwHeader header;
        QStringList traffic, routes, calls, sent;
        bool retryOffered = true, linkFailed = false;
    };
    // What is shown after the changes since the last look; a test may change it.
    Shown& shown();

    void frameSeen(const AgwHeader& h) override {
        MonitorFeed::frameSeen(h);
        ++headersShown;
    }
    int headersShown = 0;

private:
    Shown m_shown;
};

// What a window keeps of a start: the title, and the frame a save writes.
struct FakeHost {
    QString title() const { return m_title; }
    void take(const StartedUp& s) { m_title += s.titleSuffix.value_or(QString()); }

    QString m_title = QStringLiteral("AGW - Tarn Cluster");
    WindowFrame frame{{0, 0, 9315, 13185}};
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
    // Settings changed as Save in the dialog changes them.
    void change(const std::function<void(Settings&)>& edit) {
        edit(settings);
        gw->reconfigure(settings);
    }

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
    RecordedFeed monitor;
    FakeHost host;
    FakeSocketPool agwPool, nodePool;
    std::unique_ptr<Gateway> gw;
    FakeSocket* agw = nullptr;
};
