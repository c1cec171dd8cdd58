#include "core/Journal.h"

#include <QByteArray>
#include <sys/stat.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

namespace quarnel {

bool StderrIsJournal()
{
    // "DEVICE:INODE" of the stream systemd connected; a redirection since then makes it another file.
    static const bool journal = [] {
        const QByteArray stream = qgetenv("JOURNAL_STREAM");
        const qsizetype colon = stream.indexOf(':');
        struct stat info = {};
        if (colon <= 0 || ::fstat(STDERR_FILENO, &info) != 0)
            return false;
        bool deviceOk = false, inodeOk = false;
        const qulonglong device = stream.left(colon).toULongLong(&deviceOk);
        const qulonglong inode = stream.mid(colon + 1).toULongLong(&inodeOk);
        return deviceOk && inodeOk && device == info.st_dev && inode == info.st_ino;
    }();
    return journal;
}

bool SendToJournal(JournalPriority priority, const QString& message, const QString& pdfPath)
{
    const QByteArray text = message.toUtf8();
    const int level = static_cast<int>(priority);
    int result;
    if (pdfPath.isEmpty())
        result = sd_journal_send("MESSAGE=%s", text.constData(), "PRIORITY=%d", level, "SYSLOG_IDENTIFIER=quarnel",
                                 nullptr);
    else
        result = sd_journal_send("MESSAGE=%s", text.constData(), "PRIORITY=%d", level, "SYSLOG_IDENTIFIER=quarnel",
                                 "QUARNEL_PDF=%s", pdfPath.toUtf8().constData(), nullptr);
    return result >= 0;
}

} // namespace quarnel
