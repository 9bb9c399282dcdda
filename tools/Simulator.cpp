#include "tools/Simulator.h"

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
    if (options.runEngine) {
        m_engine = new SimEngine(this);
        m_engine->setSplitFrames(options.splitFrames);
        m_engine->setClusterCall(options.clusterCall);
        m_engine->setPorts(options.ports);
        m_users = new SimUsers(m_engine, options.users, options.linesPerUser, options.rate,
                               options.radioPort, this);
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
    return QStringLiteral("pktgate-sim summary: frames in %1, frames out %2; lines radio->node "
                          "%3 sent, %4 received; lines node->radio %5 sent, %6 received; users "
                          "logged in %7")
        .arg(framesIn, framesOut, toNodeSent, toNodeReceived, toRadioSent, toRadioReceived, users);
}

} // namespace sim
