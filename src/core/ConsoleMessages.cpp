#include "core/ConsoleMessages.h"

#include "core/Journal.h"

#include <QString>
#include <cstdio>

namespace quarnel {

namespace {

void print(const QString& text, JournalPriority priority)
{
    QString plain = text;
    plain.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(u'\r', u'\n');
    // Under systemd, one entry of its own priority, its lines together.
    if (StderrIsJournal() && SendToJournal(priority, plain))
        return;
    std::fprintf(stderr, "quarnel: %s\n", plain.toLocal8Bit().constData());
    std::fflush(stderr);
}

} // namespace

void ConsoleMessages::inform(const QString& text)
{
    print(text, JournalPriority::Warning);
}

bool ConsoleMessages::ask(const QString& text)
{
    print(text + QStringLiteral(" (answered No)"), JournalPriority::Warning);
    return false;
}

void ConsoleMessages::warn(const QString& title, const QString& text)
{
    print(title + QStringLiteral(": ") + text, JournalPriority::Error);
}

} // namespace quarnel
