#include "core/ConsoleMessages.h"

#include <QString>
#include <cstdio>

namespace quarnel {

namespace {

void print(const QString& text)
{
    QString plain = text;
    plain.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(u'\r', u'\n');
    std::fprintf(stderr, "quarnel: %s\n", plain.toLocal8Bit().constData());
    std::fflush(stderr);
}

} // namespace

void ConsoleMessages::inform(const QString& text)
{
    print(text);
}

bool ConsoleMessages::ask(const QString& text)
{
    print(text + QStringLiteral(" (answered No)"));
    return false;
}

void ConsoleMessages::warn(const QString& title, const QString& text)
{
    print(title + QStringLiteral(": ") + text);
}

} // namespace quarnel
