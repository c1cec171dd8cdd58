#include "conversion/Placement.h"

#include "conversion/ConversionLog.h"
#include "core/Paths.h"
#include "core/PrivateFolder.h"
#include "core/RuntimeError.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quarnel {

namespace {

QString recordPathOf(const QString& logPath)
{
    return logPath + QStringLiteral(".placing");
}

QByteArray identityText(const FileIdentity& identity)
{
    return QByteArray::number(static_cast<qulonglong>(identity.device)) + ' '
        + QByteArray::number(static_cast<qulonglong>(identity.inode));
}

// Removes the file at this name if it is still the one the program created.
void removeIfSame(const QByteArray& target, const FileIdentity& identity)
{
    struct stat info = {};
    if (::lstat(target.constData(), &info) == 0 && S_ISREG(info.st_mode) && info.st_dev == identity.device
        && info.st_ino == identity.inode)
        ::unlink(target.constData());
}

} // namespace

PlacementRecord::PlacementRecord(QString logPath)
    : m_logPath(std::move(logPath))
    , m_path(recordPathOf(m_logPath))
{ }

PlacementRecord::~PlacementRecord()
{
    if (m_fd < 0)
        return;
    ::close(m_fd);
    ::unlink(NativeName(m_path).constData());
}

void PlacementRecord::start(const QByteArray& header)
{
    if (m_fd < 0) {
        ::unlink(NativeName(m_path).constData());
        m_fd = OpenPrivateFile(m_path, O_WRONLY | O_CREAT | O_EXCL | O_APPEND);
    }
    note(header);
}

void PlacementRecord::note(const QByteArray& line)
{
    if (m_fd >= 0)
        WriteAll(m_fd, line);
}

void PlacementRecord::clear()
{
    if (m_fd >= 0 && ::ftruncate(m_fd, 0) != 0) {
        // A record that cannot be emptied must not outlive the placement it describes.
        ::close(m_fd);
        m_fd = -1;
        ::unlink(NativeName(m_path).constData());
    }
}

Placement::Placement(PlacementRecord& record, const QString& pdfPath)
    : m_record(record)
{
    struct stat log = {};
    const qint64 logSize = ::stat(NativeName(record.logPath()).constData(), &log) == 0 ? log.st_size : 0;
    m_record.start("log " + QByteArray::number(logSize) + '\n' + "pdf " + NativeName(LogPathText(pdfPath)).toHex()
                   + '\n');
}

Placement::~Placement()
{
    if (!m_committed) {
        for (auto placed = m_placed.rbegin(); placed != m_placed.rend(); ++placed)
            removeIfSame(NativeName(placed->target), placed->identity);
    }
    m_record.clear();
}

void Placement::aboutToPlace(const QString& target, const FileIdentity& staged)
{
    m_record.note("try " + identityText(staged) + ' ' + NativeName(target).toHex() + '\n');
}

void Placement::placed(const QString& target, const FileIdentity& identity)
{
    m_placed.push_back({target, identity});
    m_record.note("placed " + identityText(identity) + ' ' + NativeName(target).toHex() + '\n');
}

void Placement::commit()
{
    m_committed = true;
}

void Placement::recover(const QString& logPath)
{
    const QString recordPath = recordPathOf(logPath);
    struct stat entry = {};
    if (::lstat(NativeName(recordPath).constData(), &entry) != 0)
        return;
    QByteArray text;
    try {
        QFile record;
        if (record.open(OpenPrivateFile(recordPath, O_RDONLY), QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
            text = record.readAll();
    } catch (const RuntimeError&) {
        return; // not the program's own: neither trusted nor removed
    }
    qint64 logOffset = -1;
    QByteArray pdf;
    std::vector<std::pair<QByteArray, FileIdentity>> created;
    for (const QByteArray& line : text.split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() == 2 && fields[0] == "log")
            logOffset = fields[1].toLongLong();
        else if (fields.size() == 2 && fields[0] == "pdf")
            pdf = QByteArray::fromHex(fields[1]);
        else if (fields.size() == 4 && (fields[0] == "try" || fields[0] == "placed"))
            created.emplace_back(QByteArray::fromHex(fields[3]),
                                 FileIdentity {static_cast<dev_t>(fields[1].toULongLong()),
                                               static_cast<ino_t>(fields[2].toULongLong())});
    }
    // Complete when its converted line was written after the placement began: the images stay.
    bool complete = false;
    if (logOffset >= 0 && !pdf.isEmpty()) {
        QFile log(logPath);
        if (log.open(QIODevice::ReadOnly) && log.seek(logOffset))
            complete = log.readAll().contains(" : Converted " + pdf + "\r\n");
    }
    if (!complete) {
        for (auto it = created.rbegin(); it != created.rend(); ++it)
            removeIfSame(it->first, it->second);
    }
    ::unlink(NativeName(recordPath).constData());
}

} // namespace quarnel
