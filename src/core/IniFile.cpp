#include "core/IniFile.h"

#include <QIODevice>
#include <algorithm>

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

QString DecodeKeepingBytes(QByteArrayView bytes)
{
    QString text;
    text.reserve(bytes.size());
    const auto byte = [&](qsizetype i) { return static_cast<unsigned char>(bytes[i]); };
    for (qsizetype i = 0; i < bytes.size();) {
        const unsigned char lead = byte(i);
        if (lead < 0x80) {
            text.append(QChar(lead));
            ++i;
            continue;
        }
        // The length and smallest code point of a well-formed sequence with this lead byte.
        const int length = lead >= 0xC2 && lead <= 0xDF ? 2
            : lead >= 0xE0 && lead <= 0xEF              ? 3
            : lead >= 0xF0 && lead <= 0xF4              ? 4
                                                        : 0;
        char32_t code = length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
        bool ok = length > 0 && i + length <= bytes.size();
        for (int k = 1; ok && k < length; ++k) {
            ok = (byte(i + k) & 0xC0) == 0x80;
            code = (code << 6) | (byte(i + k) & 0x3F);
        }
        const char32_t least = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
        ok = ok && code >= least && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF);
        if (!ok) {
            text.append(QChar(static_cast<char16_t>(0xDC00 + lead)));
            ++i;
            continue;
        }
        text.append(QString::fromUcs4(&code, 1));
        i += length;
    }
    return text;
}

QByteArray EncodeKeepingBytes(QStringView text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text[i].unicode();
        const bool paired = i > 0 && QChar::isHighSurrogate(text[i - 1].unicode());
        if (u >= 0xDC80 && u <= 0xDCFF && !paired) {
            bytes += text.mid(start, i - start).toUtf8();
            bytes += static_cast<char>(u - 0xDC00);
            start = i + 1;
        }
    }
    bytes += text.mid(start).toUtf8();
    return bytes;
}

int ParseIniBytes(const QByteArray& bytes, QSettings::SettingsMap& map)
{
    QString content = DecodeKeepingBytes(bytes);
    // A file saved by an editor that marks UTF-8 starts with a byte-order mark.
    if (content.startsWith(QChar(0xFEFF)))
        content.remove(0, 1);
    content.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(u'\r', u'\n');
    int damaged = 0;
    QString section;
    for (const QStringView line : QStringView(content).split(u'\n')) {
        const QStringView trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(u';') || trimmed.startsWith(u'#'))
            continue;
        const bool controls = std::any_of(line.begin(), line.end(), [](QChar c) {
            return (c.unicode() < 0x20 && c != u'\t') || c.unicode() == 0x7f;
        });
        const qsizetype close = trimmed.indexOf(u']');
        const qsizetype equals = line.indexOf(u'=');
        const bool isSection = trimmed.startsWith(u'[') && close > 0;
        const QString key = isSection || equals <= 0 ? QString() : unescapeKey(line.left(equals).trimmed());
        if (controls || (!isSection && key.isEmpty())) {
            ++damaged;
            continue;
        }
        if (isSection) {
            section = unescapeKey(trimmed.mid(1, close - 1).trimmed());
            if (section.compare(QStringLiteral("General"), Qt::CaseInsensitive) == 0)
                section.clear();
            continue;
        }
        map.insert(section.isEmpty() ? key : section + u'/' + key, readValue(line.mid(equals + 1)));
    }
    return damaged;
}

bool ReadIniFile(QIODevice& device, QSettings::SettingsMap& map)
{
    ParseIniBytes(device.readAll(), map);
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
    const QByteArray bytes = EncodeKeepingBytes(out);
    return device.write(bytes) == bytes.size();
}

QSettings::Format QuarnelIniFormat()
{
    static const QSettings::Format format
        = QSettings::registerFormat(QStringLiteral("conf"), ReadIniFile, WriteIniFile, Qt::CaseSensitive);
    return format;
}

} // namespace quarnel
