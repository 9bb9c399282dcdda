#pragma once
// What a group of sockets holds that the system has not taken yet, counted together: their own
// queues and those of closed connections that still flush. The owner of the group looks at it
// after a send and ends what goes over the bound. One thread's sockets only.
#include <QtGlobal>

class WriteBudget {
public:
    explicit WriteBudget(qint64 limit) : m_limit(limit) {}

    void change(qint64 delta) { m_used += delta; }
    qint64 used() const { return m_used; }
    qint64 limit() const { return m_limit; }
    void setLimit(qint64 limit) { m_limit = limit; }
    bool over() const { return m_used > m_limit; }

private:
    qint64 m_limit;
    qint64 m_used = 0;
};
