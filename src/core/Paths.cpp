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

QString NameFromNative(QByteArrayView bytes)
{
    // Nearly every name is valid UTF-8, and a large log holds millions of them: decoded at Qt's pace.
    if (bytes.isValidUtf8())
        return QString::fromUtf8(bytes);
    QString text;
    text.reserve(bytes.size());
    const auto* at = reinterpret_cast<const unsigned char*>(bytes.data());
    const qsizetype size = bytes.size();
    for (qsizetype i = 0; i < size;) {
        const unsigned char lead = at[i];
        if (lead < 0x80) {
            text.append(QChar(lead));
            ++i;
            continue;
        }
        int length = 0;
        char32_t code = 0;
        char32_t least = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            code = lead & 0x1F;
            least = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            code = lead & 0x0F;
            least = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            code = lead & 0x07;
            least = 0x10000;
        }
        bool valid = length > 0 && i + length <= size;
        for (int k = 1; valid && k < length; ++k) {
            valid = (at[i + k] & 0xC0) == 0x80;
            code = (code << 6) | (at[i + k] & 0x3F);
        }
        // Overlong forms and encoded surrogates are not UTF-8 either: the bytes stand for themselves.
        valid = valid && code >= least && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF);
        if (!valid) {
            text.append(QChar(static_cast<char16_t>(0xDC00 + lead)));
            ++i;
            continue;
        }
        if (code >= 0x10000) {
            text.append(QChar(QChar::highSurrogate(code)));
            text.append(QChar(QChar::lowSurrogate(code)));
        } else {
            text.append(QChar(static_cast<char16_t>(code)));
        }
        i += length;
    }
    return text;
}

QByteArray NativeName(QStringView text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    qsizetype run = 0; // start of the text not yet written
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            ++i;
            continue;
        }
        if (!IsForeignByte(text[i]))
            continue;
        bytes.append(text.sliced(run, i - run).toUtf8());
        bytes.append(static_cast<char>(text[i].unicode() - 0xDC00));
        run = i + 1;
    }
    bytes.append(text.sliced(run).toUtf8());
    return bytes;
}

} // namespace quarnel
