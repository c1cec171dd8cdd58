#pragma once

#include <QString>
#include <exception>
#include <string>

namespace quarnel {

// The error numbers of the classic runtime that this program raises and reports.
enum class ErrorNumber : int {
    InvalidProcedureCall = 5,
    Overflow = 6,
    OutOfMemory = 7,
    SubscriptOutOfRange = 9,
    TypeMismatch = 13,
    BadFileNameOrNumber = 52,
    FileNotFound = 53,
    FileAlreadyOpen = 55,
    DeviceIoError = 57,
    FileAlreadyExists = 58,
    DiskFull = 61,
    TooManyFiles = 67,
    PermissionDenied = 70,
    PathFileAccessError = 75,
    PathNotFound = 76,
    ObjectNotSet = 91,
    CantCreateObject = 429,
    ObjectDoesntSupport = 438,
    AutomationError = 440,
};

// A run-time error: a number and the description the error report shows. Every failure of a
// procedure is one of these; nothing in the program returns error codes instead.
class RuntimeError final : public std::exception
{
public:
    explicit RuntimeError(ErrorNumber number);
    RuntimeError(int number, QString description);

    int number() const noexcept { return m_number; }
    const QString& description() const noexcept { return m_description; }
    const char* what() const noexcept override { return m_what.c_str(); }

    // The error a failed system call with this errno stands for.
    static RuntimeError fromErrno(int errnoValue);

private:
    int m_number;
    QString m_description;
    std::string m_what;
};

// The runtime's own description of an error number.
QString DescriptionOf(ErrorNumber number);

} // namespace quarnel
