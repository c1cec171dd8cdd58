#include "core/IniFile.h"

#include <QIODevice>

namespace quarnel {

namespace {

bool isHex(QChar c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

// Keys may carry %XX and %UXXXX escapes for characters other than letters, digits and a few marks.
QString unescapeKey(QStringView key)
{
    QString result;
    for (qsizetype i = 0; i < key.size(); ++i) {
        if (key[i] == u'%' && i + 1 < key.size()) {
            const bool wide = key[i + 1] == u'U';
            const qsizetype digits = wide ? 4 : 2;
            const qsizetype start = i + (wide ? 2 : 1);
            bool ok = start + digits <= key.size();
            const uint code = ok ? key.mid(start, digits).toUInt(&ok, 16) : 0;
            if (ok) {
                result.append(QChar(static_cast<char16_t>(code)));
                i = start + digits - 1;
                continue;
            }
        }
        result.append(key[i]);
    }
    return result;
}

QString escapeKey(const QString& key)
{
    QString result;
    for (QChar c : key) {
        const char16_t u = c.unicode();
        if ((u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9') || u == u'_' || u == u'-'
            || u == u'.' || u == u'/')
            result.append(c);
        else if (u < 256)
            result += u'%' + QString::number(u, 16).rightJustified(2, u'0').toUpper();
        else
            result += QStringLiteral("%U") + QString::number(u, 16).rightJustified(4, u'0').toUpper();
    }
    return result;
}

// Backslash escapes as the INI form writes them: \\ \" \n \r \t \a \b \f \v \0 and \xH...
QString unescapeValue(QStringView text)
{
    QString result;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != u'\\' || i + 1 == text.size()) {
            result.append(text[i]);
            continue;
        }
        const QChar next = text[++i];
        switch (next.unicode()) {
        case u'n':
            result.append(u'\n');
            break;
        case u'r':
            result.append(u'\r');
            break;
        case u't':
            result.append(u'\t');
            break;
        case u'a':
            result.append(u'\a');
            break;
        case u'b':
            result.append(u'\b');
            break;
        case u'f':
            result.append(u'\f');
            break;
        case u'v':
            result.append(u'\v');
            break;
        case u'0':
            result.append(QChar(u'\0'));
            break;
        case u'x': {
            uint code = 0;
            qsizetype taken = 0;
            while (taken < 4 && i + 1 < text.size() && isHex(text[i + 1])) {
                code = code * 16 + static_cast<uint>(QString(text[++i]).toUInt(nullptr, 16));
                ++taken;
            }
            result.append(taken ? QChar(static_cast<char16_t>(code)) : QChar(u'x'));
            break;
        }
        default:
            result.append(next);
            break;
        }
    }
    return result;
}

QString escapeValue(const QString& text)
{
    QString result;
    result.reserve(text.size() + 2);
    for (QChar c : text) {
        switch (c.unicode()) {
        case u'\\':
            result += QStringLiteral("\\\\");
            break;
        case u'"':
            result += QStringLiteral("\\\"");
            break;
        case u'\n':
            result += QStringLiteral("\\n");
            break;
        case u'\r':
            result += QStringLiteral("\\r");
            break;
        case u'\t':
            result += QStringLiteral("\\t");
            break;
        default:
            if (c.unicode() < 0x20 || c.unicode() == 0x7f)
                result += QStringLiteral("\\x%1").arg(c.unicode(), 4, 16, QChar(u'0'));
            else
                result.append(c);
        }
    }
    return result;
}

QString readValue(QStringView raw)
{
    const QStringView value = raw.trimmed();
    QString text;
    if (value.startsWith(u'"')) {
        // Quoted pieces, possibly several (the list form): their texts joined by commas.
        qsizetype i = 0;
        while (i < value.size()) {
            if (value[i] != u'"') {
                text.append(value[i++]);
                continue;
            }
            qsizetype end = i + 1;
            while (end < value.size() && value[end] != u'"')
                end += value[end] == u'\\' ? 2 : 1;
            text += unescapeValue(value.mid(i + 1, std::min(end, value.size()) - i - 1));
            i = end + 1;
        }
    } else {
        text = unescapeValue(value);
    }
    if (text.startsWith(QStringLiteral("@@")))
        return text.mid(1);
    if (text.startsWith(QStringLiteral("@String(")) && text.endsWith(u')'))
        return text.mid(8, text.size() - 9);
    return text;
}

} // namespace

bool ReadIniFile(QIODevice& device, QSettings::SettingsMap& map)
{
    const QByteArray bytes = device.readAll();
    if (bytes.contains('\0'))
        return false;
    QString content = QString::fromUtf8(bytes);
    // A file saved by an editor that marks UTF-8 starts with a byte-order mark.
    if (content.startsWith(QChar(0xFEFF)))
        content.remove(0, 1);
    QString section;
    for (QStringView line : QStringView(content).split(u'\n')) {
        if (line.endsWith(u'\r'))
            line.chop(1);
        const QStringView trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(u';') || trimmed.startsWith(u'#'))
            continue;
        if (trimmed.startsWith(u'[')) {
            const qsizetype close = trimmed.indexOf(u']');
            section = unescapeKey(trimmed.mid(1, close < 0 ? -1 : close - 1).trimmed());
            if (section.compare(QStringLiteral("General"), Qt::CaseInsensitive) == 0)
                section.clear();
            continue;
        }
        const qsizetype equals = line.indexOf(u'=');
        if (equals <= 0)
            continue;
        const QString key = unescapeKey(line.left(equals).trimmed());
        if (key.isEmpty())
            continue;
        map.insert(section.isEmpty() ? key : section + u'/' + key, readValue(line.mid(equals + 1)));
    }
    return true;
}

bool WriteIniFile(QIODevice& device, const QSettings::SettingsMap& map)
{
    QString out;
    QString currentSection;
    bool first = true;
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        const qsizetype slash = it.key().lastIndexOf(u'/');
        const QString section = slash < 0 ? QString() : it.key().left(slash);
        const QString key = slash < 0 ? it.key() : it.key().mid(slash + 1);
        if (first || section != currentSection) {
            if (!first)
                out += u'\n';
            out += u'[' + escapeKey(section.isEmpty() ? QStringLiteral("General") : section) + QStringLiteral("]\n");
            currentSection = section;
            first = false;
        }
        QString text = it.value().toString();
        if (text.startsWith(u'@'))
            text.prepend(u'@');
        out += escapeKey(key) + QStringLiteral("=\"") + escapeValue(text) + QStringLiteral("\"\n");
    }
    const QByteArray bytes = out.toUtf8();
    return device.write(bytes) == bytes.size();
}

QSettings::Format QuarnelIniFormat()
{
    static const QSettings::Format format
        = QSettings::registerFormat(QStringLiteral("conf"), ReadIniFile, WriteIniFile, Qt::CaseSensitive);
    return format;
}

} // namespace quarnel
