#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>

// Measures how long the event loop goes without a turn: a timer every 10 ms notes the time of each turn it
// gets, and the longest gap between two turns is what a user would feel as a freeze (to within the 10 ms).
// The timer's wake-ups cost the machine what the pass measured would otherwise have, and a tool run
// directly beside it has none: a zero-interval timer would keep a core busy, and one every 2 ms slowed
// `gs` working beside it by about 1.5 %.
class EventLoopGaps
{
public:
    EventLoopGaps()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(10);
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
