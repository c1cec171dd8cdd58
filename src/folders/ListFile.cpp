#include "folders/ListFile.h"

#include "core/Paths.h"

namespace quarnel {

QStringList ListFileEntries(const QByteArray& content)
{
    QByteArrayView bytes(content);
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes = bytes.sliced(3);
    const QString text = QString::fromUtf8(bytes);
    QStringList entries;
    qsizetype start = 0;
    const qsizetype size = text.size();
    while (start < size) {
        qsizetype end = start;
        while (end < size && text[end] != u'\r')
            ++end;
        // One line, up to CR or CR LF (or the end of the file); bare LFs inside it split it further.
        for (const QString& piece : QStringView(text).mid(start, end - start).toString().split(u'\n'))
            entries.append(piece);
        start = end + 1;
        if (end < size && start < size && text[start] == u'\n')
            ++start;
    }
    return entries;
}

qsizetype DialogResultLength(const QStringList& paths)
{
    if (paths.size() <= 1)
        return paths.isEmpty() ? 0 : paths.front().size();
    // The folder comes without its trailing separator, unless it is the root.
    qsizetype length = std::max<qsizetype>(FolderOf(paths.front()).size() - 1, 1);
    for (const QString& path : paths)
        length += 1 + FileNameOf(path).size();
    return length + 2;
}

} // namespace quarnel
