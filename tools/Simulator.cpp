#include "tools/Simulator.h"

#include <QFile>
#include <QJsonDocument>
#include <QSaveFile>

namespace sim {
namespace {
QString latin1(const QByteArray& b) {
    return QString::fromLatin1(b);
}
// A user's call as the first column of its lines.
QString column(const QByteArray& call) {
    return latin1(call).leftJustified(9);
}
} // namespace

Simulator::Simulator(const SimOptions& options, QObject* parent)
    : QObject(parent), m_options(options) {
    m_clock.start();
    if (options.runEngine) {
        m_engine = new SimEngine(this);
        RadioTiming radio;
        radio.baud = options.baud;
        m_engine->setRadio(radio);
        m_engine->setSplitFrames(options.splitFrames);
        m_engine->setClusterCall(options.clusterCall);
        m_engine->setPorts(options.ports);
        m_users = new SimUsers(m_engine, options.users, options.linesPerUser, options.rate,
                               options.radioPort, this);
        m_users->setLeave(qRound(options.leaveAfter * 1000), qRound(options.rejoinAfter * 1000));
        connect(m_engine, &SimEngine::notice, this, &Simulator::traffic);
        connect(m_engine, &SimEngine::userLine, this,
                [this](const QByteArray& call, const QByteArray& line) {
                    traffic(column(call) + QStringLiteral(" < ") + latin1(line));
                });
        connect(m_users, &SimUsers::typed, this,
                [this](const QByteArray& call, const QByteArray& line) {
                    traffic(column(call) + QStringLiteral(" > ") + latin1(line));
                });
        connect(m_engine, &SimEngine::userGone, this, [this](const QByteArray& call, bool byGw) {
            traffic(column(call) + (byGw ? QStringLiteral(" -- disconnected by the gateway")
                                         : QStringLiteral(" -- disconnects")));
        });
        connect(m_users, &SimUsers::loadDone, this, [this] {
            emit output(QStringLiteral("pktgate-sim: every load user has sent its lines and left"));
        });
    }
    if (options.runNode) {
        m_node = new SimNode(this);
        m_node->setSpotRate(options.spotRate);
        m_node->setFlood(options.floodBytes);
        m_node->setStream(options.streamBytes, options.streamSeconds);
        m_node->setSpotUsers(options.spotUsers);
        m_node->setSendBuffer(options.nodeSendBuffer);
        connect(m_node, &SimNode::userLoggedIn, this, [this](const QByteArray& call) {
            traffic(QStringLiteral("node: %1 logged in").arg(latin1(call)));
        });
        connect(m_node, &SimNode::userLeft, this, [this](const QByteArray& call) {
            traffic(QStringLiteral("node: %1 left").arg(latin1(call)));
        });
        // With the engine running, the users' side already shows every line.
        if (!options.runEngine)
            connect(m_node, &SimNode::userLine, this,
                    [this](const QByteArray& call, const QByteArray& line) {
                        traffic(QStringLiteral("node: %1: %2").arg(latin1(call), latin1(line)));
                    });
    }
    if (m_engine && m_node) {
        // Both sides of the gateway in one process: what the node wrote against what aired.
        TrafficRecord* r = &m_record;
        connect(m_node, &SimNode::userLoggedIn, this,
                [this, r](const QByteArray& call) { r->nodeLogin(call, nowMs()); });
        connect(m_node, &SimNode::wrote, this,
                [this, r](const QByteArray& call, const QByteArray& bytes, SimNode::Kind kind) {
                    r->nodeWrote(call, bytes, kind == SimNode::Kind::Spot, nowMs());
                });
        connect(m_node, &SimNode::writeBlocked, this,
                [this, r](const QByteArray& call, qint64 toSystem) {
                    r->nodeBlocked(call, toSystem, nowMs());
                });
        connect(m_node, &SimNode::userLeft, this,
                [this, r](const QByteArray& call) { r->nodeClosed(call, nowMs()); });
        connect(m_engine, &SimEngine::userConnected, this,
                [this, r](const QByteArray& call) { r->engineConnect(call, nowMs()); });
        connect(m_engine, &SimEngine::userGone, this, [this, r](const QByteArray& call, bool byGw) {
            r->engineGone(call, !byGw, nowMs());
        });
        connect(m_engine, &SimEngine::frameArrived, this,
                [this, r](const QByteArray& call, const QByteArray& data, int outstanding) {
                    r->engineArrived(call, data, outstanding, nowMs());
                });
        connect(m_engine, &SimEngine::frameAired, this,
                [this, r](const QByteArray& call, const QByteArray& data) {
                    r->engineAired(call, data, nowMs());
                });
        connect(m_engine, &SimEngine::outstandingAsked, this,
                [this, r](const QByteArray& call, int outstanding) {
                    r->enginePolled(call, outstanding, nowMs());
                });
        if (options.stopWhenAired) {
            m_finishTimer.setInterval(200);
            connect(&m_finishTimer, &QTimer::timeout, this, &Simulator::checkFinished);
            m_finishTimer.start();
        }
    }
}

void Simulator::checkFinished() {
    if (m_node->streaming() > 0 || m_users->rejoinsPending() > 0 ||
        m_engine->outstandingTotal() > 0 || !m_record.allAired())
        return;
    m_finishTimer.stop();
    emit output(QStringLiteral("pktgate-sim: everything the node wrote has aired"));
    emit finished();
}

bool Simulator::writeReport(QString& error) const {
    if (m_options.reportFile.isEmpty()) return true;
    QJsonObject r = m_record.report(nowMs());
    r[QStringLiteral("baud")] = m_options.baud;
    if (m_engine) r[QStringLiteral("frames_dropped")] = double(m_engine->counters().framesDropped);
    r[QStringLiteral("summary")] = summary();
    QSaveFile f(m_options.reportFile);
    if (!f.open(QIODevice::WriteOnly) || f.write(QJsonDocument(r).toJson()) < 0 || !f.commit()) {
        error = QStringLiteral("cannot write the report %1: %2")
                    .arg(m_options.reportFile, f.errorString());
        return false;
    }
    return true;
}

void Simulator::traffic(const QString& line) {
    if (!m_options.quiet) emit output(line);
}

bool Simulator::start(QString& error) {
    if (m_engine) {
        if (!m_engine->listen(m_options.agwPort, error)) return false;
        emit output(
            QStringLiteral("pktgate-sim: AGW engine on 127.0.0.1:%1, %2%3")
                .arg(m_engine->port())
                .arg(m_options.users < 0 ? QStringLiteral("demo users")
                                         : QStringLiteral("%1 load users").arg(m_options.users))
                .arg(m_options.ports > 1 ? QStringLiteral(", %1 radio ports").arg(m_options.ports)
                                         : QString()));
    }
    if (m_node) {
        if (!m_node->listen(m_options.nodePort, error)) return false;
        emit output(
            QStringLiteral("pktgate-sim: cluster node on 127.0.0.1:%1").arg(m_node->port()));
    }
    return true;
}

QString Simulator::summary() const {
    const QString none = QStringLiteral("-");
    auto n = [](quint64 v) { return QString::number(v); };
    QString framesIn = none, framesOut = none, toNodeSent = none, toRadioReceived = none;
    QString toNodeReceived = none, toRadioSent = none, users = none;
    if (m_engine) {
        const SimEngine::Counters& c = m_engine->counters();
        framesIn = n(c.framesIn);
        framesOut = n(c.framesOut);
        toNodeSent = n(c.linesSent);
        toRadioReceived = n(c.linesReceived);
        users = n(c.usersGreeted);
    }
    if (m_node) {
        const SimNode::Counters& c = m_node->counters();
        toNodeReceived = n(c.linesIn);
        toRadioSent = n(c.linesOut);
        users = n(c.logins);
    }
    QString line =
        QStringLiteral("pktgate-sim summary: frames in %1, frames out %2; lines radio->node "
                       "%3 sent, %4 received; lines node->radio %5 sent, %6 received; users "
                       "logged in %7")
            .arg(framesIn, framesOut, toNodeSent, toNodeReceived, toRadioSent, toRadioReceived,
                 users);
    if (m_engine && m_node)
        line += (m_engine->hasRadio() ? QStringLiteral("; radio %1 baud: ").arg(m_options.baud)
                                      : QStringLiteral("; no radio: ")) +
                m_record.summary(nowMs());
    return line;
}

} // namespace sim
