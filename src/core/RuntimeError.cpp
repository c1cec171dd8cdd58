#include "core/RuntimeError.h"

#include <cerrno>

namespace quarnel {

QString DescriptionOf(ErrorNumber number)
{
    switch (number) {
    case ErrorNumber::InvalidProcedureCall:
        return QStringLiteral("Invalid procedure call or argument");
    case ErrorNumber::Overflow:
        return QStringLiteral("Overflow");
    case ErrorNumber::OutOfMemory:
        return QStringLiteral("Out of memory");
    case ErrorNumber::SubscriptOutOfRange:
        return QStringLiteral("Subscript out of range");
    case ErrorNumber::TypeMismatch:
        return QStringLiteral("Type mismatch");
    case ErrorNumber::BadFileNameOrNumber:
        return QStringLiteral("Bad file name or number");
    case ErrorNumber::FileNotFound:
        return QStringLiteral("File not found");
    case ErrorNumber::FileAlreadyOpen:
        return QStringLiteral("File already open");
    case ErrorNumber::DeviceIoError:
        return QStringLiteral("Device I/O error");
    case ErrorNumber::FileAlreadyExists:
        return QStringLiteral("File already exists");
    case ErrorNumber::DiskFull:
        return QStringLiteral("Disk full");
    case ErrorNumber::TooManyFiles:
        return QStringLiteral("Too many files");
    case ErrorNumber::PermissionDenied:
        return QStringLiteral("Permission denied");
    case ErrorNumber::PathFileAccessError:
        return QStringLiteral("Path/File access error");
    case ErrorNumber::PathNotFound:
        return QStringLiteral("Path not found");
    case ErrorNumber::ObjectNotSet:
        return QStringLiteral("Object variable or With block variable not set");
    case ErrorNumber::CantCreateObject:
        return QStringLiteral("ActiveX component can't create object");
    case ErrorNumber::ObjectDoesntSupport:
        return QStringLiteral("Object doesn't support this property or method");
    case ErrorNumber::AutomationError:
        return QStringLiteral("Automation error");
    }
    return QStringLiteral("Application-defined or object-defined error");
}

RuntimeError::RuntimeError(ErrorNumber number)
    : RuntimeError(static_cast<int>(number), DescriptionOf(number))
{ }

RuntimeError::RuntimeError(int number, QString description)
    : m_number(number)
    , m_description(std::move(description))
    , m_what(m_description.toStdString())
{ }

RuntimeError RuntimeError::fromErrno(int errnoValue)
{
    switch (errnoValue) {
    case ENOENT:
        return RuntimeError(ErrorNumber::FileNotFound);
    case ENOTDIR:
        return RuntimeError(ErrorNumber::PathNotFound);
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY:
        return RuntimeError(ErrorNumber::PermissionDenied);
    case ENOSPC:
    case EDQUOT:
        return RuntimeError(ErrorNumber::DiskFull);
    case EEXIST:
        return RuntimeError(ErrorNumber::FileAlreadyExists);
    case EMFILE:
    case ENFILE:
        return RuntimeError(ErrorNumber::TooManyFiles);
    case EIO:
        return RuntimeError(ErrorNumber::DeviceIoError);
    case ENOMEM:
        return RuntimeError(ErrorNumber::OutOfMemory);
    case ENAMETOOLONG:
        return RuntimeError(ErrorNumber::BadFileNameOrNumber);
    default:
        return RuntimeError(ErrorNumber::PathFileAccessError);
    }
}

} // namespace quarnel
