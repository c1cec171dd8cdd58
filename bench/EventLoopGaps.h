#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>

// Measures how long the event loop goes without a turn: a zero-interval timer notes the time of every
// turn, and the longest gap between two turns is what a user would feel as a freeze.
class EventLoopGaps
{
public:
    EventLoopGaps()
    {
        m_timer.setInterval(0);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { turn(); });
    }
    void start()
    {
        m_clock.start();
        m_last = 0;
        m_longest = 0;
        m_turns = 0;
        m_timer.start();
    }
    void stop()
    {
        turn();
        m_timer.stop();
    }
    qint64 longestMs() const { return m_longest; }
    qint64 turns() const { return m_turns; }

private:
    void turn()
    {
        const qint64 now = m_clock.elapsed();
        m_longest = std::max(m_longest, now - m_last);
        m_last = now;
        ++m_turns;
    }

    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_longest = 0;
    qint64 m_turns = 0;
};
