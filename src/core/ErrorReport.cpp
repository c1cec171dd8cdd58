#include "core/ErrorReport.h"

#include "core/Services.h"

#include <new>

namespace quarnel {

QString ErrorReportText(const RuntimeError& error, const QString& location, int line)
{
    return error.description() + QStringLiteral("\r\n") + location + QStringLiteral("at line ") + QString::number(line)
        + QStringLiteral("\r\r") + QStringLiteral("Please email screenshot of this message to ")
        + QString::fromLatin1(kSupportEmail);
}

RuntimeError CurrentRuntimeError(std::exception_ptr thrown)
{
    try {
        std::rethrow_exception(thrown);
    } catch (const RuntimeError& error) {
        return error;
    } catch (const std::bad_alloc&) {
        return RuntimeError(ErrorNumber::OutOfMemory);
    } catch (const std::exception& other) {
        return RuntimeError(51, QStringLiteral("Internal error: ") + QString::fromLocal8Bit(other.what()));
    } catch (...) {
        return RuntimeError(51, QStringLiteral("Internal error"));
    }
}

GuardedProcedure::GuardedProcedure(const char* location, MessageBoxes& messages)
    : m_location(QString::fromLatin1(location))
    , m_messages(messages)
{ }

bool GuardedProcedure::step(int number, const std::function<void()>& body)
{
    try {
        body();
        return true;
    } catch (...) {
        report(number, CurrentRuntimeError(std::current_exception()));
        return false;
    }
}

bool GuardedProcedure::test(int number, const std::function<bool()>& condition)
{
    try {
        return condition();
    } catch (...) {
        report(number, CurrentRuntimeError(std::current_exception()));
        return true;
    }
}

void GuardedProcedure::report(int number, const RuntimeError& error)
{
    m_messages.warn(QStringLiteral("Application Error"), ErrorReportText(error, m_location, number));
}

} // namespace quarnel
