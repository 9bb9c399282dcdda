#pragma once
// The whole simulator as the program runs it: the engine with its users and the node, wired
// to one stream of printable lines, and the closing summary.
#include "tools/SimEngine.h"
#include "tools/SimNode.h"
#include "tools/SimOptions.h"
#include "tools/SimReport.h"
#include "tools/SimUsers.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

namespace sim {

class Simulator : public QObject {
    Q_OBJECT
public:
    explicit Simulator(const SimOptions& options, QObject* parent = nullptr);

    // Opens the listening ports; false with a description when one cannot be opened.
    bool start(QString& error);
    // One line: frames in and out, lines per direction, users logged in; with engine and node
    // both running, the figures of the radio links and of what the node wrote.
    QString summary() const;
    // Writes the figures per user to the --report file, if one was named.
    bool writeReport(QString& error) const;
    const TrafficRecord& record() const { return m_record; }

    SimEngine* engine() const { return m_engine; }
    SimNode* node() const { return m_node; }
    SimUsers* users() const { return m_users; }

signals:
    // A line for the console. Traffic lines are left out under --quiet.
    void output(const QString& line);
    // Under --stop-when-aired: everything the node had to write has aired.
    void finished();

private:
    void traffic(const QString& line);
    double nowMs() const { return double(m_clock.nsecsElapsed()) / 1e6; }
    void checkFinished();

    SimOptions m_options;
    SimEngine* m_engine = nullptr;
    SimNode* m_node = nullptr;
    SimUsers* m_users = nullptr;
    TrafficRecord m_record;
    QElapsedTimer m_clock;
    QTimer m_finishTimer;
};

} // namespace sim
