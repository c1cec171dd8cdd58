#include "core/Paths.h"

namespace quarnel {

namespace {

// Position of the last "." when it is at index 1 or later (position 2 or later counted from 1).
qsizetype extensionDot(const QString& name)
{
    const qsizetype dot = name.lastIndexOf(u'.');
    return dot >= 1 ? dot : -1;
}

QString collapsePairs(QStringView text, QChar separator)
{
    QString result;
    result.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        result.append(text[i]);
        if (text[i] == separator && i + 1 < text.size() && text[i + 1] == separator)
            ++i;
    }
    return result;
}

} // namespace

QString FileNameOf(const QString& path, QChar separator)
{
    return path.mid(path.lastIndexOf(separator) + 1);
}

QString FolderOf(const QString& path, QChar separator)
{
    const qsizetype last = path.lastIndexOf(separator);
    return last < 0 ? QString() : path.left(last + 1);
}

QString ExtensionOf(const QString& name)
{
    const qsizetype dot = extensionDot(name);
    return dot < 0 ? name : name.mid(dot + 1);
}

QString StripExtension(const QString& name)
{
    const qsizetype dot = extensionDot(name);
    return dot < 0 ? name : name.left(dot);
}

QString CollapseBackslashes(const QString& path, QChar separator)
{
    if (!path.startsWith(separator))
        return collapsePairs(path, separator);
    qsizetype rest = 1;
    while (rest < path.size() && path[rest] == separator)
        ++rest;
    const QString prefix = separator == u'\\' ? QString(2, separator) : QString(separator);
    return prefix + collapsePairs(QStringView(path).mid(rest), separator);
}

} // namespace quarnel
