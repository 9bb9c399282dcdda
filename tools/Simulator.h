#pragma once
// The whole simulator as the program runs it: the engine with its users and the node, wired
// to one stream of printable lines, and the closing summary.
#include "tools/SimEngine.h"
#include "tools/SimNode.h"
#include "tools/SimOptions.h"
#include "tools/SimUsers.h"

#include <QObject>

namespace sim {

class Simulator : public QObject {
    Q_OBJECT
public:
    explicit Simulator(const SimOptions& options, QObject* parent = nullptr);

    // Opens the listening ports; false with a description when one cannot be opened.
    bool start(QString& error);
    // One line: frames in and out, lines per direction, users logged in.
    QString summary() const;

    SimEngine* engine() const { return m_engine; }
    SimNode* node() const { return m_node; }
    SimUsers* users() const { return m_users; }

signals:
    // A line for the console. Traffic lines are left out under --quiet.
    void output(const QString& line);

private:
    void traffic(const QString& line);

    SimOptions m_options;
    SimEngine* m_engine = nullptr;
    SimNode* m_node = nullptr;
    SimUsers* m_users = nullptr;
};

} // namespace sim
