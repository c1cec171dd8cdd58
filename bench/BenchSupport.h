#pragma once

#include "core/ProcessLaunch.h"
#include "core/Services.h"

#include <QDateTime>
#include <cstdio>

// Services for benchmarks: no boxes to click (error reports are printed), the real time.
class PrintedBoxes final : public quarnel::MessageBoxes
{
public:
    void inform(const QString&) override { }
    bool ask(const QString&) override { return false; }
    void warn(const QString&, const QString& text) override
    {
        std::printf("  error report: %s\n", qPrintable(text.left(200)));
    }
};

class WallClock final : public quarnel::Clock
{
public:
    QDateTime now() const override { return QDateTime::currentDateTime(); }
    void waitServingEvents(std::chrono::milliseconds duration) override
    {
        quarnel::WaitServingEvents([] { return false; }, duration, std::chrono::milliseconds(100));
    }
};
