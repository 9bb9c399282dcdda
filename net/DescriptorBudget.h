#pragma once
// How many file descriptors the process may still open, asked before every new connection. The
// kernel's count is read at most every 100 ms (reading it walks them all) and the connections
// opened since are added to it, so asking costs nothing in a burst of thousands of users.
#include <QElapsedTimer>
#include <QtGlobal>

class DescriptorBudget {
public:
    // Descriptors kept for the program itself. Measured: a gateway with its window offscreen and
    // busy uses 11 that are not connections; each thread Qt starts (the relay's, the pool that
    // paints, name lookups) takes one or two for its event loop, a log line and a settings save
    // one or two for a moment, the window system and the fonts a few. Refusing new users while
    // fewer than 64 remain left none of these wanting under a test with 1,500 users and 256
    // descriptors, where 16 did not (see tst_faults' descriptorsRunOut).
    static constexpr int kHeadroom = 64;

    explicit DescriptorBudget(int headroom = kHeadroom);

    // True while opening one more would leave fewer than the headroom (false when the process
    // has no limit or it cannot be read).
    bool low();
    // A connection was opened.
    void opened() { ++m_openedSince; }

    long long limit() const { return m_limit; }
    int headroom() const { return m_headroom; }

private:
    const long long m_limit;
    const int m_headroom;
    int m_known = -1;      // descriptors open at the last reading
    int m_openedSince = 0; // connections opened since
    QElapsedTimer m_readAt;
};
