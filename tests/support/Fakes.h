#pragma once
// Stand-ins for the window and for sockets, so the core can be driven without widgets or network.
#include "agwlink/AgwFrame.h"
#include "agwlink/Monitor.h"
#include "net/Socket.h"
#include "ui/Gateway.h"

#include <QByteArray>
#include <QList>
#include <QStringList>
#include <memory>
#include <vector>

// Records what the core shows, with the same bounds as the window.
class FakeMonitor : public Monitor {
public:
    void setText1(const QString& text) override { text1 = text; }
    void appendText1(const QString& text) override { text1 += text; }
    void showHeader(const AgwHeader& h) override {
        header = h;
        ++headersShown;
    }
    void addKindLine(const QString& line) override { list2 << line; }
    void addTraffic(const QString& row) override {
        list1 << row;
        trimTraffic();
    }
    void trimTraffic() override {
        while (list1.size() > 100)
            list1.removeFirst();
    }
    void addSent(const QString& entry) override {
        while (list4.size() > 1000)
            list4.removeFirst();
        list4 << entry;
    }
    void refreshConnectedCalls(const StreamTable& table) override;
    void setKickVisible(bool visible) override { kickVisible = visible; }
    void setLinkColour(LinkColour c) override { colour = c; }
    void setSendProgress(qint64 s, qint64 r) override {
        sent = s;
        remaining = r;
    }

    QString text1;
    AgwHeader header;
    int headersShown = 0;
    QStringList list1, list2, list3, list4;
    int list3Refreshes = 0;
    bool kickVisible = true;
    LinkColour colour = LinkColour::Normal;
    qint64 sent = -1, remaining = -1;
};

class FakeHost : public MainWindowHost {
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
};

// Makes FakeSockets and keeps track of them in creation order.
struct FakeSocketPool {
    std::vector<FakeSocket*> made;
    SocketFactory factory();
};

// Frames found in a byte stream (whole frames only).
QList<QByteArray> splitFrames(const QByteArray& bytes);
