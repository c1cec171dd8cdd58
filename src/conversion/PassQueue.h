#pragma once

#include "conversion/ConversionPass.h"

#include <QObject>
#include <functional>
#include <map>

namespace quarnel {

// Passes asked for from outside (the command line), run silently as the timer runs them: at once when
// no pass runs, otherwise as soon as the running one has ended. Requests that arrive while a pass
// runs share the one pass that follows it. Each request hears the lines its pass logs and its summary.
class PassQueue final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PassQueue)

public:
    using LineHandler = std::function<void(const QString& line)>;
    using DoneHandler = std::function<void(const PassSummary& summary)>;

    explicit PassQueue(ConversionPass& pass, QObject* parent = nullptr);

    // Returns the request's number, for cancel().
    int request(LineHandler onLine, DoneHandler onDone);
    // The asker went away: it hears nothing more (its pass still runs).
    void cancel(int id);
    bool idle() const { return m_waiting.empty() && m_current.empty(); }

signals:
    // Every request asked for so far has had its pass.
    void drained();

private:
    struct Asker
    {
        LineHandler onLine;
        DoneHandler onDone;
    };
    void startSoon();
    void start();

    ConversionPass& m_pass;
    std::map<int, Asker> m_waiting;
    std::map<int, Asker> m_current;
    int m_next = 1;
    bool m_startQueued = false;
};

// The exit status of a pass run from the command line: 0 when every PDF examined was converted or
// skipped, 1 when any failed, 3 when the pass could not run or was stopped before its end.
int PassExitStatus(const PassSummary& summary);
// The one line that sums a pass up.
QString PassSummaryLine(const PassSummary& summary);

} // namespace quarnel
